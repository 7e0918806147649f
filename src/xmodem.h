// Serial transfer: the console's serial port switched to 115200 baud raw
// 8N1 for a download and put back afterwards (xmodem.cpp), and an XMODEM-1K
// receiver that uses it (xmodem_receive.cpp).
#pragma once
#include <cstddef>
#include <cstdint>
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

// --- XMODEM-1K receiver ---------------------------------------------------
// Receives one file over the console's serial port: XMODEM with CRC-16,
// 128- and 1024-byte blocks mixed freely, the receiver only answering the
// sender after its first "C". The port is prepared by init_serial and
// restored by reset_serial (so the operator switches speed and presses
// Enter twice), then closed. Every good block is written whole, the
// sender's filler included. Standard error shows "EOT\n" for each EOT,
// "CAN\n" for a CAN before the first block and "All done\n" at the end.
//
// Returns the number of data bytes written after a completed transfer (0 for
// an empty one); 0 after an abort (the file keeps the blocks written so far);
// -1 when no transfer could start: the port did not open (init_serial has
// said so; the file is not touched) or the file did not open ("Can't open
// file!" through perror; the port is restored and closed).
//
// A transfer is aborted, with five CAN to the sender, when a block is out of
// sequence, on the third failed block in a row after the first good one,
// when the sender cancels (CAN CAN before its first block), when a block
// cannot be written, and when 60 requests to start ("C", about a minute
// when the line is silent) bring no good block: an operator who walked away
// must not leave the board waiting for ever.
int Xmodem1K(const char *path);

// Largest block, and how many "C" the receiver sends before it gives up on
// a sender that never starts.
constexpr int kXmodemBlockSize = 1024;
constexpr int kXmodemStartRequests = 60;

// The waits below are measured on the monotonic clock (clock_gettime) and
// spent in poll() on the port, or in nanosleep() once it hung up: the
// calls through which a test harness runs them on a clock of its own.

// Writes one byte to the non-blocking port, waiting up to 5 s for room in
// its transmit buffer; 1, or -1 when the port refuses it.
int putByte(uint8_t byte, int fd);
// 1 when a byte arrived within `seconds`, stored at `dest`; -1 otherwise,
// with `dest` untouched. The non-blocking port is read, and when it has
// nothing, waited on until a byte arrives or the time is up, so that the
// receiver never spins and a block that follows its ACK at once is taken
// at once. Reads take whatever is waiting, up to a block, and hand it out
// byte by byte.
int getByte(int seconds, uint8_t *dest, int fd);
// Discards every byte that is waiting on the port.
void flushRX(int fd);
// Reads and drops bytes until `seconds` pass without one: the sender has
// stopped, and nothing it still sends is taken for an answer, or for keys
// (Ctrl-C, Ctrl-\) once the console's own settings are back.
void drain_until_quiet(int seconds, int fd);
// Reads up to `count` bytes into `dest`: the first must come within 1 s, and
// reading stops at the first gap of 1 s that is followed by another second
// without a byte. The number read, with the CRC-16 of exactly those bytes
// at `crc`.
int readData(uint8_t *dest, int count, uint16_t *crc, int fd);

// CRC-16/XMODEM (polynomial 0x1021, no reflection, no final XOR) of `count`
// bytes, continuing from `crc` (0 to start).
uint16_t xmodem_crc16(const uint8_t *bytes, size_t count, uint16_t crc);

// What a block's number and its complement say, given the number of the
// last good block (`have_good` 0 before the first one).
enum XmodemBlockNumber {
    kBlockNext,            // the one expected: last good + 1, modulo 256
    kBlockRepeat,          // the last good block again: acknowledged, not kept
    kBlockBadComplement,   // number and complement do not add up to 255
    kBlockZeroFirst,       // block 0 before any good block
    kBlockOutOfSequence,   // anything else: the transfer cannot go on
};
int judge_block_number(uint8_t number, uint8_t complement, uint8_t last_good, int have_good);
