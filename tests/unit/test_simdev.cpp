// The power cut of the device model, which the standard tools in
// test_sim_tools.py cannot reach: the process dies at its Nth flash write,
// before any byte of it lands, and every earlier write stays. Requests reach
// the model through the --wrap seam, also in the PowerPC build.
#include "simdev.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

TEST(Simdev, PowerCutKillsAtTheNthWriteBeforeItLands)
{
    const uint32_t es = 4096, size = 4 * es;
    char dir[] = "/tmp/simdev-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::ofstream(std::string(dir) + "/board.conf") << "erasesize=4096\nmtd-kernel=16384\n";
    ASSERT_EQ(simdev_attach(dir), 0);
    ASSERT_EQ(simdev_add_fault("cut-at-write 3"), 0);
    const int fd = open("/dev/mtd-kernel", O_RDWR);
    auto three_writes = [fd, es] {
        for (uint8_t n = 1; n <= 3; n++) {
            const uint8_t bytes[4] = {n, n, n, n};
            (void)!pwrite(fd, bytes, 4, (n - 1) * es);
        }
        _exit(0);
    };
    EXPECT_EXIT(three_writes(), testing::KilledBySignal(SIGKILL), "");
    std::vector<uint8_t> expect(size, 0xFF), flash(size);
    for (uint32_t i = 0; i < 4; i++)
        expect[i] = 1, expect[es + i] = 2;
    EXPECT_EQ(simdev_peek("mtd-kernel", 0, flash.data(), size), 0);
    EXPECT_EQ(flash, expect);
    std::ifstream log(std::string(dir) + "/devices.log");  // written by the killed process
    const std::string text(std::istreambuf_iterator<char>(log), {});
    EXPECT_NE(text.find("mtd-kernel write 0x00002000 4 -> power-cut\n"), std::string::npos) << text;
    close(fd);
    simdev_detach();
    std::filesystem::remove_all(dir);
}

} // namespace
