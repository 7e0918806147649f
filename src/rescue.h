// The rescue menu with its actions, on the console (console.h).
#pragma once

// Prefix put before the system's absolute paths "/tmp/image", "/tmp",
// "/mnt/usb" and "/usr/bin/rx". Empty on the switch; tests point it at a
// scratch directory.
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
// before the install. When rx is missing or not executable, a line says so
// and Xmodem1K receives the file instead (it prepares and restores the port
// itself). A "/tmp/image" left by earlier steps is removed first; only a
// file from a transfer that completed (rx exit status 0 and the file there,
// or Xmodem1K with data) is installed; after any other transfer the line
// "Serial download failed, image not installed" says why nothing happens.
// The installer's result, or 0 when nothing was installed (also when the
// port did not open or the old file could not be removed).
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
