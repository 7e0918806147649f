#include "install.h"
#include "stdio_file.h"

#include "console.h"
#include "flash.h"
#include "i2c.h"
#include "image.h"
#include "launch_image.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

const char *install_root = "";

namespace {

// Room for the longest path the prefix and a slot number can make on the
// switch, with margin; a longer one is refused, never cut short.
constexpr size_t kPathSize = 128;

// Bytes compared per read when checking what is installed, so that a
// 15 MiB root filesystem is not held twice in the board's memory.
constexpr uint32_t kCompareChunk = 65536;

// Installation rules of the five types that live in flash partitions.
struct FlashRule {
    uint32_t magic;
    const char *label;     // printed before anything else is done
    const char *crc_name;  // in "Bad crc for %s: ..."
    const char *size_name; // in "%s image is too big for flash ..."
    const char *fail_line; // printed when the flash write fails
    const int *fd;
    uint32_t limit;
    bool payload_only; // the boot loader: payload written, limit on `len`
};

const FlashRule kFlashRules[] = {
    {IMAGE_UBOOT, "Installing Boot Loader: ", "UBOOT", "UBOOT", "Uboot image update failed",
     &uboot_fd, kUbootMaxLen, true},
    {IMAGE_KERNEL, "Installing Kernel: ", "KERNEL", "KERNEL", "kernel image update failed",
     &kernel_fd, kKernelMaxRecord, false},
    {IMAGE_RFS, "Installing Root Filesystem: ", "RFS", "RFS", "RFS image update failed", &rfs_fd,
     kRfsMaxRecord, false},
    {IMAGE_DFT, "Installing Device Tree: ", "DFT", "DFT", "DFT image update failed",
     &device_tree_fd, kDftMaxRecord, false},
    {IMAGE_DIAGS, "Installing Diagnostics: ", "DIAGNOSTICS IMAGE", "DIAGS",
     "DIAGS image update failed", &rescue_fd, kDiagsMaxRecord, false},
};

const FlashRule *flash_rule(uint32_t magic)
{
    for (const FlashRule &rule : kFlashRules)
        if (rule.magic == magic)
            return &rule;
    return nullptr;
}

// The installer's own header dump switch; off in normal operation.
int show_headers = 0;

// "/user/images/image%d" under install_root. 0 when it does not fit.
int slot_path(char *out, int slot)
{
    int n = snprintf(out, kPathSize, "%s/user/images/image%d", install_root, slot);
    return n >= 0 && size_t(n) < kPathSize ? 1 : 0;
}

// 1 when `length` bytes at offset 0 of partition `fd` equal `expected`.
// Every buffer byte starts as the complement of the byte it should become,
// so a read that delivers less than asked can never pass.
int flash_holds(int fd, const uint8_t *expected, uint32_t length)
{
    std::vector<uint8_t> chunk(length < kCompareChunk ? length : kCompareChunk);
    for (uint32_t done = 0; done < length;) {
        const uint32_t n = length - done < kCompareChunk ? length - done : kCompareChunk;
        for (uint32_t i = 0; i < n; i++)
            chunk[i] = uint8_t(~expected[done + i]);
        if (api_flash_read(chunk.data(), fd, done, n) != 0)
            return 0;
        if (memcmp(chunk.data(), expected + done, n) != 0)
            return 0;
        done += n;
    }
    return 1;
}

// Whether a boot-loader record's payload holds, at the place where the
// installed header is read back, the record's own len, magic and id.
bool payload_carries_header(const ImageRecord &record)
{
    const std::vector<uint8_t> &bytes = record.bytes;
    const size_t at = IMAGE_HEADER_SIZE + kUbootHeaderOffset;
    return bytes.size() >= at + IMAGE_HEADER_SIZE &&
           memcmp(bytes.data() + at + IMAGE_CRC_START, bytes.data() + IMAGE_CRC_START,
                  IMAGE_HEADER_SIZE - IMAGE_CRC_START) == 0;
}

// 1 when the slot file holds exactly `record`, nothing more and nothing less.
int slot_file_holds(int slot, const std::vector<uint8_t> &record)
{
    char path[kPathSize];
    if (!slot_path(path, slot))
        return 0;
    File f(fopen(path, "rb"));
    if (!f)
        return 0;
    std::vector<uint8_t> chunk(kCompareChunk);
    size_t done = 0;
    for (;;) {
        const size_t n = fread(chunk.data(), 1, chunk.size(), f.get());
        if (n == 0)
            break;
        if (n > record.size() - done || memcmp(chunk.data(), record.data() + done, n) != 0)
            return 0;
        done += n;
    }
    return done == record.size() && !ferror(f.get()) ? 1 : 0;
}

// Reads the rest of the record whose header `head` was just read. A record
// cut short by the end of the file is read only as far as it goes, so that
// a damaged `len` cannot make the installer claim gigabytes it would then
// fill with zeros; the CRC check turns it away. 0 (message printed) when
// the record cannot be held in memory.
int take_record(FILE *file, const RecordHead &head, ImageRecord &record)
{
    const uint32_t len = head.header.len;
    // len + 16 must fit the 32-bit sizes that the CRC and the flash layer take.
    if (len > UINT32_MAX - IMAGE_HEADER_SIZE) {
        printf("Bad length for image: 0x%08x, voiding download\n", unsigned(len));
        return 0;
    }
    uint64_t room = UINT64_MAX; // not a regular file: as `len` says
    if (stream_room(file, &room))
        room += IMAGE_HEADER_SIZE;
    const int64_t payload = record_payload_to_read(head.header, room, kRecordAsFarAsItGoes);
    if (read_record(file, head, uint32_t(payload), &record) != kRecordGood) {
        printf("Failed to allocate buffer for image (%d)\n", int(len + IMAGE_HEADER_SIZE));
        return 0;
    }
    return 1;
}

// 1 when the record's CRC is good; otherwise prints the failure with the
// CRC computed and returns 0.
int crc_good(const ImageRecord &record, const char *crc_name)
{
    uint32_t crc = 0;
    if (check_record(record, &crc) == kRecordGood)
        return 1;
    printf("Bad crc for %s: 0x%08x, voiding download\n", crc_name, unsigned(crc));
    return 0;
}

// Outcome of one record: go on with the next one, or end the call with 0.
enum RecordResult { kRecordDone, kRecordFailed };

RecordResult install_flash_record(const FlashRule &rule, const ImageRecord &record,
                                  uint8_t skip_same, int slot, int &written)
{
    printf("%s", rule.label);
    fflush(stdout);
    if (!crc_good(record, rule.crc_name))
        return kRecordFailed;
    const uint32_t len = record.header.len;
    const uint32_t size = rule.payload_only ? len : uint32_t(record.bytes.size());
    if (size > rule.limit) {
        printf("%s image is too big for flash (%d > %d)\n", rule.size_name, int(size),
               int(rule.limit));
        return kRecordFailed;
    }
    if (skip_same && record_already_installed(record, slot)) {
        printf("Image has same version as existing image. Skipping update...\n");
        return kRecordDone;
    }
    const uint8_t *bytes = record.bytes.data() + (rule.payload_only ? IMAGE_HEADER_SIZE : 0);
    if (api_flash_write(bytes, *rule.fd, 0, size, 1) < 0) {
        printf("%s\n", rule.fail_line);
        return kRecordFailed;
    }
    written = 1;
    if (rule.magic == IMAGE_DIAGS)
        printf("done\n");
    return kRecordDone;
}

int ask_slot()
{
    // Ctrl-C is no answer; the flag stays set for the menu.
    const int answer = ask_first_char(
        "Install image as image 1 or 2 (hit return to just boot image): ", kSigintIgnored);
    if (answer == '1')
        return 1;
    if (answer == '2')
        return 2;
    return 0;
}

// Writes the payload to the archive that launch_image unpacks and starts
// it. Returns 0 after a failure; otherwise does not return.
int boot_at_once(const ImageRecord &record, File &image)
{
    printf("Booting downloaded image\n");
    char path[kPathSize];
    if (snprintf(path, sizeof path, "%s%s", install_root, kArchivePath) >= int(sizeof path)) {
        printf("Image unpack failed (err %d)\n", ENAMETOOLONG);
        return 0;
    }
    File archive(fopen(path, "wb"));
    int err = archive ? 0 : errno;
    const uint32_t len = record.header.len;
    if (!err && fwrite(record.bytes.data() + IMAGE_HEADER_SIZE, 1, len, archive.get()) != len)
        err = errno;
    // A full /tmp may show only when the buffered bytes are flushed.
    if (archive && fclose(archive.release()) != 0 && !err)
        err = errno;
    if (err) {
        printf("Image unpack failed (err %d)\n", err);
        return 0;
    }
    printf("Image ready to boot...\n");
    image.reset();
    fflush(stdout);
    launch_image(0);
}

// Writes the whole record to the slot file in pieces, with its percentage
// display. 1 on success; 0 after the failure message.
int write_slot_file(const std::vector<uint8_t> &record, int slot)
{
    char path[kPathSize];
    if (!slot_path(path, slot)) {
        printf("Image%d update failed (err %d)\n", slot, ENAMETOOLONG);
        return 0;
    }
    char dir[kPathSize];
    snprintf(dir, sizeof dir, "%s/user/images", install_root); // shorter than `path`
    struct stat st;
    if (stat(dir, &st) != 0)
        (void)mkdir(dir, 02);
    errno = 0;
    File slot_file(fopen(path, "wb"));
    if (!slot_file) {
        printf("Image%d update failed (err %d)\n", slot, errno);
        return 0;
    }
    printf("    ");
    const uint64_t total = record.size();
    for (uint64_t done = 0; done < total;) {
        const size_t n = size_t(total - done < kSlotPieceSize ? total - done : kSlotPieceSize);
        // Flushed piece by piece, so that a full filesystem is noticed at
        // the piece that hit it.
        if (fwrite(record.data() + done, 1, n, slot_file.get()) != n ||
            fflush(slot_file.get()) != 0) {
            printf("Image%d update failed (err %d)\n", slot, errno);
            return 0;
        }
        done += n;
        printf("\b\b\b\b%3.3d%c", int(done * 100 / total), '%');
        fflush(stdout);
    }
    printf("\b\b\b\b100%c\n", '%');
    // The VPD is pointed at this slot next; its bytes must be on flash first.
    if (fsync(fileno(slot_file.get())) != 0 || fclose(slot_file.release()) != 0) {
        printf("Image%d update failed (err %d)\n", slot, errno);
        return 0;
    }
    printf("\nImage%d updated succeeded\n", slot);
    return 1;
}

RecordResult install_application_record(const ImageRecord &record, uint8_t skip_same,
                                        int &slot, int &written, File &image)
{
    printf("Installing Application: ");
    fflush(stdout);
    if (!crc_good(record, "APPLICATION"))
        return kRecordFailed;
    if (slot == 0)
        slot = ask_slot();
    if (slot == 0) {
        boot_at_once(record, image);
        return kRecordFailed;
    }
    printf("Installing image as image%d: ", slot);
    if (skip_same && record_already_installed(record, slot)) {
        printf("Image%d has same version as existing image. Skipping update...\n", slot);
        return kRecordDone;
    }
    if (!write_slot_file(record.bytes, slot))
        return kRecordFailed;
    written = 1;
    (void)api_set_image(uint8_t(slot));
    return kRecordDone;
}

} // namespace

int read_flash_image_header(uint32_t magic, uint8_t *header, int slot)
{
    if (!header)
        return 0;
    memset(header, 0, IMAGE_HEADER_SIZE);
    if (magic == IMAGE_APPLICATION) {
        char path[kPathSize];
        if (!slot_path(path, slot))
            return 0;
        File f(fopen(path, "rb"));
        if (!f)
            return 0;
        (void)fread(header, 1, IMAGE_HEADER_SIZE, f.get());
        return 1;
    }
    const FlashRule *rule = flash_rule(magic);
    if (!rule) {
        printf("Unknown image type 0x%x \n", unsigned(magic));
        return 0;
    }
    const uint32_t offset = magic == IMAGE_UBOOT ? kUbootHeaderOffset : 0;
    // A failed read leaves zeros, which match no record.
    (void)api_flash_read(header, *rule->fd, offset, IMAGE_HEADER_SIZE);
    return 1;
}

int verifyMatchingHeaders(const uint8_t *header, int slot)
{
    if (!header)
        return 0;
    uint8_t installed[IMAGE_HEADER_SIZE];
    const uint32_t magic = record_head(header).header.magic;
    if (!read_flash_image_header(magic, installed, slot))
        return 0;
    // The boot loader's header is part of its payload; its first word is
    // not the record's CRC.
    const size_t from = magic == IMAGE_UBOOT ? IMAGE_CRC_START : 0;
    return memcmp(header + from, installed + from, IMAGE_HEADER_SIZE - from) == 0 ? 1 : 0;
}

int record_already_installed(const ImageRecord &record, int slot)
{
    if (record.bytes.size() < IMAGE_HEADER_SIZE)
        return 0;
    const uint32_t magic = record.header.magic;
    // The boot loader's installed header is whatever its payload holds at
    // byte 240. A payload that does not carry its record's header there
    // would never match, and a stick left in would reinstall it and reset
    // the board at every start: for such a payload only the bytes decide.
    const bool header_decides = magic != IMAGE_UBOOT || payload_carries_header(record);
    if (header_decides && !verifyMatchingHeaders(record.bytes.data(), slot))
        return 0;
    if (magic == IMAGE_APPLICATION)
        return slot_file_holds(slot, record.bytes);
    const FlashRule *rule = flash_rule(magic);
    if (!rule)
        return 0;
    if (rule->payload_only)
        return flash_holds(*rule->fd, record.bytes.data() + IMAGE_HEADER_SIZE, record.header.len);
    return flash_holds(*rule->fd, record.bytes.data(), uint32_t(record.bytes.size()));
}

int processTroveImage(const char *path, uint8_t skip_same, int slot)
{
    File image(fopen(path, "r"));
    if (!image) {
        printf("Unable to open image file %s (err %d)\n", path, errno);
        return 0;
    }
    printf("\nExtracting images ... Do *NOT* power cycle the switch.\n");
    int written = 0;
    RecordHead head;
    while (read_record_head(image.get(), &head) && image_type_known(head.header.magic)) {
        display_header(&head.header, show_headers);
        ImageRecord record;
        if (!take_record(image.get(), head, record))
            return 0;
        const FlashRule *rule = flash_rule(head.header.magic);
        const RecordResult result =
            rule ? install_flash_record(*rule, record, skip_same, slot, written)
                 : install_application_record(record, skip_same, slot, written, image);
        if (result == kRecordFailed)
            return 0;
    }
    return written;
}
