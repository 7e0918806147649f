// What every fuzz target shares: an emulated board in a scratch directory,
// and the calls that would run a command, replace the process, sleep or
// reboot taken over at link time (-Wl,--wrap), so that no input can reach
// the machine the fuzzer runs on. Standard output is discarded.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Thrown where the launcher would end the boot (board_reset, launch_image):
// the input is done.
struct BootEnded {};

// The scratch directory (created, the board attached, flash and I2C opened
// on first use); the launcher's rooted paths point into it.
const std::string &fuzz_root();
// Erased flash and a blank VPD again, so that every input starts alike.
void fuzz_reset_board();
// Descriptor 0 reads these bytes, then end of input.
void fuzz_stdin(const uint8_t *data, size_t size);
// A scratch file holding these bytes; its path.
std::string fuzz_file(const char *name, const uint8_t *data, size_t size);
