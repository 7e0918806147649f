// The device model's ground: what every part of it shares. The model's
// state, the node names and their backing files, the transaction log and
// the failure lines, the position of an emulated descriptor, and the small
// text files of a board. It calls nothing of the model's other parts: the
// board (simdev_board.cpp), the fault rules (simdev_faults.cpp), the back
// ends (simdev_mtd.cpp, simdev_i2c.cpp) and the dispatch
// (simdev_dispatch.cpp) stand on it.
#include "simdev_internal.h"
#include "simdev_sys.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

const char *const simdev_mtd_names[] = {
    "uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue", "user-char",
};
const int simdev_mtd_count = sizeof simdev_mtd_names / sizeof simdev_mtd_names[0];

namespace {

// Reads a small text file whole; false when it is missing.
bool read_text(const std::string &path, std::string &out)
{
    simsys::Fd f(simsys::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (f.fd < 0)
        return false;
    out.clear();
    char buf[4096];
    ssize_t n;
    while ((n = simsys::read(f.fd, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    return n == 0;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = simdev_trim(text.substr(start, end - start));
        if (!line.empty() && line[0] != '#')
            lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

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

std::string simdev_chip_file(int bus, int addr)
{
    char name[32];
    snprintf(name, sizeof name, "i2c-%d-%02x.bin", bus, addr);
    return name;
}

std::string simdev_trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t\r");
    size_t e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

bool simdev_read_lines(const std::string &path, std::vector<std::string> &lines)
{
    std::string text;
    if (!read_text(path, text))
        return false;
    lines = lines_of(text);
    return true;
}

bool simdev_parse_u32(const std::string &text, int base, uint32_t &out)
{
    if (text.empty())
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = strtoull(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || v > UINT32_MAX || text[0] == '-')
        return false;
    out = static_cast<uint32_t>(v);
    return true;
}

// Node index of a name without /dev/ ("mtd-rfs", "i2c-0"), -1 if none.
int simdev_node_of(const char *name)
{
    for (int i = 0; i < simdev_mtd_count; i++)
        if (strncmp(name, "mtd-", 4) == 0 && strcmp(name + 4, simdev_mtd_names[i]) == 0)
            return i;
    if (strcmp(name, "i2c-0") == 0)
        return kNodeI2c0;
    if (strcmp(name, "i2c-1") == 0)
        return kNodeI2c1;
    return -1;
}

int simdev_node_of_path(const char *path)
{
    if (path == nullptr || strncmp(path, "/dev/", 5) != 0)
        return -1;
    return simdev_node_of(path + 5);
}

bool simdev_is_mtd(int node)
{
    return node >= 0 && node < simdev_mtd_count;
}

// The backing file an emulated descriptor of the node is opened on.
std::string simdev_node_file(int node)
{
    if (simdev_is_mtd(node))
        return simdev_node_name(node) + ".bin";
    return node == kNodeI2c0 ? simdev_chip_file(0, 0x54) : simdev_chip_file(1, 0x20);
}

Model &simdev_model()
{
    // Built on first use: the preload may be entered before its own static
    // constructors have run.
    static Model *model = new Model();
    return *model;
}

std::string simdev_node_name(int node)
{
    if (simdev_is_mtd(node))
        return std::string("mtd-") + simdev_mtd_names[node];
    return node == kNodeI2c0 ? "i2c-0" : "i2c-1";
}

bool simdev_is_attached()
{
    return simdev_model().attached;
}

int64_t simdev_position(const Desc &d)
{
    return simsys::lseek(d.fd, 0, SEEK_CUR);
}

int64_t simdev_set_position(Desc &d, int64_t pos)
{
    return simsys::lseek(d.fd, static_cast<long>(pos), SEEK_SET);
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
