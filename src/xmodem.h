// Serial transfer: the console's serial port switched to
// 115200 baud raw 8N1 for a download and put back afterwards. The XMODEM-1K
// receiver joins this module later.
#pragma once
#include <termios.h>

// The console's serial port, "/dev/ttyS0"; tests point it at a pseudo-
// terminal.
extern const char *serial_device;

// The port's settings as init_serial found them, saved whole; reset_serial
// puts them back. One copy only: preparations do not nest.
extern struct termios oldtty;

// Opens the port, tells the operator to switch to 115200 baud, saves the
// settings in `oldtty`, applies 115200 raw 8N1 and waits for a carriage
// return from the port (a reminder every 11 s). Returns the descriptor,
// which the caller owns and hands to reset_serial after the transfer; -1
// when the port does not open ("Can't open serial port!" through perror,
// nothing else done). If the port hangs up while waiting, the wait ends
// and the descriptor is returned all the same, so that the caller still
// restores the settings.
int init_serial();

// Tells the operator to switch back, restores `oldtty` byte for byte and
// waits for a line feed (or the port hanging up). Does not close `fd`. A
// negative `fd` (init_serial failed) returns at once: there is nothing to
// restore and no port to wait on.
void reset_serial(int fd);
