// A serial line in virtual time (simclock.h), for tests and fuzz targets of
// a program that uses a serial port through open, read, write, poll and
// close, linked in with -Wl,--wrap for those calls (SIMLINE_LINK_OPTIONS):
// a scripted sender at the far end, and a record of every byte the program
// sends. The port opens as /dev/null underneath, so terminal requests on it
// fail and it is no terminal; every other path and descriptor goes to the
// C library.
//
// The sender's script is a list of pieces, each a burst of bytes sent after
// a pause. A piece waits for the program's answer to the one before (the
// first byte the program sends after reading it whole), as an XMODEM sender
// waits for ACK or NAK; a sender that gets no answer sends on after
// kSimlineGiveUpMs all the same. A piece that does not wait follows the one
// before after its pause alone, as the parts of one block do. Reads find
// nothing (EAGAIN) until a piece is due; once the last piece has been read
// the far end has hung up: reads find end of input, poll reports POLLHUP.
// Poll moves virtual time on to the moment the next piece is due, or by its
// whole timeout when that comes first. Writes are always taken.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

constexpr int kSimlineGiveUpMs = 20000;

// The port's path, an empty script and no answers yet; starts the clock
// (simclock_start). The first piece waits for its pause alone.
void simline_start(const char *port_path);
// Adds a piece of `count` bytes to the script.
void simline_send(const uint8_t *bytes, size_t count, int pause_ms = 0, bool waits = true);
// Every byte the program wrote to the port, in order.
const std::string &simline_answers();
