// A clock that a test or fuzz harness controls, linked in with -Wl,--wrap
// for clock_gettime, nanosleep and sleep (SIMCLOCK_LINK_OPTIONS). Once
// simclock_start() has been called, the thread that called it runs on
// virtual time: its monotonic clock reads the virtual time, and its sleeps
// move that time on and return at once. A silence of minutes then costs no
// wall time, and what a program does at a given moment no longer depends on
// the load of the machine. Every other thread (such as the fuzzer's own
// watchdog) and every other clock keep real time.
#pragma once
#include <cstdint>

// Virtual time starts at 0 for the calling thread.
void simclock_start();
// Nanoseconds since simclock_start.
int64_t simclock_now();
// Moves virtual time on by `ns` (a negative step is ignored).
void simclock_advance(int64_t ns);
