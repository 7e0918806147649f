// The board: its directory of backing files (board.conf, the partitions,
// the chips), attaching the model to it (and loading its fault rules), and
// direct access to the backing store for tests.
#include "simdev_internal.h"
#include "simdev_faults.h"
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

// Partition sizes of the switch's flash map, for a board.conf that omits them.
const uint32_t kDefaultSizes[] = {
    524288, 131072, 262144, 3145728, 15728640, 10485760, 16777216,
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

// Sizes from board.conf over the defaults; false (with a message) when a
// line does not parse or a size is not whole sectors.
bool read_board_conf(Model &m, std::vector<uint32_t> &sizes)
{
    sizes.assign(kDefaultSizes, kDefaultSizes + simdev_mtd_count);
    m.erasesize = kDefaultEraseSize;
    std::vector<std::string> lines;
    if (!simdev_read_lines(m.board + "/board.conf", lines))
        return true;
    for (const std::string &line : lines) {
        size_t eq = line.find('=');
        std::string name = simdev_trim(line.substr(0, eq));
        uint32_t value = 0;
        if (eq == std::string::npos ||
            !simdev_parse_u32(simdev_trim(line.substr(eq + 1)), 0, value)) {
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
        bool ok = map_file(m.board + "/" + simdev_chip_file(chip.bus, chip.addr), chip.size,
                           chip.blank, c.mem);
        m.chips.push_back(c);
        if (!ok)
            return false;
    }
    return true;
}

// Partition or chip memory for peek and poke: "mtd-<name>", "i2c-0" (or
// "i2c-0-54") for the EEPROM, "i2c-1" (or "i2c-1-20") for the registers.
Mapping *store_of(const char *dev)
{
    Model &m = simdev_model();
    if (!m.attached || dev == nullptr)
        return nullptr;
    int node = simdev_node_of(dev);
    if (simdev_is_mtd(node))
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

} // namespace

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
    if (!simdev_load_faults(m)) {
        reset(m);
        return -1;
    }
    return 0;
}

void simdev_detach()
{
    reset(simdev_model());
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
    int node = dev ? simdev_node_of(dev) : -1;
    return m.attached && simdev_is_mtd(node) ? m.parts[static_cast<size_t>(node)].data.size : 0;
}

uint32_t simdev_erasesize()
{
    return simdev_model().erasesize;
}

uint32_t simdev_erase_count(const char *dev, uint32_t sector)
{
    Model &m = simdev_model();
    int node = dev ? simdev_node_of(dev) : -1;
    if (!m.attached || !simdev_is_mtd(node))
        return 0;
    const Mapping &w = m.parts[static_cast<size_t>(node)].wear;
    if (sector >= w.size / 4)
        return 0;
    uint32_t count;
    memcpy(&count, w.bytes + sector * 4, sizeof count);
    return count;
}

