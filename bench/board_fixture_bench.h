// A temporary emulated board for the benchmarks.
#pragma once
#include "simdev.h"

#include <cstdio>
#include <cstdlib>
#include <string>

inline std::string bench_make_board(const char *conf)
{
    char dir[] = "/tmp/switch-bench-XXXXXX";
    if (!mkdtemp(dir))
        return "";
    FILE *f = fopen((std::string(dir) + "/board.conf").c_str(), "w");
    if (!f)
        return "";
    fputs(conf, f);
    fclose(f);
    return simdev_attach(dir) == 0 ? std::string(dir) : std::string();
}

inline void bench_remove_board(const std::string &dir)
{
    simdev_detach();
    (void)system(("rm -rf '" + dir + "'").c_str());
}
