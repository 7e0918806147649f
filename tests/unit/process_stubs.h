// Link-time stand-ins (-Wl,--wrap=system,--wrap=execv,--wrap=sleep) for the
// calls that would run a command, replace the process or wait: each call is
// recorded and NOTHING is executed. execv always fails (ENOENT), as if
// "/bin/backtrace" were missing, so that a launch ends in board_reset.
//
// run_to_end() runs code that may end the process (board_reset exits) in a
// forked child, with stdin from a given text, and collects what it did.
#pragma once
#include <functional>
#include <string>
#include <vector>

// Calls recorded in this process since the last clear, one line each:
//   "system: <command>", "execv: <path> <argv...>", "sleep: <seconds>"
// with a newline inside a command shown as "\n".
const std::vector<std::string> &stub_calls();
void stub_calls_clear();
// What the system() stand-in returns (0 by default; -1 as when no shell can
// be started).
void stub_set_system_result(int result);
// When set, the system() stand-in also calls `action` with the command,
// after recording it, and returns its result instead; it plays what the
// command would have done (a file a receiver wrote, a signal). Cleared by
// passing nullptr.
void stub_set_system_action(std::function<int(const char *command)> action);

struct Outcome {
    bool exited = false;  // ended by exit(), not by a signal or returning
    int exit_status = -1; // exit() status
    bool returned = false; // the action returned; `result` holds its value
    int result = 0;
    std::string out; // stdout
    std::string err; // stderr
    std::vector<std::string> calls;
};

// Runs `action` in a child process whose descriptor 0 reads `input` (then
// end of input) and whose stdout and stderr are collected.
Outcome run_to_end(const std::function<int()> &action, const std::string &input = "");
