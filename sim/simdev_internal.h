// Inside of the device model, shared by its modules and its two ways in
// (preload.cpp, wrap.cpp). Not for tests: they use simdev.h.
//
// The model is single-threaded, as are the launcher and the tools it serves.
#pragma once
#include "simdev.h"

#include <cstddef>
#include <csignal>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

// ---- Entry points of the ways in ------------------------------------------
// Each returns -1 with errno set on failure, like the call it stands for.

// True when the path names an emulated node; then simdev_open decides.
bool simdev_is_node(const char *path);
bool simdev_is_attached();
int simdev_open(const char *path, int flags);
// True when fd is an open emulated descriptor.
bool simdev_owns(int fd);
int simdev_close(int fd);
ssize_t simdev_read(int fd, void *buf, size_t len);
ssize_t simdev_write(int fd, const void *buf, size_t len);
ssize_t simdev_pread(int fd, void *buf, size_t len, int64_t offset);
ssize_t simdev_pwrite(int fd, const void *buf, size_t len, int64_t offset);
int64_t simdev_lseek(int fd, int64_t offset, int whence);
int simdev_ioctl(int fd, unsigned long request, void *arg);
// Takes over the descriptors a process inherited across exec that still
// point into the board directory (found through /proc/self/fd).
void simdev_adopt_inherited();

// ---- The rig's extras for a program booted on the virtual switch -----------
// (simdev_rig.cpp), called by both ways in around the C library's call.

// Attaches to SIMDEV_BOARD on first need; false when there is none.
bool simdev_board_ready();
// Whether SIMDEV_BOARD names a board (attached or not).
bool simdev_board_named();
// At start-up: adopts descriptors inherited across exec and takes the fast
// clock's factor out of the environment.
void simdev_process_start();
// Logs a shell command (and a network command in the board log); true when
// the fail-system fault refuses it (errno EAGAIN; system() returns -1).
bool simdev_system_refused(const char *command);
void simdev_note_sigaction(int signum, const struct sigaction *act);
// The queue that tcflush should flush on fd, or -1 for nothing.
int simdev_console_flush(int fd, int queue_selector);
// Logs a sleep() of the process ("sleep N", the seconds asked).
void simdev_note_sleep(unsigned int seconds);
bool simdev_clock_is_fast();
unsigned int simdev_fast_sleep(unsigned int seconds);
// A request on a descriptor of the system's that the C library failed with
// ENOSYS, as qemu-user fails those it cannot translate: -1 with EBADF for a
// descriptor that is not open, the ethtool link read another way; -1 with
// ENOSYS for any other.
int simdev_emulator_ioctl(int fd, unsigned long request, void *arg);

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
Desc *simdev_desc(int fd);
// The file position of an emulated descriptor, kept in its real descriptor.
int64_t simdev_position(const Desc &d);
int64_t simdev_set_position(Desc &d, int64_t pos);
std::string simdev_node_name(int node);

// Node index of a name without /dev/ ("mtd-rfs", "i2c-0") or of a path
// under /dev/; -1 if none. Partitions are 0..simdev_mtd_count-1.
int simdev_node_of(const char *name);
int simdev_node_of_path(const char *path);
bool simdev_is_mtd(int node);
// The backing file (in the board directory) of a node.
std::string simdev_node_file(int node);

// The non-empty, non-comment lines of a small text file of the board
// ("name=value" settings, fault rules); false when it is missing.
bool simdev_read_lines(const std::string &path, std::vector<std::string> &lines);
bool simdev_parse_u32(const std::string &text, int base, uint32_t &out);
// Reads the board's "faults" file into the model; false (with a message)
// for a rule that does not parse.
bool simdev_load_faults(Model &m);

// Appends one transaction line to memory and to devices.log.
void simdev_log_line(const std::string &line);
// The line of a failed request: "<line> -> <errno name>"; sets errno.
int simdev_fail(const std::string &line, int err);
std::string simdev_hex_bytes(const uint8_t *bytes, size_t len);

bool simdev_fault_on(const std::vector<std::string> &list, const std::string &dev);
// A power cut at the request logged as `line`: the line reaches devices.log
// with " -> power-cut" (one write to an O_APPEND descriptor), then the
// process dies (SIGKILL) before the request changes anything.
[[noreturn]] void simdev_power_cut(const std::string &line);
bool simdev_fault_nak(int bus, int addr);

// Node back ends.
// Positioned transfers at pos; the caller moves the file position.
ssize_t simdev_mtd_read(Desc &d, void *buf, size_t len, int64_t pos);
ssize_t simdev_mtd_write(Desc &d, const void *buf, size_t len, int64_t pos);
int64_t simdev_mtd_lseek(Desc &d, int64_t offset, int whence);
int simdev_mtd_ioctl(Desc &d, unsigned long request, void *arg);

ssize_t simdev_i2c_read(Desc &d, void *buf, size_t len);
ssize_t simdev_i2c_write(Desc &d, const void *buf, size_t len);
int simdev_i2c_ioctl(Desc &d, unsigned long request, void *arg);
