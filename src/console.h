// The console: raw single keys, the line editor, and the reading of every
// answer the operator gives at a prompt. What an answer means stays with
// the question's own module; how it is read is decided here alone.
//
// The console is descriptor 0 (input) and standard output. A prompt is
// printed as given, without a line end, and standard output is flushed
// before the answer is read.
#pragma once
#include <cstddef>
#include <cstdint>

// --- Keys and the line editor ----------------------------------------------
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

// --- Operator answers --------------------------------------------------------
// Prints `prompt` and reads one key with uartGetC (0 when none came).
uint8_t ask_key(const char *prompt);

// Prints `prompt` and reads one edited line into `line` (get_user_input).
// 1 with the line; 0 when the console's input has ended: nobody is left to
// answer, and a line cut off by the end is not taken.
int ask_line(const char *prompt, char *line, size_t size);

// What a SIGINT during the read of a line-mode answer does.
enum SigintRule {
    kSigintEndsAnswer, // the read ends; no byte yet counts as no input
    kSigintIgnored,    // reading goes on; sig_quit_raised stays set
};
// Prints `prompt` and reads one line in the console's line mode, byte by
// byte from descriptor 0 (no stdio buffer, so nothing that uartGetC should
// see is swallowed). Only the first character counts, but the whole line
// is consumed: a rest left unread would be taken as the key of the next
// question. The first character ('\n' for an empty line), or -1 when no
// byte came at all (end of input, a read error, or SIGINT under
// kSigintEndsAnswer).
int ask_first_char(const char *prompt, SigintRule rule);

// Prints `prompt`, then "(y/n) " before every byte it waits for, and waits
// up to 5 s each time for descriptor 0 in line mode. 1 for a 'y', 0 for an
// 'n'; other bytes are passed over one by one. No answer within 5 s, SIGINT
// during the wait, and the end of input (where no answer can come) print
// the time-out line and give 0.
int yesno_question(const char *prompt);
