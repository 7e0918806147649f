// Slot choice, reset, SIGINT and the start-up order, and the boot settings
// read from the emulated environment partition.
#include "launch_fixture.h"

#include <csignal>
#include <cstring>

namespace {

using Strings = std::vector<std::string>;

// --- Boot settings --------------------------------------------------------

class UbootEnv : public LaunchTest {
protected:
    // Writes a U-Boot environment: a checksum word, then "name=value" entries
    // each ended by NUL, then erased flash.
    void write_env(const Strings &entries, uint32_t pad_to = 0)
    {
        std::vector<uint8_t> env = {0xDE, 0xAD, 0xBE, 0xEF};
        for (const std::string &entry : entries) {
            env.insert(env.end(), entry.begin(), entry.end());
            env.push_back(0);
        }
        if (env.size() < pad_to)
            env.resize(pad_to, 0);
        ASSERT_EQ(simdev_poke("mtd-ubootenv", 0, env.data(), uint32_t(env.size())), 0);
    }
    // Raw bytes at a partition offset.
    void write_at(uint32_t offset, const std::string &text)
    {
        ASSERT_EQ(simdev_poke("mtd-ubootenv", offset, text.data(), uint32_t(text.size())), 0);
    }
    void parse()
    {
        init_flash();
        EXPECT_EQ(stdout_of([] { EXPECT_EQ(parse_uboot_env(), 0); }), "");
    }
};

TEST_F(UbootEnv, ReadsThe1280BytesAfterTheChecksumWord)
{
    write_env({"bootdelay=3"});
    parse();
    EXPECT_EQ(log_lines("mtd-ubootenv read"), Strings{"mtd-ubootenv read 0x00000004 1280"});
}

TEST_F(UbootEnv, ErasedEnvironmentKeepsTheDefaults)
{
    parse();
    EXPECT_EQ(gdb_enable, 0);
    EXPECT_EQ(gdbserver_enable, 0);
    EXPECT_EQ(gdbport, 1234);
    EXPECT_EQ(shell_enable, 0);
    EXPECT_EQ(memchk_enable, 0);
    EXPECT_EQ(rescue_enable, 0);
    EXPECT_EQ(standalone_diags, 0);
}

TEST_F(UbootEnv, UnreadablePartitionKeepsEveryDefault)
{
    // Flash never opened: the read is refused and nothing is parsed.
    write_env({"gdb=on", "shell=on", "gdbport=99"});
    EXPECT_EQ(parse_uboot_env(), 0);
    EXPECT_EQ(gdb_enable, 0);
    EXPECT_EQ(shell_enable, 0);
    EXPECT_EQ(gdbport, 1234);
    EXPECT_TRUE(simdev_log().empty());
}

TEST_F(UbootEnv, GdbserverOnImpliesGdb)
{
    write_env({"gdbserver=on"});
    parse();
    EXPECT_EQ(gdbserver_enable, 1);
    EXPECT_EQ(gdb_enable, 1);
}

TEST_F(UbootEnv, GdbOffAndGdbserverOnEndsWithGdbSet)
{
    write_env({"gdb=off", "gdbserver=on"});
    parse();
    EXPECT_EQ(gdb_enable, 1);
    EXPECT_EQ(gdbserver_enable, 1);
}

TEST_F(UbootEnv, GdbOnAndGdbserverOff)
{
    write_env({"gdb=on", "gdbserver=off"});
    parse();
    EXPECT_EQ(gdb_enable, 1);
    EXPECT_EQ(gdbserver_enable, 0);
}

TEST_F(UbootEnv, OnTestComparesTwoCharactersCaseSensitively)
{
    write_env({"shell=one", "memchk=ON", "gdb=On"});
    parse();
    EXPECT_EQ(shell_enable, 1);
    EXPECT_EQ(memchk_enable, 0);
    EXPECT_EQ(gdb_enable, 0);
}

TEST_F(UbootEnv, DiagnosticsRescue)
{
    write_env({"diagnostics=rescue"});
    parse();
    EXPECT_EQ(rescue_enable, 1);
    EXPECT_EQ(standalone_diags, 0);
}

TEST_F(UbootEnv, DiagnosticsDiags)
{
    write_env({"diagnostics=diags"});
    parse();
    EXPECT_EQ(rescue_enable, 0);
    EXPECT_EQ(standalone_diags, 1);
}

TEST_F(UbootEnv, DiagnosticsOtherValueSetsNeither)
{
    write_env({"diagnostics=off"});
    parse();
    EXPECT_EQ(rescue_enable, 0);
    EXPECT_EQ(standalone_diags, 0);
}

TEST_F(UbootEnv, PortDigits)
{
    write_env({"gdbport=4321"});
    parse();
    EXPECT_EQ(gdbport, 4321);
}

TEST_F(UbootEnv, PortLettersKeepTheDefault)
{
    write_env({"gdbport=abc"});
    parse();
    EXPECT_EQ(gdbport, 1234);
}

TEST_F(UbootEnv, PortLeadingDigitsCount)
{
    write_env({"gdbport=77x9"});
    parse();
    EXPECT_EQ(gdbport, 77);
}

TEST_F(UbootEnv, PortSkipsLeadingSpacesAndTakesASign)
{
    // The empty entry "gdbport=" is followed by the NUL turned space.
    write_env({"gdbport=", "-5"});
    parse();
    EXPECT_EQ(gdbport, -5);
}

TEST_F(UbootEnv, PortTooLargeForIntIsClamped)
{
    write_env({"gdbport=99999999999999"});
    parse();
    EXPECT_EQ(gdbport, INT32_MAX);
}

TEST_F(UbootEnv, SearchIgnoresEntryBoundaries)
{
    write_env({"bootargs=console=ttyS0 shell=on root=/dev/ram", "xgdb=on"});
    parse();
    EXPECT_EQ(shell_enable, 1);
    EXPECT_EQ(gdb_enable, 1); // found at the end of the longer name xgdb
}

TEST_F(UbootEnv, ValueRunsOnIntoTheNextEntry)
{
    // The value runs on past its entry's end: "shell=o" then "n..." reads
    // "o n...", which is not "on"; "memchk=on" followed by anything is on.
    write_env({"shell=o", "n=1", "memchk=on", "x=1"});
    parse();
    EXPECT_EQ(shell_enable, 0);
    EXPECT_EQ(memchk_enable, 1);
}

TEST_F(UbootEnv, EmptyValueIsOff)
{
    // The empty value's NUL has become a space, so the next entry's "on"
    // does not count.
    write_env({"memchk=", "only=1"});
    parse();
    EXPECT_EQ(memchk_enable, 0);
}

TEST_F(UbootEnv, FirstOccurrenceWins)
{
    write_env({"memchk=off", "memchk=on"});
    parse();
    EXPECT_EQ(memchk_enable, 0);
}

TEST_F(UbootEnv, EntryAfterThe1280BytesIsNotSeen)
{
    write_env({"bootdelay=3"}, 4 + 1280);
    write_at(4 + 1280, std::string("shell=on") + '\0');
    parse();
    EXPECT_EQ(shell_enable, 0);
}

TEST_F(UbootEnv, KeyCutByTheWindowEndIsNotSeen)
{
    write_env({}, 4 + 1280);
    write_at(4 + 1280 - 4, "shell=on");
    parse();
    EXPECT_EQ(shell_enable, 0);
}

TEST_F(UbootEnv, OnAtTheVeryEndOfTheWindowCounts)
{
    write_env({}, 4 + 1280);
    write_at(4 + 1280 - 8, "shell=on");
    parse();
    EXPECT_EQ(shell_enable, 1);
}

TEST_F(UbootEnv, TextParseWithoutFlash)
{
    uint8_t bytes[kUbootEnvLength] = {0};
    const char text[] = "gdbserver=on\0gdbport=2000\0diagnostics=rescue";
    memcpy(bytes, text, sizeof text);
    parse_uboot_env_text(bytes);
    EXPECT_EQ(gdb_enable, 1);
    EXPECT_EQ(gdbserver_enable, 1);
    EXPECT_EQ(gdbport, 2000);
    EXPECT_EQ(rescue_enable, 1);
}

// --- Start-up sequence and slot choice ------------------------------------

class SlotChoice : public LaunchTest {
protected:
    int slot_for(uint8_t vpd)
    {
        EXPECT_EQ(simdev_poke("i2c-0-54", VPD_BOOT_SLOT, &vpd, 1), 0);
        return which_image();
    }
};

TEST_F(SlotChoice, VpdSlotOneAndTwo)
{
    ASSERT_EQ(api_i2c_init(), 0);
    EXPECT_EQ(slot_for(1), 1);
    EXPECT_EQ(slot_for(2), 2);
}

TEST_F(SlotChoice, OutOfRangeValuesBootSlotOne)
{
    ASSERT_EQ(api_i2c_init(), 0);
    EXPECT_EQ(slot_for(0), 1);
    EXPECT_EQ(slot_for(3), 1);
    EXPECT_EQ(slot_for(255), 1);
}

TEST_F(SlotChoice, FailedVpdReadBootsSlotOne)
{
    ASSERT_EQ(api_i2c_init(), 0);
    ASSERT_EQ(simdev_add_fault("nak 0 54"), 0);
    std::string out = stdout_of([&] { EXPECT_EQ(slot_for(2), 1); });
    (void)out; // the VPD module reports its own failure
}

TEST_F(SlotChoice, BusesNeverOpenedBootSlotOne)
{
    std::string out = stdout_of([&] { EXPECT_EQ(slot_for(2), 1); });
    (void)out;
}

TEST_F(LaunchTest, StartValuesOfTheBootState)
{
    EXPECT_EQ(gdb_enable, 0);
    EXPECT_EQ(gdbserver_enable, 0);
    EXPECT_EQ(gdbport, 1234);
    EXPECT_EQ(shell_enable, 0);
    EXPECT_EQ(memchk_enable, 0);
    EXPECT_EQ(rescue_enable, 0);
    EXPECT_EQ(standalone_diags, 0);
    EXPECT_EQ(tried_alt_image, 0);
    EXPECT_EQ(sig_quit_raised, 0);
    EXPECT_EQ(usb_boot_enabled, 0);
    EXPECT_STREQ(stringbuff, "");
}

TEST_F(LaunchTest, BoardResetSleepsRebootsAndExitsWithZero)
{
    const Outcome o = run_to_end([]() -> int {
        board_reset();
    });
    EXPECT_TRUE(o.exited);
    EXPECT_EQ(o.exit_status, 0);
    EXPECT_EQ(o.calls, (Strings{"sleep: 1", "system: reboot"}));
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "");
}

TEST_F(LaunchTest, BoardResetWithoutAShellSaysSoAndStillExitsWithZero)
{
    stub_set_system_result(-1);
    const Outcome o = run_to_end([]() -> int {
        board_reset();
    });
    EXPECT_TRUE(o.exited);
    EXPECT_EQ(o.exit_status, 0);
    EXPECT_EQ(o.err, "System reboot failed, please power-cycle.\n");
    EXPECT_EQ(o.out, "");
}

TEST_F(LaunchTest, SigintOnlySetsTheFlagAndLeavesTheHandlerInstalled)
{
    struct sigaction old;
    ASSERT_EQ(sigaction(SIGINT, nullptr, &old), 0);
    ASSERT_EQ(sig_init(), 0);
    struct sigaction now;
    ASSERT_EQ(sigaction(SIGINT, nullptr, &now), 0);
    EXPECT_EQ(now.sa_handler, &sig_handler);
    EXPECT_EQ(now.sa_flags & SA_RESTART, 0);
    EXPECT_EQ(now.sa_flags & SA_RESETHAND, 0);
    const std::string out = stdout_of([] {
        raise(SIGINT);
        EXPECT_EQ(sig_quit_raised, 1);
        sig_quit_raised = 0;
        raise(SIGINT); // still installed after a delivery
        EXPECT_EQ(sig_quit_raised, 1);
    });
    EXPECT_EQ(out, "");
    ASSERT_EQ(sigaction(SIGINT, &old, nullptr), 0);
}

TEST_F(LaunchTest, StartUpOrderWithNothingToBootEndsInReset)
{
    // VPD slot 2, environment asks for a shell, no slot files and an erased
    // rescue partition: the first slot attempt ends the boot through the
    // rescue fallback, shell step and reset.
    if (access("/user/images/image1", F_OK) == 0 || access("/user/images/image2", F_OK) == 0)
        GTEST_SKIP() << "this host has slot files";
    const uint8_t slot = 2;
    ASSERT_EQ(simdev_poke("i2c-0-54", VPD_BOOT_SLOT, &slot, 1), 0);
    const std::string env = std::string("\0\0\0\0shell=on\0", 13);
    ASSERT_EQ(simdev_poke("mtd-ubootenv", 0, env.data(), uint32_t(env.size())), 0);
    const Outcome o = run_to_end([]() -> int {
        run_boot_sequence();
    });
    EXPECT_TRUE(o.exited);
    EXPECT_EQ(o.exit_status, 0);
    EXPECT_EQ(o.out, "Booting image '2'\n");
    EXPECT_EQ(o.err, "Failed to open Application image 2. Trying image 1.\n"
                     "Failed to open Application image 1. Trying rescue image\n"
                     "Image not found... \n");
    EXPECT_EQ(o.calls, (Strings{"system: /bin/mount -o sync -t jffs2 /dev/mtd-user /user",
                                "system: /bin/sh\\n", "sleep: 1", "system: reboot"}));
}

} // namespace
