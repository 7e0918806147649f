// The boot settings' parse.
#include "fixture.h"
#include "launch.h"

#include <algorithm>

namespace {

// gdb, gdbserver, port, shell, memchk, rescue, diags.
std::vector<long> settings()
{
    return {gdb_enable, gdbserver_enable, gdbport, shell_enable, memchk_enable, rescue_enable, standalone_diags};
}

TEST(Environment, ParseRules)
{
    // The entries ('|' stands for the NUL that ends each) start at `at` of
    // the 1280 bytes; erased flash follows.
    const struct { std::string entries; std::vector<long> settings; uint32_t at; } cases[] = {
        {"", {0, 0, 1234, 0, 0, 0, 0}, 0},
        {"gdb=off|gdbserver=on", {1, 1, 1234, 0, 0, 0, 0}, 0},
        {"gdb=on|gdbserver=off", {1, 0, 1234, 0, 0, 0, 0}, 0},
        {"shell=one|memchk=ON|gdb=On", {0, 0, 1234, 1, 0, 0, 0}, 0}, // "on" in lower case only
        {"diagnostics=rescue", {0, 0, 1234, 0, 0, 1, 0}, 0},
        {"diagnostics=diags", {0, 0, 1234, 0, 0, 0, 1}, 0},
        {"gdbport=abc", {0, 0, 1234, 0, 0, 0, 0}, 0},
        {"gdbport=77x9", {0, 0, 77, 0, 0, 0, 0}, 0},
        {"gdbport=|-5", {0, 0, -5, 0, 0, 0, 0}, 0}, // the NUL reads as a space; a sign counts
        {"gdbport=99999999999999", {0, 0, 2147483647, 0, 0, 0, 0}, 0},
        // Entries are one text: "gdb=" ends "xgdb=", a value runs on past
        // its NUL, and the first occurrence wins.
        {"bootargs=console=ttyS0 shell=on|xgdb=on", {1, 0, 1234, 1, 0, 0, 0}, 0},
        {"shell=o|n=1|memchk=on|memchk=off", {0, 0, 1234, 0, 1, 0, 0}, 0},
        // "on" as the last two bytes counts; a key cut by the end does not.
        {"shell=on", {0, 0, 1234, 1, 0, 0, 0}, kUbootEnvLength - 8},
        {"shell=on", {0, 0, 1234, 0, 0, 0, 0}, kUbootEnvLength - 4},
    };
    for (const auto &c : cases) {
        launch_reset_state();
        Bytes env(kUbootEnvLength + 64, 0xFF);
        std::string text = c.entries + "|";
        std::replace(text.begin(), text.end(), '|', '\0');
        std::copy(text.begin(), text.end(), env.begin() + c.at);
        parse_uboot_env_text(env.data());
        EXPECT_EQ(settings(), c.settings) << c.entries;
    }
}

// A partition shorter than the read: what the read leaves unfilled is no
// flash content.
TEST(Launch, ShortReadsAreNotTakenForContent)
{
    TestBoard board("erasesize=1024\nmtd-ubootenv=1024\nmtd-kernel=4096\nmtd-rescue=0\n");
    fill_stack("shell=on ", 9);
    deeper([] { EXPECT_EQ(parse_uboot_env(), 0); }); // flash not opened: nothing parsed
    EXPECT_EQ(settings(), std::vector<long>({0, 0, 1234, 0, 0, 0, 0}));
    ASSERT_EQ(api_flash_init(), 0);
    poke("mtd-ubootenv", 4, {'g', 'd', 'b', '=', 'o', 'n', 0});
    fill_stack("shell=on ", 9);
    deeper([] { EXPECT_EQ(parse_uboot_env(), 0); });
    EXPECT_EQ(settings(), std::vector<long>({1, 0, 1234, 0, 0, 0, 0}));
}

} // namespace
