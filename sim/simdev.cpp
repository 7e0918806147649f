// The board: backing files, the table of open emulated descriptors, the
// transaction log, fault rules and the dispatch of requests to the MTD and
// I2C back ends (simdev_mtd.cpp, simdev_i2c.cpp).
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

const char *const simdev_mtd_names[] = {
    "uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue", "user-char",
};
const int simdev_mtd_count = sizeof simdev_mtd_names / sizeof simdev_mtd_names[0];

namespace {

// Partition sizes of the switch's flash map, for a board.conf that omits them.
const uint32_t kDefaultSizes[] = {
    524288, 131072, 262144, 3145728, 15728640, 10485760, 2097152,
};
const uint32_t kDefaultEraseSize = 131072;
const uint32_t kEepromSize = 8192;
const uint32_t kRegisterCount = 256;

struct ChipLayout {
    int bus;
    uint8_t addr;
    uint32_t size;
    uint8_t blank;  // contents of a new chip
};
// The VPD EEPROM leaves the factory erased; the bus-1 device's registers
// come up as zero.
const ChipLayout kChips[] = {
    {0, 0x54, kEepromSize, 0xFF},
    {1, 0x20, kRegisterCount, 0x00},
};

std::string chip_file(int bus, int addr)
{
    char name[32];
    snprintf(name, sizeof name, "i2c-%d-%02x.bin", bus, addr);
    return name;
}

std::string trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t\r");
    size_t e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

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
        std::string line = trim(text.substr(start, end - start));
        if (!line.empty() && line[0] != '#')
            lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

bool parse_u32(const std::string &text, int base, uint32_t &out)
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

// Sizes from board.conf over the defaults; false (with a message) when a
// line does not parse or a size is not whole sectors.
bool read_board_conf(Model &m, std::vector<uint32_t> &sizes)
{
    sizes.assign(kDefaultSizes, kDefaultSizes + simdev_mtd_count);
    m.erasesize = kDefaultEraseSize;
    std::string text;
    if (!read_text(m.board + "/board.conf", text))
        return true;
    for (const std::string &line : lines_of(text)) {
        size_t eq = line.find('=');
        std::string name = trim(line.substr(0, eq));
        uint32_t value = 0;
        if (eq == std::string::npos || !parse_u32(trim(line.substr(eq + 1)), 0, value)) {
            fprintf(stderr, "simdev: board.conf: bad line '%s'\n", line.c_str());
            return false;
        }
        if (name == "erasesize")
            m.erasesize = value;
        for (int i = 0; i < simdev_mtd_count; i++)
            if (name == std::string("mtd-") + simdev_mtd_names[i])
                sizes[i] = value;
    }
    if (m.erasesize == 0) {
        fprintf(stderr, "simdev: board.conf: erasesize 0\n");
        return false;
    }
    for (int i = 0; i < simdev_mtd_count; i++) {
        if (sizes[i] % m.erasesize != 0) {
            fprintf(stderr, "simdev: board.conf: mtd-%s size %u is not a multiple of %u\n",
                    simdev_mtd_names[i], sizes[i], m.erasesize);
            return false;
        }
    }
    return true;
}

// Maps a backing file of the given size, creating or growing it with the
// blank value; false with a message on failure.
bool map_file(const std::string &path, uint32_t size, uint8_t blank, Mapping &out)
{
    simsys::Fd f(simsys::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    struct stat st;
    if (f.fd < 0 || fstat(f.fd, &st) != 0) {
        fprintf(stderr, "simdev: %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    uint64_t old_size = static_cast<uint64_t>(st.st_size);
    if (old_size != size && ftruncate(f.fd, static_cast<off_t>(size)) != 0) {
        fprintf(stderr, "simdev: %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    if (size == 0) {
        out = Mapping();
        return true;
    }
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, f.fd, 0);
    if (p == MAP_FAILED) {
        fprintf(stderr, "simdev: mmap %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    out.bytes = static_cast<uint8_t *>(p);
    out.size = size;
    if (old_size < size)
        memset(out.bytes + old_size, blank, size - old_size);
    return true;
}

void unmap(Mapping &m)
{
    if (m.bytes)
        munmap(m.bytes, m.size);
    m = Mapping();
}

// Forgets everything the process knew of a board, closing the real
// descriptors behind open emulated ones.
void reset(Model &m)
{
    for (const Desc &d : m.descs)
        simsys::close(d.fd);
    for (MtdPart &p : m.parts) {
        unmap(p.data);
        unmap(p.wear);
    }
    for (I2cChip &c : m.chips)
        unmap(c.mem);
    if (m.log_fd >= 0)
        simsys::close(m.log_fd);
    m = Model();
}

bool map_board(Model &m, const std::vector<uint32_t> &sizes)
{
    for (int i = 0; i < simdev_mtd_count; i++) {
        MtdPart p;
        p.name = std::string("mtd-") + simdev_mtd_names[i];
        uint32_t sectors = sizes[i] / m.erasesize;
        std::string base = m.board + "/" + p.name;
        bool ok = map_file(base + ".bin", sizes[i], 0xFF, p.data) &&
                  map_file(base + ".wear", sectors * 4, 0x00, p.wear);
        m.parts.push_back(p);
        if (!ok)
            return false;
    }
    for (const ChipLayout &chip : kChips) {
        I2cChip c{chip.bus, chip.addr, Mapping(), 0};
        bool ok = map_file(m.board + "/" + chip_file(chip.bus, chip.addr), chip.size,
                           chip.blank, c.mem);
        m.chips.push_back(c);
        if (!ok)
            return false;
    }
    return true;
}

bool load_faults(Model &m)
{
    std::string text;
    if (!read_text(m.board + "/faults", text))
        return true;
    for (const std::string &line : lines_of(text)) {
        if (simdev_add_fault(line.c_str()) != 0) {
            fprintf(stderr, "simdev: faults: bad rule '%s'\n", line.c_str());
            return false;
        }
    }
    return true;
}

// Node index of a name without /dev/ ("mtd-rfs", "i2c-0"), -1 if none.
int node_of(const char *name)
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

int node_of_path(const char *path)
{
    if (path == nullptr || strncmp(path, "/dev/", 5) != 0)
        return -1;
    return node_of(path + 5);
}

bool is_mtd(int node)
{
    return node >= 0 && node < simdev_mtd_count;
}

// The backing file an emulated descriptor of the node is opened on.
std::string node_file(int node)
{
    if (is_mtd(node))
        return simdev_node_name(node) + ".bin";
    return node == kNodeI2c0 ? chip_file(0, 0x54) : chip_file(1, 0x20);
}

// Partition or chip memory for peek and poke: "mtd-<name>", "i2c-0" (or
// "i2c-0-54") for the EEPROM, "i2c-1" (or "i2c-1-20") for the registers.
Mapping *store_of(const char *dev)
{
    Model &m = simdev_model();
    if (!m.attached || dev == nullptr)
        return nullptr;
    int node = node_of(dev);
    if (is_mtd(node))
        return &m.parts[static_cast<size_t>(node)].data;
    for (I2cChip &c : m.chips) {
        char longname[16], shortname[16];
        snprintf(longname, sizeof longname, "i2c-%d-%02x", c.bus, c.addr);
        snprintf(shortname, sizeof shortname, "i2c-%d", c.bus);
        if (strcmp(dev, longname) == 0 || strcmp(dev, shortname) == 0)
            return &c.mem;
    }
    return nullptr;
}

bool in_range(const Mapping *s, uint32_t offset, uint32_t length)
{
    return s && offset <= s->size && length <= s->size - offset;
}

const char *errno_name(int err)
{
    switch (err) {
    case EPERM: return "EPERM";
    case ENOENT: return "ENOENT";
    case EIO: return "EIO";
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

Model &simdev_model()
{
    // Built on first use: the preload may be entered before its own static
    // constructors have run.
    static Model *model = new Model();
    return *model;
}

std::string simdev_node_name(int node)
{
    if (is_mtd(node))
        return std::string("mtd-") + simdev_mtd_names[node];
    return node == kNodeI2c0 ? "i2c-0" : "i2c-1";
}

int simdev_attach(const char *board_dir)
{
    Model &m = simdev_model();
    reset(m);
    if (board_dir == nullptr || *board_dir == '\0') {
        fprintf(stderr, "simdev: no board directory\n");
        return -1;
    }
    m.board = board_dir;
    if (mkdir(board_dir, 0755) != 0 && errno != EEXIST) {
        fprintf(stderr, "simdev: %s: %s\n", board_dir, strerror(errno));
        return -1;
    }
    char real[PATH_MAX];
    m.board_real = realpath(board_dir, real) ? real : board_dir;
    std::vector<uint32_t> sizes;
    if (!read_board_conf(m, sizes) || !map_board(m, sizes)) {
        reset(m);
        return -1;
    }
    m.log_fd = simsys::open((m.board + "/devices.log").c_str(),
                            O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (m.log_fd < 0) {
        fprintf(stderr, "simdev: %s/devices.log: %s\n", board_dir, strerror(errno));
        reset(m);
        return -1;
    }
    m.attached = true;
    if (!load_faults(m)) {
        reset(m);
        return -1;
    }
    return 0;
}

void simdev_detach()
{
    reset(simdev_model());
}

bool simdev_is_attached()
{
    return simdev_model().attached;
}

// ---- Faults -----------------------------------------------------------------

int simdev_add_fault(const char *rule)
{
    Model &m = simdev_model();
    char kind[32], a[32], b[32], extra[2];
    int n = rule ? sscanf(rule, "%31s %31s %31s %1s", kind, a, b, extra) : 0;
    std::string k = n >= 1 ? kind : "";
    uint32_t num = 0, addr = 0;
    if (n == 2 && node_of(a) >= 0) {
        if (k == "fail-open") { m.faults.fail_open.push_back(a); return 0; }
        if (k == "fail-read") { m.faults.fail_read.push_back(a); return 0; }
        if (k == "fail-write") { m.faults.fail_write.push_back(a); return 0; }
        if (k == "fail-erase") { m.faults.fail_erase.push_back(a); return 0; }
    }
    if (n == 1 && k == "fail-system") {
        m.faults.fail_system = true;
        return 0;
    }
    if (n == 2 && k == "cut-at-write" && parse_u32(a, 10, num) && num > 0) {
        m.faults.cut_at_write = num;
        return 0;
    }
    if (n == 3 && k == "nak" && parse_u32(a, 10, num) && num <= 1 &&
        parse_u32(b, 16, addr) && addr <= 0x7f) {
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

// ---- Direct access ----------------------------------------------------------

int simdev_peek(const char *dev, uint32_t offset, void *out, uint32_t length)
{
    Mapping *s = store_of(dev);
    if (!in_range(s, offset, length))
        return -1;
    if (length)
        memcpy(out, s->bytes + offset, length);
    return 0;
}

int simdev_poke(const char *dev, uint32_t offset, const void *bytes, uint32_t length)
{
    Mapping *s = store_of(dev);
    if (!in_range(s, offset, length))
        return -1;
    if (length)
        memcpy(s->bytes + offset, bytes, length);
    return 0;
}

uint32_t simdev_mtd_size(const char *dev)
{
    Model &m = simdev_model();
    int node = dev ? node_of(dev) : -1;
    return m.attached && is_mtd(node) ? m.parts[static_cast<size_t>(node)].data.size : 0;
}

uint32_t simdev_erasesize()
{
    return simdev_model().erasesize;
}

uint32_t simdev_erase_count(const char *dev, uint32_t sector)
{
    Model &m = simdev_model();
    int node = dev ? node_of(dev) : -1;
    if (!m.attached || !is_mtd(node))
        return 0;
    const Mapping &w = m.parts[static_cast<size_t>(node)].wear;
    if (sector >= w.size / 4)
        return 0;
    uint32_t count;
    memcpy(&count, w.bytes + sector * 4, sizeof count);
    return count;
}

// ---- Descriptors and dispatch -----------------------------------------------

bool simdev_is_node(const char *path)
{
    return node_of_path(path) >= 0;
}

Desc *simdev_desc(int fd)
{
    for (Desc &d : simdev_model().descs)
        if (d.fd == fd)
            return &d;
    return nullptr;
}

bool simdev_owns(int fd)
{
    return fd >= 0 && simdev_desc(fd) != nullptr;
}

int simdev_open(const char *path, int flags)
{
    Model &m = simdev_model();
    int node = node_of_path(path);
    if (node < 0 || !m.attached) {
        errno = ENOENT;
        return -1;
    }
    std::string name = simdev_node_name(node);
    char line[96];
    snprintf(line, sizeof line, "%s open flags=0x%x", name.c_str(),
             static_cast<unsigned>(flags));
    if (simdev_fault_on(m.faults.fail_open, name))
        return simdev_fail(line, EIO);
    // The real descriptor keeps the access mode and the file position across
    // fork and exec, as the kernel's open file would.
    int accmode = flags & O_ACCMODE;
    int fd = simsys::open((m.board + "/" + node_file(node)).c_str(),
                          accmode | (flags & O_CLOEXEC));
    if (fd < 0)
        return simdev_fail(line, errno);
    m.descs.push_back(Desc{fd, node, accmode, 0});
    simdev_log_line(line);
    return fd;
}

int simdev_close(int fd)
{
    Model &m = simdev_model();
    for (size_t i = 0; i < m.descs.size(); i++) {
        if (m.descs[i].fd == fd) {
            simdev_log_line(simdev_node_name(m.descs[i].node) + " close");
            m.descs.erase(m.descs.begin() + static_cast<long>(i));
            return simsys::close(fd);
        }
    }
    errno = EBADF;
    return -1;
}

namespace {

Desc *lookup(int fd)
{
    Desc *d = simdev_desc(fd);
    if (!d)
        errno = EBADF;
    return d;
}

// Moves the file position after a transfer through read() or write().
ssize_t advance(Desc &d, int64_t pos, ssize_t n)
{
    if (n > 0)
        simdev_set_position(d, pos + n);
    return n;
}

} // namespace

int64_t simdev_position(const Desc &d)
{
    return simsys::lseek(d.fd, 0, SEEK_CUR);
}

int64_t simdev_set_position(Desc &d, int64_t pos)
{
    return simsys::lseek(d.fd, static_cast<long>(pos), SEEK_SET);
}

ssize_t simdev_read(int fd, void *buf, size_t len)
{
    Desc *d = lookup(fd);
    if (!d)
        return -1;
    if (!is_mtd(d->node))
        return simdev_i2c_read(*d, buf, len);
    int64_t pos = simdev_position(*d);
    return advance(*d, pos, simdev_mtd_read(*d, buf, len, pos));
}

ssize_t simdev_write(int fd, const void *buf, size_t len)
{
    Desc *d = lookup(fd);
    if (!d)
        return -1;
    if (!is_mtd(d->node))
        return simdev_i2c_write(*d, buf, len);
    int64_t pos = simdev_position(*d);
    return advance(*d, pos, simdev_mtd_write(*d, buf, len, pos));
}

ssize_t simdev_pread(int fd, void *buf, size_t len, int64_t offset)
{
    Desc *d = lookup(fd);
    if (!d)
        return -1;
    if (!is_mtd(d->node)) {
        // i2c-dev has no positioned transfers.
        errno = ESPIPE;
        return -1;
    }
    return simdev_mtd_read(*d, buf, len, offset);
}

ssize_t simdev_pwrite(int fd, const void *buf, size_t len, int64_t offset)
{
    Desc *d = lookup(fd);
    if (!d)
        return -1;
    if (!is_mtd(d->node)) {
        errno = ESPIPE;
        return -1;
    }
    return simdev_mtd_write(*d, buf, len, offset);
}

int64_t simdev_lseek(int fd, int64_t offset, int whence)
{
    Desc *d = lookup(fd);
    if (!d)
        return -1;
    if (!is_mtd(d->node)) {
        errno = ESPIPE;
        return -1;
    }
    return simdev_mtd_lseek(*d, offset, whence);
}

int simdev_ioctl(int fd, unsigned long request, void *arg)
{
    Desc *d = lookup(fd);
    if (!d)
        return -1;
    if (is_mtd(d->node))
        return simdev_mtd_ioctl(*d, request, arg);
    return simdev_i2c_ioctl(*d, request, arg);
}

void simdev_adopt_inherited()
{
    Model &m = simdev_model();
    if (!m.attached)
        return;
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return;
    std::string prefix = m.board_real + "/";
    int skip = dirfd(dir);
    while (struct dirent *e = readdir(dir)) {
        int fd = atoi(e->d_name);
        if (e->d_name[0] == '.' || fd == skip || fd == m.log_fd || simdev_desc(fd))
            continue;
        char target[PATH_MAX];
        std::string link = std::string("/proc/self/fd/") + e->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0)
            continue;
        target[n] = '\0';
        if (strncmp(target, prefix.c_str(), prefix.size()) != 0)
            continue;
        std::vector<int> nodes = {kNodeI2c0, kNodeI2c1};
        for (int i = 0; i < simdev_mtd_count; i++)
            nodes.push_back(i);
        for (int node : nodes) {
            if (node_file(node) == target + prefix.size()) {
                int fl = fcntl(fd, F_GETFL);
                m.descs.push_back(Desc{fd, node, fl & O_ACCMODE, 0});
            }
        }
    }
    closedir(dir);
}
