// The rescue console: raw single-key input and the line editor, and the
// rescue menu (not yet built).
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

// NOT YET BUILT: the rescue menu. Until the menu is written, this
// placeholder shows nothing and returns at once, as if the operator had
// chosen Exit.
int run_rescue_mode();
// NOT YET BUILT: the erase-and-diagnostics action of the rescue menu. Until
// the menu is written, this placeholder does nothing and returns, as the
// action does when the diagnostics image fails to launch.
int run_standalone_diags();
