// The fault rules of the device model (simdev_faults.cpp): loaded with the
// board, checked by the back ends. Tests add rules through simdev.h.
#pragma once
#include "simdev_internal.h"

#include <string>
#include <vector>

// Reads the board's "faults" file into the model; false (with a message)
// for a rule that does not parse.
bool simdev_load_faults(Model &m);

bool simdev_fault_on(const std::vector<std::string> &list, const std::string &dev);
// A power cut at the request logged as `line`: the line reaches devices.log
// with " -> power-cut" (one write to an O_APPEND descriptor), then the
// process dies (SIGKILL) before the request changes anything.
[[noreturn]] void simdev_power_cut(const std::string &line);
bool simdev_fault_nak(int bus, int addr);
