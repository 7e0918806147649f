// Inside of the device model: the ground that its parts share (simdev.cpp),
// and the state they keep. Not for tests: they use simdev.h. Each part has
// a header of what the others call: the dispatch (simdev_dispatch.h), the
// back ends (simdev_mtd.h, simdev_i2c.h), the fault rules (simdev_faults.h)
// and the rig's extras (simdev_rig.h); this one calls none of them.
//
// The model is single-threaded, as are the launcher and the tools it serves.
#pragma once
#include "simdev.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

// ---- Shared model state -----------------------------------------------------

// A MAP_SHARED view of one backing file: what lands there survives a
// SIGKILL, as flash contents survive a power cut.
struct Mapping {
    uint8_t *bytes = nullptr;
    uint32_t size = 0;
};

struct MtdPart {
    std::string name;  // "mtd-kernel"
    Mapping data;      // mtd-<name>.bin
    Mapping wear;      // mtd-<name>.wear, uint32 per sector
};

struct I2cChip {
    int bus;
    uint8_t addr;
    Mapping mem;
    uint32_t pointer = 0;  // the chip's address or register pointer
};

// Index of a node: 0..simdev_mtd_count-1 are the partitions, then the buses.
enum { kNodeI2c0 = 100, kNodeI2c1 = 101 };

struct Desc {
    int fd;          // the real descriptor standing for the open node
    int node;
    int accmode;     // O_RDONLY, O_WRONLY or O_RDWR
    uint16_t slave;  // I2C: the selected address (0 until selected)
};

struct FaultSet {
    std::vector<std::string> fail_open, fail_read, fail_write, fail_erase;
    std::vector<std::pair<int, int>> nak;  // bus, address
    uint32_t cut_at_write = 0;             // 0: no cut
    uint32_t cut_inside_write = 0;         // 0: no cut
    uint32_t cut_at_erase = 0;             // 0: no cut
    uint32_t cut_inside_erase = 0;         // 0: no cut
    uint32_t cut_at_vpd_write = 0;         // 0: no cut
    uint32_t fail_vpd_write = 0;           // 0: none fails
    bool fail_system = false;              // system() returns -1 (not in unit tests)
};

struct Model {
    bool attached = false;
    std::string board;  // as given
    std::string board_real;  // realpath, to recognise inherited descriptors
    uint32_t erasesize = 0;
    std::vector<MtdPart> parts;
    std::vector<I2cChip> chips;
    std::vector<Desc> descs;  // the table of open emulated descriptors
    std::vector<std::string> log;
    // Tests read the log in memory; a program under the preload has only
    // devices.log, and keeping every line of a long install in its memory
    // would count against the program's own footprint.
    bool log_in_memory = true;
    int log_fd = -1;
    FaultSet faults;
    uint32_t flash_writes = 0;  // counts toward cut-at-write, cut-inside-write
    uint32_t flash_erases = 0;  // counts toward cut-at-erase, cut-inside-erase
    uint32_t vpd_writes = 0;    // counts toward cut-at-vpd-write, fail-vpd-write
};

Model &simdev_model();
// The file position of an emulated descriptor, kept in its real descriptor.
int64_t simdev_position(const Desc &d);
int64_t simdev_set_position(Desc &d, int64_t pos);
std::string simdev_node_name(int node);
bool simdev_is_attached();

// Node index of a name without /dev/ ("mtd-rfs", "i2c-0") or of a path
// under /dev/; -1 if none. Partitions are 0..simdev_mtd_count-1.
int simdev_node_of(const char *name);
int simdev_node_of_path(const char *path);
bool simdev_is_mtd(int node);
// The backing file (in the board directory) of a node, and of a chip.
std::string simdev_node_file(int node);
std::string simdev_chip_file(int bus, int addr);

// The non-empty, non-comment lines of a small text file of the board
// ("name=value" settings, fault rules); false when it is missing.
bool simdev_read_lines(const std::string &path, std::vector<std::string> &lines);
bool simdev_parse_u32(const std::string &text, int base, uint32_t &out);
// The text without blanks at either end.
std::string simdev_trim(const std::string &s);

// Appends one transaction line to memory and to devices.log.
void simdev_log_line(const std::string &line);
// The line of a failed request: "<line> -> <errno name>"; sets errno.
int simdev_fail(const std::string &line, int err);
std::string simdev_hex_bytes(const uint8_t *bytes, size_t len);
