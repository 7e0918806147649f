// The board's shared services, on which every other part of the launcher
// stands: the process-wide boot state, the image slots' files, the reset,
// running a shell command, the SIGINT flag and the boot error messages.
// Nothing here calls up into the start-up sequence, the rescue console or
// the extraction.
#pragma once
#include <csignal>
#include <cstdint>

// --- Process-wide boot state, with the start values. ---------------------
// Written once by parse_uboot_env unless noted, read afterwards. Separate
// variables; the first eight belong to the launcher (its start-up sequence,
// extraction and launch) alone.
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

// --- Image slots ----------------------------------------------------------
// 1 and 2 name the slot files on the user partition, 3 the USB stick's
// application image; 4 is only written to the VPD's booted-image field,
// for the rescue partition's image.
// The image file of slot 1, 2 or 3.
const char *slot_file_path(int slot);
// The slot tried after `slot`: 2 after 1, 1 after anything else.
int other_slot(int slot);

// --- Services -------------------------------------------------------------
// Sleeps 1 s, runs "reboot" through the shell (on failure to start it, a
// message on stderr) and exits with status 0. Never returns.
[[noreturn]] void board_reset();
// Installs sig_handler for SIGINT: empty mask, no flags (no SA_RESTART, so
// a waiting console read returns early). Returns sigaction's result.
int sig_init();
// Sets sig_quit_raised to 1; nothing else.
void sig_handler(int signum);
// The command that mounts the JFFS2 user partition, which holds the slot
// files, on /user.
constexpr const char *kMountUserCommand = "/bin/mount -o sync -t jffs2 /dev/mtd-user /user";
// Flushes stdout (so the console keeps its order) and runs `command`
// through the system shell. system()'s result: -1 when no shell started.
int run_command(const char *command);
// Flushes stdout, then writes the formatted message to stderr.
void boot_error(const char *format, ...) __attribute__((format(printf, 1, 2)));
// The shell step of the image-extraction failure paths: "/bin/sh\n" when
// shell_enable is set.
void shell_step();
