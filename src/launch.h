// The boot launcher: the start-up sequence and slot choice, the boot
// settings from the boot-loader environment, the application image
// extraction, the rescue-partition image and the application launch.
//
// The module is split over launch.cpp (start-up sequence, slot choice, boot
// settings, `main`), extract.cpp (slot-file and rescue-partition images) and
// launch_image.cpp (the launch); this header is its one contract.
//
// Result convention: the operations that end the boot (`board_reset`,
// `launch_image`, and on success `extract_image` and
// `extract_image_from_flash`) never return; they return 0 only after a
// failure from which the caller may go on.
#pragma once
#include "image.h"

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <vector>

// --- Process-wide boot state, with the start values. ---------------------
// Written once by parse_uboot_env unless noted, read afterwards. Separate
// variables; the first eight belong to the launcher module alone (split over
// its three source files).
extern int32_t gdb_enable;       // 0
extern int32_t gdbserver_enable; // 0
extern int32_t gdbport;          // 1234, TCP port of gdbserver
extern uint8_t shell_enable;     // 0
extern uint8_t memchk_enable;    // 0
extern int32_t rescue_enable;    // 0
extern int32_t standalone_diags; // 0
extern uint8_t tried_alt_image;  // 0; set by main before the second slot try
// Visible to the other modules.
// Stored to by the SIGINT handler, hence sig_atomic_t and volatile: every
// test of it reads memory afresh. Cleared by the console prompts.
extern volatile std::sig_atomic_t sig_quit_raised; // 0
extern uint8_t usb_boot_enabled;                   // 0; decided by main
constexpr int kStringBuffSize = 256;
extern char stringbuff[kStringBuffSize]; // command text of the launch

// Puts every variable above back to its start value. Tests only.
void launch_reset_state();

// --- Start-up sequence and slot choice ------------------------------------
// The whole start-up sequence of `main`, from sig_init to the final
// board_reset. Does not return.
[[noreturn]] void run_boot_sequence();
// The slot to boot from the VPD boot slot: 2 for 2, else 1.
int which_image();
// Sleeps 1 s, runs "reboot" through the shell (on failure to start it, a
// message on stderr) and exits with status 0. Never returns.
[[noreturn]] void board_reset();
// Installs sig_handler for SIGINT: empty mask, no flags (no SA_RESTART, so
// a waiting console read returns early). Returns sigaction's result.
int sig_init();
// Sets sig_quit_raised to 1; nothing else.
void sig_handler(int signum);

// --- Boot settings --------------------------------------------------------
// Reads the 1280 bytes after the environment's checksum word and sets the
// boot flags. When the partition cannot be read every setting is kept.
// Always 0.
int parse_uboot_env();
// The parse itself over the 1280 environment bytes (NULs included); what
// parse_uboot_env runs on what it read. For tests.
constexpr uint32_t kUbootEnvOffset = 4;
constexpr uint32_t kUbootEnvLength = 1280;
void parse_uboot_env_text(const uint8_t *bytes);

// --- Application image extraction from a slot file ------------------------
// Boots slot 1, 2 or 3 (the USB stick's image). Returns 0 when this attempt
// failed and the caller may go on; otherwise does not return.
int extract_image(int slot);
// Scans an image file from its start for the first IMAGE_APPLICATION or
// IMAGE_DIAGS record. 1: `header` holds it and the stream stands at its
// first byte. 0: no bootable record (none, a header cut short, a seek that
// fails, or a record length that would not move the 32-bit offset forward);
// `header` then holds the last complete header read (untouched if none).
int parse_image(FILE *stream, ImageHeader *header);
// Copies the first record of the other slot's file to /tmp/gdb.gz and
// unpacks it to /tmp/gdb. 1 when done, 0 otherwise (message on stderr,
// except for slot 3 and for a file that ends inside the record).
int extract_gdb(int slot);

// Copies the payload of the bootable record that parse_image found (the
// stream stands at its first byte) to `out`, checking the record's CRC on
// the way. 1 when the record was complete and good. 0 when it runs past the
// end of the file, is read only in part or fails its CRC; `out` is then
// emptied again, as a failed attempt must leave the archive.
[[nodiscard]] int extract_record_payload(FILE *in, const ImageHeader &header, FILE *out);
// 1 when `record` (header first) passes the image CRC check.
[[nodiscard]] int record_crc_good(const std::vector<uint8_t> &record);

// --- Rescue-partition image -----------------------------------------------
// Boots the record at the start of the rescue partition (diagnostics at
// once; a recovery image after the install prompt). Returns 0 when there is
// no usable image there; otherwise does not return.
int extract_image_from_flash();
// Outcome of reading the rescue partition's record.
enum RescueRead {
    kRescueNotFound = 0, // header unreadable or not a bootable type
    kRescueBad = 1,      // CRC mismatch, or record unreadable, too large
    kRescueGood = 2,
};
// Reads the rescue partition's record whole into `record`. A `len` whose
// record does not fit the partition (mtd_get_size), cannot be allocated or
// is not read counts as kRescueBad.
[[nodiscard]] RescueRead read_rescue_record(std::vector<uint8_t> &record);
// The recovery-install prompt's answer: the slot digit '1' or '2', 0 for
// any other first character, -1 when no input came at all (end of input,
// a read error or an interrupted read). Reads the whole line from
// descriptor 0, without stdio buffering.
int read_install_answer();

// --- Application launch ---------------------------------------------------
// Unpacks /tmp/velosimage.tar.gz in /tmp and starts the application in the
// mode that the boot settings select. Never returns.
[[noreturn]] void launch_image(uint8_t diagnostics);

// --- Shared helpers of the module -----------------------------------------
// The application archive that extraction writes and the launch unpacks.
constexpr const char *kArchivePath = "/tmp/velosimage.tar.gz";
// The slot tried after `slot`: 2 after 1, 1 after anything else.
int other_slot(int slot);
// Flushes stdout (so the console keeps its order) and runs `command`
// through the system shell. system()'s result: -1 when no shell started.
int run_command(const char *command);
// Flushes stdout, then writes the formatted message to stderr.
void boot_error(const char *format, ...) __attribute__((format(printf, 1, 2)));
// The shell step of the image-extraction failure paths: "/bin/sh\n" when
// shell_enable is set.
void shell_step();
