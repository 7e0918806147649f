// Emulated board devices: the MTD partitions and the two I2C buses of the
// switch, modelled after the kernel's mtdchar (over NOR flash) and i2c-dev.
//
// One device model with two ways in:
//  - libsimdev_preload.so, preloaded (LD_PRELOAD) into unmodified programs:
//    the launcher on the virtual switch, mtd_debug, flashcp, i2cget, i2cset;
//    it finds its board directory in the environment variable SIMDEV_BOARD;
//  - simdev_wrap, linked into test binaries with -Wl,--wrap=open,... (the
//    static PowerPC tests under qemu-ppc take no preload); tests call
//    simdev_attach() themselves. Programs that the virtual switch boots
//    from the PowerPC build (the launcher, the test drivers) link it with
//    simdev_switch too, which attaches to SIMDEV_BOARD at start-up and
//    gives them the preload's logging, faults, console rule and clock.
// Every other path and descriptor is passed through to the C library.
// Without SIMDEV_BOARD the preload leaves the node names to the system; the
// wrap always takes them (ENOENT while no board is attached). Programs that
// open the nodes through stdio (fopen) are not seen by either way in.
// Descriptors inherited across exec are recognised again by the preload;
// dup() copies of emulated descriptors are not. The model is single-threaded.
//
// A board directory holds:
//   board.conf        "name=value" lines: erasesize=<bytes>, and one
//                     "mtd-<name>=<bytes>" line per partition (sizes must be
//                     multiples of erasesize); missing lines take defaults;
//                     numbers in C notation, '#' starts a comment line
//   mtd-<name>.bin    the partition's bytes (created erased, 0xFF)
//   mtd-<name>.wear   one 32-bit erase counter per sector (host order)
//   i2c-0-54.bin      the VPD EEPROM, 8 KiB, two-byte big-endian addressing
//   i2c-1-20.bin      the 256 registers of the bus-1 device
//   devices.log       the transaction log, one line per device request
//   faults            optional fault injection, one rule per line (below)
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Partition names, in the order of their device nodes /dev/mtd-<name>.
// "user-char" is the user partition's character node /dev/mtd-user-char.
extern const char *const simdev_mtd_names[];
extern const int simdev_mtd_count;

// Attaches the model to a board directory, creating whatever backing file
// is missing, and resets in-process state (open descriptors, the log kept
// in memory, fault counters). 0 on success, -1 with a message on stderr.
int simdev_attach(const char *board_dir);
// Forgets the board; emulated nodes then fail to open with ENOENT.
void simdev_detach();

// Fault rules, as in the board's "faults" file, one per call:
//   fail-open <dev>     open of /dev/<dev> fails with EIO
//   fail-read <dev>     reads (and I2C reads) fail with EIO
//   fail-write <dev>    writes (and I2C writes) fail with EIO
//   fail-erase <dev>    MEMERASE fails with EIO
//   nak <bus> <addr>    the device at <addr> (hex) on i2c-<bus> does not answer
//   cut-at-write <n>    the process is killed (SIGKILL) at its n-th flash
//                       write, before any byte of it lands: a power cut.
//                       Counted per process since attach, over write and
//                       pwrite requests that would program at least one
//                       byte (not those refused with EBADF, ENOSPC, EIO).
//   cut-inside-write <n> killed inside the n-th write instead: the first
//                       half of its bytes (rounded down) programmed, the next
//                       byte only in its high four bits (old & (new | 0x0F)),
//                       the rest not at all.
//   cut-at-erase <n>    killed at its n-th erase request (MEMERASE of at
//                       least one sector, not refused), before it changes
//                       anything. Counted per process since attach.
//   cut-inside-erase <n> killed inside the n-th erase instead: every byte of
//                       its sectors only half erased (old | 0x0F), neither its
//                       old value nor 0xFF. Erase pulses raise the bits of a
//                       whole sector together; the model takes the half-way
//                       point, so that no 1 KiB of it reads as erased.
//   cut-at-vpd-write <n> killed at the n-th write message (write() or
//                       I2C_RDWR) that stores at least one byte into the
//                       VPD EEPROM: the byte keeps its old value.
//   fail-vpd-write <n>  that n-th VPD write fails with EIO instead, as one
//                       the EEPROM does not acknowledge: the byte keeps its
//                       old value and the process goes on.
//   fail-system         (not in unit tests) every system() call of the process
//                       returns -1 with errno EAGAIN and starts nothing (its
//                       log line ends in " -> EAGAIN"), as when no process
//                       can be created. glibc's own system()
//                       reports a failed fork as status 127, not -1, so a
//                       resource limit cannot show this case on the host.
// <dev> is a node name without /dev/ ("mtd-rfs", "i2c-0"). Returns 0, or -1
// for a rule that does not parse.
int simdev_add_fault(const char *rule);
void simdev_clear_faults();

// Transaction log lines (also appended to devices.log), for example:
//   mtd-kernel open flags=0x101002
//   mtd-kernel info
//   mtd-kernel erase 0x00020000 0x00020000
//   mtd-kernel write 0x00020000 1024
//   mtd-kernel read 0x00000000 16
//   i2c-0 slave 0x54
//   i2c-0 write 0x54 01 3a 04
//   i2c-0 read 0x54 1 -> 02
//   i2c-1 smbus-read 0x20 reg 0x04 -> 2f
//   i2c-1 smbus-write 0x20 reg 0x0c 27
// and further:
//   mtd-kernel close              (i2c-0 close likewise)
//   mtd-kernel regioncount        MEMGETREGIONCOUNT (no regions)
//   i2c-0 slave-force 0x54        I2C_SLAVE_FORCE
//   i2c-1 smbus-read 0x20 -> 2f   SMBus byte read (no register)
//   i2c-1 smbus-write 0x20 reg 0x10 ef be    word data, bytes as sent
//   i2c-1 smbus-quick 0x20 write
// The preload also logs, in the same order, the process's shell commands,
// its SIGINT handler and its sleeps, so that the start-up reads in time
// order:
//   system /bin/mount -o sync -t jffs2 /dev/mtd-user /user
//   system cd /tmp \ntar mxzf ...     line ends of the command shown as \n
//   sigaction SIGINT handler          (or ignore, default)
//   sleep 1                           sleep(), the seconds asked (the same
//                                     under the fast clock)
// I2C_RDWR logs one read or write line per message. Offsets and lengths
// are those of the request; a clipped transfer logs what was asked.
// A failed request ends in " -> <errno name>" (e.g. " -> ENXIO"); the
// request killed by a cut rule ends in " -> power-cut".
//
// Device behaviour beyond the kernel drivers' plain rules: a write over
// bytes not erased stores old & new and succeeds (no verify error); an
// I2C read() or write() of more than 8192 bytes moves 8192, as i2c-dev does.
const std::vector<std::string> &simdev_log();
void simdev_log_clear();
// Stops logging, in memory and to devices.log, for the rest of this
// attachment: millions of fuzzed inputs would otherwise fill the disk.
void simdev_log_off();

// Direct access to the backing store for tests: bypasses the log and the
// NOR rules. <dev> is "mtd-<name>", "i2c-0" or "i2c-0-54" (the EEPROM),
// "i2c-1" or "i2c-1-20" (the registers). Returns 0, or -1 for an unknown
// device or a range past its end.
int simdev_peek(const char *dev, uint32_t offset, void *out, uint32_t length);
int simdev_poke(const char *dev, uint32_t offset, const void *bytes, uint32_t length);
// Size in bytes of a partition (0 if unknown) and its erase size.
uint32_t simdev_mtd_size(const char *dev);
uint32_t simdev_erasesize();
// Erase count of one sector of a partition.
uint32_t simdev_erase_count(const char *dev, uint32_t sector);

// A stand-in for the management port "eth0", in the link-time way in only
// (unit tests): a port whose flags and ethtool link differ, which no veth
// of the virtual switch can show. While set, the interface-index,
// interface-flags and ethtool link (ETHTOOL_GLINK) requests on "eth0" are
// answered with `flags` and `link`, on any socket; the one call named by
// `fails` fails instead with ENODEV (kSimdevPortSocket: socket() with
// EMFILE; 0: none). Cleared by simdev_clear_port; otherwise the kernel
// answers.
constexpr unsigned long kSimdevPortSocket = 1;
void simdev_set_port(unsigned long fails, short flags, uint32_t link);
void simdev_clear_port();

// Scripted console input, in the link-time way in only (fuzz harnesses):
// while set, reads of descriptor 0 take these bytes (copied) and then end
// of input, with no system call. Cleared by simdev_clear_console_input.
void simdev_set_console_input(const uint8_t *data, size_t size);
void simdev_clear_console_input();
