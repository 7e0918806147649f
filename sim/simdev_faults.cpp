// Fault rules: the board's "faults" file read at attach, the rules a test
// adds, and the checks the back ends make against them.
#include "simdev_faults.h"
#include "simdev_internal.h"

#include <csignal>
#include <cstdio>
#include <unistd.h>

bool simdev_load_faults(Model &m)
{
    std::vector<std::string> lines;
    if (!simdev_read_lines(m.board + "/faults", lines))
        return true;
    for (const std::string &line : lines) {
        if (simdev_add_fault(line.c_str()) != 0) {
            fprintf(stderr, "simdev: faults: bad rule '%s'\n", line.c_str());
            return false;
        }
    }
    return true;
}

int simdev_add_fault(const char *rule)
{
    Model &m = simdev_model();
    char kind[32], a[32], b[32], extra[2];
    int n = rule ? sscanf(rule, "%31s %31s %31s %1s", kind, a, b, extra) : 0;
    std::string k = n >= 1 ? kind : "";
    uint32_t num = 0, addr = 0;
    if (n == 2 && simdev_node_of(a) >= 0) {
        if (k == "fail-open") { m.faults.fail_open.push_back(a); return 0; }
        if (k == "fail-read") { m.faults.fail_read.push_back(a); return 0; }
        if (k == "fail-write") { m.faults.fail_write.push_back(a); return 0; }
        if (k == "fail-erase") { m.faults.fail_erase.push_back(a); return 0; }
    }
    if (n == 1 && k == "fail-system") {
        m.faults.fail_system = true;
        return 0;
    }
    if (n == 2 && k == "cut-at-write" && simdev_parse_u32(a, 10, num) && num > 0) {
        m.faults.cut_at_write = num;
        return 0;
    }
    if (n == 2 && k == "cut-inside-write" && simdev_parse_u32(a, 10, num) && num > 0) {
        m.faults.cut_inside_write = num;
        return 0;
    }
    if (n == 2 && k == "cut-at-erase" && simdev_parse_u32(a, 10, num) && num > 0) {
        m.faults.cut_at_erase = num;
        return 0;
    }
    if (n == 2 && k == "cut-inside-erase" && simdev_parse_u32(a, 10, num) && num > 0) {
        m.faults.cut_inside_erase = num;
        return 0;
    }
    if (n == 2 && k == "cut-at-vpd-write" && simdev_parse_u32(a, 10, num) && num > 0) {
        m.faults.cut_at_vpd_write = num;
        return 0;
    }
    if (n == 2 && k == "fail-vpd-write" && simdev_parse_u32(a, 10, num) && num > 0) {
        m.faults.fail_vpd_write = num;
        return 0;
    }
    if (n == 3 && k == "nak" && simdev_parse_u32(a, 10, num) && num <= 1 &&
        simdev_parse_u32(b, 16, addr) && addr <= 0x7f) {
        m.faults.nak.emplace_back(static_cast<int>(num), static_cast<int>(addr));
        return 0;
    }
    return -1;
}

void simdev_clear_faults()
{
    simdev_model().faults = FaultSet();
}

bool simdev_fault_on(const std::vector<std::string> &list, const std::string &dev)
{
    for (const std::string &d : list)
        if (d == dev)
            return true;
    return false;
}

void simdev_power_cut(const std::string &line)
{
    simdev_log_line(line + " -> power-cut");
    kill(getpid(), SIGKILL);
    for (;;)
        pause();
}

bool simdev_fault_nak(int bus, int addr)
{
    for (const auto &n : simdev_model().faults.nak)
        if (n.first == bus && n.second == addr)
            return true;
    return false;
}

