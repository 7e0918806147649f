// The rescue console: raw single-key input, the line editor, and the rescue
// menu with its actions.
//
// The console is descriptor 0 (input) and standard output.
#pragma once
#include <cstddef>
#include <cstdint>

// One key from descriptor 0 without waiting for Enter and without echo: the
// terminal is switched to ICANON and ECHO off, VTIME 0, VMIN 1 only for the
// read, then put back. 0 when the read delivered no byte (interrupted by
// SIGINT, end of input, read error); uart_input_ended() tells these apart.
uint8_t uartGetC();
// 1 when the last uartGetC found end of input or a read error other than an
// interruption by a signal: the console is gone and reading again will not
// bring a key. 0 after a key or an interrupted read.
int uart_input_ended();
// Writes the low 8 bits of `c` to stdout and flushes stdout.
int uartPutC(int c);
// Reads one edited line into `buffer` (`size` >= 1 bytes, filled with 0
// first; at most size - 1 characters) and returns `buffer`, never a
// null pointer. The line ends on CR or LF (echo LF), on Ctrl-C as a byte
// (echo " <break>" and a newline; the characters typed so far are the
// result) and on end of input (echo LF; likewise). A read interrupted by
// SIGINT rings the bell and reading goes on; sig_quit_raised stays set for
// the caller.
char *get_user_input(char *buffer, size_t size);

// --- The rescue menu and its actions ----------------------------------------
// Prefix put before the system's absolute paths "/tmp/image", "/tmp" and
// "/mnt/usb". Empty on the switch; tests point it at a scratch directory.
extern const char *rescue_root;

// The menu on the console: X serial download, R reboot, E exit (listed); U
// install from the USB stick, H installed versions, D erase and diagnostics
// (accepted unlisted); keys in either case. SIGINT at the prompt discards
// the key; a flag left set by an action is cleared when it returns. 1 after
// Exit, and also when the console's input has ended: nobody is there to
// choose, so the boot goes on as after Exit. Does not return after Reboot.
int run_rescue_mode();

// Serial download with the external receiver "/usr/bin/rx /tmp/image" on
// the console line, prepared by init_serial and restored by reset_serial
// before the install. A "/tmp/image" left by earlier steps is removed
// first; only a file that rx produced with exit status 0 is installed. The
// installer's result, or 0 when nothing was received (the port did not
// open, the old file could not be removed, rx failed, no file).
int run_xmodem_rescue();

// Lists the files of "/mnt/usb" (directories and entries whose status
// cannot be read are skipped), asks for a number and installs that file.
// The installer's result, or 0 when nothing was installed (q, a number out
// of range, end of input at the prompt, no stick). A Ctrl-C while the line
// is typed only rings the bell: the line confirmed afterwards is judged.
// The working directory is "/tmp" afterwards, unless "/mnt/usb" did not
// open at all.
int run_usb_rescue();

// Prints the version of each installed part; a part that cannot be read
// shows as 0.0.0.0. Always 0.
int run_image_display();

// Asks to erase the user filesystem (y or Y erases; any other key, end of
// input included, does not), then boots the rescue partition's diagnostics
// image. 1 when that launch failed; otherwise does not return.
int run_standalone_diags();
