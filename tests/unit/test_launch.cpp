// The boot settings read from the emulated environment partition. Slot
// choice, the start-up order, the launch modes and the board reset are
// asserted end to end on the virtual switch (tests/system/test_boot_*.py).
#include "launch_fixture.h"

namespace {

using Strings = std::vector<std::string>;

// The settings that differ from their start values, e.g. "gdb=1 port=77";
// "" when all are at their start values.
std::string changed_settings()
{
    std::string out;
    const auto show = [&](const char *name, long value, long start) {
        if (value != start)
            out += (out.empty() ? "" : " ") + std::string(name) + "=" + std::to_string(value);
    };
    show("gdb", gdb_enable, 0);
    show("gdbserver", gdbserver_enable, 0);
    show("port", gdbport, 1234);
    show("shell", shell_enable, 0);
    show("memchk", memchk_enable, 0);
    show("rescue", rescue_enable, 0);
    show("diags", standalone_diags, 0);
    return out;
}

struct EnvCase {
    Strings entries; // "name=value", each ended by NUL
    std::string settings;
    uint32_t at = 0; // where the entries begin in the 1280 bytes
    bool readable = true;
};

// The partition is a checksum word, then the entries, then erased flash.
const EnvCase kEnvCases[] = {
    {{}, ""},
    {{"gdbserver=on"}, "gdb=1 gdbserver=1"},
    {{"gdb=off", "gdbserver=on"}, "gdb=1 gdbserver=1"},
    {{"gdb=on", "gdbserver=off"}, "gdb=1"},
    // "on" is two characters compared case-sensitively.
    {{"shell=one", "memchk=ON", "gdb=On"}, "shell=1"},
    {{"diagnostics=rescue"}, "rescue=1"},
    {{"diagnostics=diags"}, "diags=1"},
    {{"diagnostics=off"}, ""},
    {{"gdbport=4321"}, "port=4321"},
    {{"gdbport=abc"}, ""},
    {{"gdbport=77x9"}, "port=77"},
    {{"gdbport=", "-5"}, "port=-5"}, // the NUL became a space; a sign counts
    {{"gdbport=99999999999999"}, "port=2147483647"},
    // The search ignores entry boundaries: "gdb=" is the end of "xgdb=".
    {{"bootargs=console=ttyS0 shell=on root=/dev/ram", "xgdb=on"}, "gdb=1 shell=1"},
    // A value runs on past its entry: "shell=o" then "n=1" reads "o n=1".
    {{"shell=o", "n=1", "memchk=on", "x=1"}, "memchk=1"},
    {{"memchk=", "only=1"}, ""},
    {{"memchk=off", "memchk=on"}, ""}, // the first occurrence wins
    // The window's edge: "on" as its last two bytes counts; a key cut by the
    // edge or beyond it is not seen.
    {{"shell=on"}, "shell=1", kUbootEnvLength - 8},
    {{"shell=on"}, "", kUbootEnvLength - 4},
    {{"shell=on"}, "", kUbootEnvLength},
    // Flash never opened: the read is refused and nothing is parsed.
    {{"gdbserver=on", "shell=on", "gdbport=99"}, "", 0, false},
};

TEST_F(LaunchTest, BootSettingsFromTheEnvironment)
{
    for (const EnvCase &c : kEnvCases) {
        SCOPED_TRACE(testing::PrintToString(c.entries) + " at " + std::to_string(c.at) +
                     (c.readable ? "" : ", flash not opened"));
        launch_reset_state();
        flash_reset_state();
        std::vector<uint8_t> env(kUbootEnvOffset + kUbootEnvLength + 64, 0xFF);
        std::fill_n(env.begin(), kUbootEnvOffset, 0xA5); // the checksum word
        auto at = env.begin() + kUbootEnvOffset + c.at;
        for (const std::string &entry : c.entries) {
            at = std::copy(entry.begin(), entry.end(), at);
            *at++ = 0;
        }
        ASSERT_EQ(simdev_poke("mtd-ubootenv", 0, env.data(), uint32_t(env.size())), 0);
        if (c.readable)
            init_flash();
        simdev_log_clear();
        EXPECT_EQ(stdout_of([] { EXPECT_EQ(parse_uboot_env(), 0); }), "");
        EXPECT_EQ(changed_settings(), c.settings);
        EXPECT_EQ(simdev_log(), c.readable ? Strings{"mtd-ubootenv read 0x00000004 1280"} : Strings{});
    }
}

} // namespace
