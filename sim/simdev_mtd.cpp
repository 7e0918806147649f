// MTD partitions as the kernel's mtdchar presents NOR flash: byte-granular
// reads and writes clipped at the partition end, sector erase to 0xFF, and
// programming that can only clear bits.
#include "simdev_faults.h"
#include "simdev_internal.h"
#include "simdev_mtd.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <mtd/mtd-user.h>
#include <unistd.h>

namespace {

MtdPart &part_of(const Desc &d)
{
    return simdev_model().parts[static_cast<size_t>(d.node)];
}

std::string request_line(const MtdPart &p, const char *verb, int64_t pos, size_t len)
{
    char line[96];
    snprintf(line, sizeof line, "%s %s 0x%08llx %llu", p.name.c_str(), verb,
             static_cast<unsigned long long>(pos), static_cast<unsigned long long>(len));
    return line;
}

// Bytes of a request starting at pos that lie inside the partition.
size_t clip(const MtdPart &p, int64_t pos, size_t len)
{
    uint64_t room = static_cast<uint64_t>(p.data.size) - static_cast<uint64_t>(pos);
    return len > room ? static_cast<size_t>(room) : len;
}

// Where a power cut falls in the request being counted: before any of it
// lands, inside it, or nowhere.
enum class CutAt { none, before, inside };

CutAt cut_due(uint32_t &count, uint32_t before, uint32_t inside)
{
    count++;
    if (before != 0 && count == before)
        return CutAt::before;
    if (inside != 0 && count == inside)
        return CutAt::inside;
    return CutAt::none;
}

// What a cut leaves of a byte half-way through its change: the high four
// bits changed, the low four as they were. An erase raises the bits of the
// whole sector together, so a cut inside one leaves every byte so (old | 0x0F):
// neither its old value nor erased. A program clears the bits of a piece in
// order, so a cut inside one leaves its first half programmed, the next
// byte so (old & (new | 0x0F)), and the rest as it was.
constexpr uint8_t kNotYetChanged = 0x0F;

int erase(Desc &d, uint64_t start, uint64_t length)
{
    MtdPart &p = part_of(d);
    Model &m = simdev_model();
    char line[96];
    snprintf(line, sizeof line, "%s erase 0x%08llx 0x%08llx", p.name.c_str(),
             static_cast<unsigned long long>(start), static_cast<unsigned long long>(length));
    // mtdchar refuses erasing through a descriptor not open for writing.
    if (d.accmode == O_RDONLY)
        return simdev_fail(line, EPERM);
    // Order of the kernel's checks: range, then nothing to do, then the
    // chip driver's sector alignment.
    uint64_t size = p.data.size;
    if (start >= size || length > size - start)
        return simdev_fail(line, EINVAL);
    if (length == 0) {
        simdev_log_line(line);
        return 0;
    }
    if (start % m.erasesize != 0 || length % m.erasesize != 0)
        return simdev_fail(line, EINVAL);
    if (simdev_fault_on(m.faults.fail_erase, p.name))
        return simdev_fail(line, EIO);
    const CutAt cut = cut_due(m.flash_erases, m.faults.cut_at_erase, m.faults.cut_inside_erase);
    if (cut == CutAt::before)
        simdev_power_cut(line);
    if (cut == CutAt::inside) {
        for (uint64_t i = start; i < start + length; i++)
            p.data.bytes[i] |= kNotYetChanged;
        simdev_power_cut(line);
    }
    memset(p.data.bytes + start, 0xFF, static_cast<size_t>(length));
    for (uint64_t s = start / m.erasesize; s < (start + length) / m.erasesize; s++) {
        uint32_t count;
        memcpy(&count, p.wear.bytes + s * 4, sizeof count);
        count++;
        memcpy(p.wear.bytes + s * 4, &count, sizeof count);
    }
    simdev_log_line(line);
    return 0;
}

int get_info(MtdPart &p, void *arg)
{
    std::string line = p.name + " info";
    if (!arg)
        return simdev_fail(line, EFAULT);
    mtd_info_user info;
    memset(&info, 0, sizeof info);
    info.type = MTD_NORFLASH;
    info.flags = MTD_CAP_NORFLASH;
    info.size = p.data.size;
    info.erasesize = simdev_model().erasesize;
    info.writesize = 1;
    info.oobsize = 0;
    memcpy(arg, &info, sizeof info);
    simdev_log_line(line);
    return 0;
}

} // namespace

ssize_t simdev_mtd_read(Desc &d, void *buf, size_t len, int64_t pos)
{
    MtdPart &p = part_of(d);
    std::string line = request_line(p, "read", pos, len);
    if (d.accmode == O_WRONLY)
        return simdev_fail(line, EBADF);
    if (pos < 0)
        return simdev_fail(line, EINVAL);
    size_t n = pos >= p.data.size ? 0 : clip(p, pos, len);
    if (n == 0) {
        simdev_log_line(line);
        return 0;
    }
    if (simdev_fault_on(simdev_model().faults.fail_read, p.name))
        return simdev_fail(line, EIO);
    memcpy(buf, p.data.bytes + pos, n);
    simdev_log_line(line);
    return static_cast<ssize_t>(n);
}

ssize_t simdev_mtd_write(Desc &d, const void *buf, size_t len, int64_t pos)
{
    MtdPart &p = part_of(d);
    std::string line = request_line(p, "write", pos, len);
    if (d.accmode == O_RDONLY)
        return simdev_fail(line, EBADF);
    if (pos < 0)
        return simdev_fail(line, EINVAL);
    if (pos >= p.data.size)
        return simdev_fail(line, ENOSPC);
    size_t n = clip(p, pos, len);
    if (n == 0) {
        simdev_log_line(line);
        return 0;
    }
    Model &m = simdev_model();
    if (simdev_fault_on(m.faults.fail_write, p.name))
        return simdev_fail(line, EIO);
    const CutAt cut = cut_due(m.flash_writes, m.faults.cut_at_write, m.faults.cut_inside_write);
    if (cut == CutAt::before)
        simdev_power_cut(line);
    // NOR programming pulls bits to 0; only an erase brings them back.
    const uint8_t *src = static_cast<const uint8_t *>(buf);
    uint8_t *dst = p.data.bytes + pos;
    const size_t lands = cut == CutAt::inside ? n / 2 : n;
    for (size_t i = 0; i < lands; i++)
        dst[i] &= src[i];
    if (cut == CutAt::inside) {
        dst[lands] &= src[lands] | kNotYetChanged;
        simdev_power_cut(line);
    }
    simdev_log_line(line);
    return static_cast<ssize_t>(n);
}

int64_t simdev_mtd_lseek(Desc &d, int64_t offset, int whence)
{
    MtdPart &p = part_of(d);
    int64_t base;
    switch (whence) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = simdev_position(d); break;
    case SEEK_END: base = p.data.size; break;
    default: errno = EINVAL; return -1;
    }
    int64_t target = base + offset;
    // mtdchar keeps the position within [0, size].
    if (target < 0 || target > static_cast<int64_t>(p.data.size)) {
        errno = EINVAL;
        return -1;
    }
    return simdev_set_position(d, target);
}

int simdev_mtd_ioctl(Desc &d, unsigned long request, void *arg)
{
    MtdPart &p = part_of(d);
    switch (request) {
    case MEMGETINFO:
        return get_info(p, arg);
    case MEMERASE: {
        if (!arg)
            return simdev_fail(p.name + " erase", EFAULT);
        erase_info_user e;
        memcpy(&e, arg, sizeof e);
        return erase(d, e.start, e.length);
    }
    case MEMERASE64: {
        if (!arg)
            return simdev_fail(p.name + " erase", EFAULT);
        erase_info_user64 e;
        memcpy(&e, arg, sizeof e);
        return erase(d, e.start, e.length);
    }
    case MEMGETREGIONCOUNT: {
        // Uniform NOR: no erase regions.
        int none = 0;
        if (!arg)
            return simdev_fail(p.name + " regioncount", EFAULT);
        memcpy(arg, &none, sizeof none);
        simdev_log_line(p.name + " regioncount");
        return 0;
    }
    case MEMGETBADBLOCK: {
        // NOR has no bad blocks; the offset is only range-checked.
        int64_t offs = 0;
        if (!arg)
            return simdev_fail(p.name + " badblock", EFAULT);
        memcpy(&offs, arg, sizeof offs);
        if (offs < 0 || offs >= static_cast<int64_t>(p.data.size))
            return simdev_fail(p.name + " badblock", EINVAL);
        simdev_log_line(p.name + " badblock");
        return 0;
    }
    default: {
        char line[64];
        snprintf(line, sizeof line, "%s ioctl 0x%lx", p.name.c_str(), request);
        return simdev_fail(line, ENOTTY);
    }
    }
}
