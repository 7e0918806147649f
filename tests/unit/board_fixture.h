// A fresh emulated board per test: a temporary board directory with the
// given board.conf lines, attached to the device model.
#pragma once
#include "simdev.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

inline std::string make_board(const std::string &conf)
{
    char dir[] = "/tmp/switch-board-XXXXXX";
    if (!mkdtemp(dir))
        return "";
    FILE *f = fopen((std::string(dir) + "/board.conf").c_str(), "w");
    if (!f)
        return "";
    fputs(conf.c_str(), f);
    fclose(f);
    if (simdev_attach(dir) != 0)
        return "";
    simdev_log_clear();
    return dir;
}

inline void remove_board(const std::string &dir)
{
    simdev_detach();
    if (!dir.empty())
        (void)system(("rm -rf '" + dir + "'").c_str());
}

// Everything printf wrote to stdout while `action` ran.
template <typename F> std::string stdout_of(F action)
{
    fflush(stdout);
    testing::internal::CaptureStdout();
    action();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// Log lines that start with `prefix`.
inline std::vector<std::string> log_lines(const std::string &prefix)
{
    std::vector<std::string> out;
    for (const std::string &line : simdev_log())
        if (line.compare(0, prefix.size(), prefix) == 0)
            out.push_back(line);
    return out;
}
