// Fault rules (the board's "faults" file) and the transaction log.
#include "simdev_internal.h"
#include "simdev_sys.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char *errno_name(int err)
{
    switch (err) {
    case EPERM: return "EPERM";
    case ENOENT: return "ENOENT";
    case EIO: return "EIO";
    case EAGAIN: return "EAGAIN";
    case ENXIO: return "ENXIO";
    case EBADF: return "EBADF";
    case EFAULT: return "EFAULT";
    case EINVAL: return "EINVAL";
    case ENOTTY: return "ENOTTY";
    case ENOSPC: return "ENOSPC";
    case ESPIPE: return "ESPIPE";
    case EOPNOTSUPP: return "EOPNOTSUPP";
    default: return "EUNKNOWN";
    }
}

} // namespace

bool simdev_load_faults(Model &m)
{
    std::vector<std::string> lines;
    if (!simdev_read_lines(m.board + "/faults", lines))
        return true;
    for (const std::string &line : lines) {
        if (simdev_add_fault(line.c_str()) != 0) {
            fprintf(stderr, "simdev: faults: bad rule '%s'\n", line.c_str());
            return false;
        }
    }
    return true;
}

// ---- Faults -----------------------------------------------------------------

int simdev_add_fault(const char *rule)
{
    Model &m = simdev_model();
    char kind[32], a[32], b[32], extra[2];
    int n = rule ? sscanf(rule, "%31s %31s %31s %1s", kind, a, b, extra) : 0;
    std::string k = n >= 1 ? kind : "";
    uint32_t num = 0, addr = 0;
    if (n == 2 && simdev_node_of(a) >= 0) {
        if (k == "fail-open") { m.faults.fail_open.push_back(a); return 0; }
        if (k == "fail-read") { m.faults.fail_read.push_back(a); return 0; }
        if (k == "fail-write") { m.faults.fail_write.push_back(a); return 0; }
        if (k == "fail-erase") { m.faults.fail_erase.push_back(a); return 0; }
    }
    if (n == 1 && k == "fail-system") {
        m.faults.fail_system = true;
        return 0;
    }
    if (n == 2 && k == "cut-at-write" && simdev_parse_u32(a, 10, num) && num > 0) {
        m.faults.cut_at_write = num;
        return 0;
    }
    if (n == 2 && k == "cut-inside-write" && simdev_parse_u32(a, 10, num) && num > 0) {
        m.faults.cut_inside_write = num;
        return 0;
    }
    if (n == 2 && k == "cut-at-erase" && simdev_parse_u32(a, 10, num) && num > 0) {
        m.faults.cut_at_erase = num;
        return 0;
    }
    if (n == 2 && k == "cut-inside-erase" && simdev_parse_u32(a, 10, num) && num > 0) {
        m.faults.cut_inside_erase = num;
        return 0;
    }
    if (n == 2 && k == "cut-at-vpd-write" && simdev_parse_u32(a, 10, num) && num > 0) {
        m.faults.cut_at_vpd_write = num;
        return 0;
    }
    if (n == 2 && k == "fail-vpd-write" && simdev_parse_u32(a, 10, num) && num > 0) {
        m.faults.fail_vpd_write = num;
        return 0;
    }
    if (n == 3 && k == "nak" && simdev_parse_u32(a, 10, num) && num <= 1 &&
        simdev_parse_u32(b, 16, addr) && addr <= 0x7f) {
        m.faults.nak.emplace_back(static_cast<int>(num), static_cast<int>(addr));
        return 0;
    }
    return -1;
}

void simdev_clear_faults()
{
    simdev_model().faults = FaultSet();
}

bool simdev_fault_on(const std::vector<std::string> &list, const std::string &dev)
{
    for (const std::string &d : list)
        if (d == dev)
            return true;
    return false;
}

void simdev_power_cut(const std::string &line)
{
    simdev_log_line(line + " -> power-cut");
    kill(getpid(), SIGKILL);
    for (;;)
        pause();
}

bool simdev_fault_nak(int bus, int addr)
{
    for (const auto &n : simdev_model().faults.nak)
        if (n.first == bus && n.second == addr)
            return true;
    return false;
}

// ---- Log --------------------------------------------------------------------

void simdev_log_line(const std::string &line)
{
    Model &m = simdev_model();
    if (m.log_in_memory)
        m.log.push_back(line);
    if (m.log_fd >= 0) {
        std::string out = line + "\n";
        // One write with O_APPEND, so lines of several processes interleave
        // whole.
        (void)simsys::write(m.log_fd, out.data(), out.size());
    }
}

int simdev_fail(const std::string &line, int err)
{
    simdev_log_line(line + " -> " + errno_name(err));
    errno = err;
    return -1;
}

std::string simdev_hex_bytes(const uint8_t *bytes, size_t len)
{
    std::string out;
    char hex[4];
    for (size_t i = 0; i < len; i++) {
        snprintf(hex, sizeof hex, i ? " %02x" : "%02x", bytes[i]);
        out += hex;
    }
    return out;
}

const std::vector<std::string> &simdev_log()
{
    return simdev_model().log;
}

void simdev_log_clear()
{
    simdev_model().log.clear();
}

void simdev_log_off()
{
    Model &m = simdev_model();
    m.log_in_memory = false;
    m.log.clear();
    if (m.log_fd >= 0)
        simsys::close(m.log_fd);
    m.log_fd = -1;
}

