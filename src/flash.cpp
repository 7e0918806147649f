#include "flash.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <fcntl.h>
#include <memory>
#include <new>
#include <sys/ioctl.h>
#include <unistd.h>

#include <mtd/mtd-user.h>

int uboot_fd = -1;
int uboot_env_fd = -1;
int device_tree_fd = -1;
int kernel_fd = -1;
int rfs_fd = -1;
int rescue_fd = -1;
int flash_fd = -1;

int debug_read = 0;
int debug_write = 0;
int debug_erase = 0;

namespace {

const FlashInfo kUnknownFlash = {"unknown", 0, 0, 0, 0};
FlashInfo theFlash = kUnknownFlash;

// Flash is written back in pieces of this size, and a sector must hold a
// whole number of them.
constexpr uint32_t kWritePiece = 1024;

// The sectors that a byte range touches.
struct SectorRange {
    uint32_t first;     // start of the first sector
    uint32_t last_byte; // last byte of the last sector
    uint32_t count;
};

SectorRange sector_range(uint32_t offset, uint32_t length)
{
    const uint32_t size = theFlash.sector_size;
    SectorRange r;
    r.first = offset & (0u - size);
    r.last_byte = ((offset + length - 1) & (0u - size)) + size - 1;
    r.count = (r.last_byte - r.first + 1) >> theFlash.sector_shift;
    return r;
}

// A range whose last byte lies beyond 4 GiB would wrap the 32-bit sector
// arithmetic and make a one-sector write copy far more than a sector.
bool range_wraps(uint32_t offset, uint32_t length)
{
    return length != 0 && offset + (length - 1) < offset;
}

// Sector sizes that the 1024-byte write-back and the shift arithmetic can
// handle: a power of two, at least one write piece.
bool sector_size_usable(uint32_t size)
{
    return size >= kWritePiece && (size & (size - 1)) == 0;
}

void print_progress_start(uint8_t progress)
{
    if (progress)
        printf("     ");
}

void print_progress_step(uint8_t progress, uint32_t index, uint32_t count)
{
    if (!progress)
        return;
    printf("\b\b\b\b%3.3d%c", int(uint64_t(index) * 100 / count), '%');
    fflush(stdout);
}

void print_progress_end(uint8_t progress)
{
    if (progress)
        printf("\b\b\b\b100%c\n", '%');
}

// Reports a failure inside the write loop as a line followed by an empty one.
int write_failed(const char *message)
{
    printf("%s\n", message);
    printf("\n");
    return 0;
}

// Writes one sector back in pieces of exactly kWritePiece bytes.
int write_sector_pieces(int fd, uint32_t sector_start, const uint8_t *buffer)
{
    for (uint32_t k = 0; k < theFlash.sector_size; k += kWritePiece)
        if (!mtd_write(fd, sector_start + k, kWritePiece, buffer + k))
            return 0;
    return 1;
}

} // namespace

void mtd_open()
{
    uboot_fd = open("/dev/mtd-uboot", O_RDWR | O_SYNC);
    uboot_env_fd = open("/dev/mtd-ubootenv", O_RDWR | O_SYNC);
    device_tree_fd = open("/dev/mtd-devicetree", O_RDWR | O_SYNC);
    kernel_fd = open("/dev/mtd-kernel", O_RDWR | O_SYNC);
    rfs_fd = open("/dev/mtd-rfs", O_RDWR | O_SYNC);
    // The rescue partition is written without O_SYNC.
    rescue_fd = open("/dev/mtd-rescue", O_RDWR);
    flash_fd = kernel_fd;
}

int mtd_type()
{
    mtd_info_user info;
    memset(&info, 0, sizeof info);
    if (ioctl(flash_fd, MEMGETINFO, &info) != 0) {
        printf("Could not get MTD device info \n");
        return 0;
    }
    if (info.size != 0 && !sector_size_usable(info.erasesize)) {
        printf("Unsupported MTD erase size 0x%08lx\n", (unsigned long)info.erasesize);
        return 0;
    }
    theFlash.sector_size = info.erasesize;
    theFlash.sector_count = info.erasesize ? info.size / info.erasesize : 0;
    for (uint32_t bit = 0; bit < 32; bit++) {
        if (info.erasesize & (1u << bit)) {
            theFlash.sector_shift = bit;
            break;
        }
    }
    snprintf(theFlash.description, sizeof theFlash.description, "%dMB w/%ld-%ldKB sectors",
             int(info.size >> 20), long(theFlash.sector_count), long(theFlash.sector_size >> 10));
    theFlash.size = info.size;
    if (theFlash.size == 0) {
        printf("NO FLASH !\n");
        return 0;
    }
    return 1;
}

int mtd_get_size(int fd, uint32_t *size)
{
    mtd_info_user info;
    memset(&info, 0, sizeof info);
    if (ioctl(fd, MEMGETINFO, &info) != 0)
        return 0;
    *size = info.size;
    return 1;
}

namespace {

// One positioned read; the count read, -1 on failure.
ssize_t mtd_read_count(int fd, uint32_t offset, uint32_t length, void *buffer)
{
    if (debug_read)
        printf("mtd read  0x%08lx to 0x%08lx 0x%08lx\n", (unsigned long)offset,
               (unsigned long)(offset + length - 1), (unsigned long)(uintptr_t)buffer);
    return pread(fd, buffer, length, off_t(offset));
}

} // namespace

int mtd_read(int fd, uint32_t offset, uint32_t length, void *buffer)
{
    return mtd_read_count(fd, offset, length, buffer) == -1 ? 0 : 1;
}

int mtd_write(int fd, uint32_t offset, uint32_t length, const void *buffer)
{
    if (debug_write)
        printf("mtd write 0x%08lx to 0x%08lx 0x%08lx\n", (unsigned long)offset,
               (unsigned long)(offset + length - 1), (unsigned long)(uintptr_t)buffer);
    return pwrite(fd, buffer, length, off_t(offset)) == -1 ? 0 : 1;
}

int mtd_erase(int fd, uint32_t start, uint32_t length)
{
    if (debug_erase)
        printf("mtd erase 0x%08lx to 0x%08lx\n", (unsigned long)start,
               (unsigned long)(start + length - 1));
    erase_info_user erase;
    erase.start = start;
    erase.length = length;
    return ioctl(fd, MEMERASE, &erase) < 0 ? 0 : 1;
}

int flash_open()
{
    mtd_open();
    return mtd_type();
}

int flash_read(void *buffer, int fd, uint32_t length, uint32_t offset)
{
    if (debug_read)
        printf("Flash Read 0x%08lx to 0x%08lx\n", (unsigned long)offset,
               (unsigned long)(offset + length - 1));
    return mtd_read(fd, offset, length, buffer);
}

int flash_erase(int fd, uint32_t length, uint32_t offset)
{
    if (range_wraps(offset, length))
        return 0;
    const SectorRange r = sector_range(offset, length);
    if (debug_erase)
        printf("Flash Erase 0x%08lx to 0x%08lx (0x%08lx to 0x%08lx) %ld\n", (unsigned long)offset,
               (unsigned long)(offset + length - 1), (unsigned long)r.first,
               (unsigned long)r.last_byte, long(r.count));
    uint32_t sector = r.first;
    for (uint32_t i = 0; i < r.count; i++, sector += theFlash.sector_size) {
        if (!mtd_erase(fd, sector, theFlash.sector_size)) {
            printf("Flash Erase mtd erase failed.\n");
            return 0;
        }
    }
    return 1;
}

int flash_write(const void *buffer, int fd, uint32_t length, uint32_t offset, uint8_t progress)
{
    if (range_wraps(offset, length))
        return 0;
    const uint32_t size = theFlash.sector_size;
    const SectorRange r = sector_range(offset, length);
    if (debug_write)
        printf("Flash Write 0x%08lx to 0x%08lx (0x%08lx to 0x%08lx) %ld\n", (unsigned long)offset,
               (unsigned long)(offset + length - 1), (unsigned long)r.first,
               (unsigned long)r.last_byte, long(r.count));
    std::unique_ptr<uint8_t[]> work(new (std::nothrow) uint8_t[size + kWritePiece]);
    if (!work) {
        printf("Flash Write malloc failed\n");
        return 0;
    }
    print_progress_start(progress);

    const uint8_t *src = static_cast<const uint8_t *>(buffer);
    uint32_t sector = r.first;
    uint32_t consumed = 0;
    for (uint32_t i = 0; i < r.count; i++) {
        uint32_t place = 0;
        uint32_t take = size;
        if (r.count == 1) {
            place = offset - sector;
            take = length;
        } else if (i == 0) {
            place = offset - sector;
            take = size - place;
        } else if (i == r.count - 1) {
            take = length - consumed;
        }
        memset(work.get(), 0, size);
        const ssize_t got = mtd_read_count(fd, sector, size, work.get());
        if (got == -1)
            return write_failed("Flash Write mtd read failed.");
        // A sector that already holds the new bytes is left alone: an erase
        // takes hundreds of milliseconds, wears the sector, and opens a
        // window in which a power cut loses it. Only a whole read can tell.
        const bool same = uint32_t(got) == size &&
                          memcmp(work.get() + place, src + consumed, take) == 0;
        if (!same) {
            memcpy(work.get() + place, src + consumed, take);
            if (!mtd_erase(fd, sector, size))
                return write_failed("Flash Write mtd erase failed.");
            if (!write_sector_pieces(fd, sector, work.get()))
                return write_failed("Flash Write mtd write failed.");
        }
        print_progress_step(progress, i, r.count);
        sector += size;
        consumed += take;
    }
    print_progress_end(progress);
    return 1;
}

int api_flash_init()
{
    return flash_open() ? 0 : -1;
}

int api_flash_read(void *dest, int fd, uint32_t offset, uint32_t length)
{
    if (theFlash.size == 0)
        return -1;
    return flash_read(dest, fd, length, offset) ? 0 : -1;
}

int api_flash_write(const void *src, int fd, uint32_t offset, uint32_t length, uint8_t progress)
{
    if (theFlash.size == 0)
        return -1;
    return flash_write(src, fd, length, offset, progress) ? 0 : -1;
}

int api_flash_erase(int fd, uint32_t offset, uint32_t length)
{
    if (theFlash.size == 0)
        return -1;
    return flash_erase(fd, length, offset) ? 0 : -1;
}

const FlashInfo *flash_info()
{
    return &theFlash;
}

void flash_reset_state()
{
    for (int *fd : {&uboot_fd, &uboot_env_fd, &device_tree_fd, &kernel_fd, &rfs_fd, &rescue_fd}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    flash_fd = -1;
    theFlash = kUnknownFlash;
    debug_read = debug_write = debug_erase = 0;
}
