// The power cut of the device model, which the standard tools in
// test_sim_tools.py cannot reach: the process dies at its Nth flash write,
// before any byte of it lands, and every earlier write stays. Requests reach
// the model through the --wrap seam, also in the PowerPC build.
#include "fixture.h"

#include <csignal>
#include <fcntl.h>
#include <iterator>

namespace {

TEST(Simdev, PowerCutKillsAtTheNthWriteBeforeItLands)
{
    TestBoard board("erasesize=4096\nmtd-kernel=16384\n");
    ASSERT_EQ(simdev_add_fault("cut-at-write 3"), 0);
    const int fd = open("/dev/mtd-kernel", O_RDWR);
    auto three_writes = [fd] {
        for (uint8_t n = 1; n <= 3; n++)
            (void)!pwrite(fd, Bytes(4, n).data(), 4, (n - 1) * 4096);
        _exit(0);
    };
    EXPECT_EXIT(three_writes(), testing::KilledBySignal(SIGKILL), "");
    const Bytes erased(4096 - 4, 0xFF);
    EXPECT_TRUE(peek("mtd-kernel", 0, 4 * 4096) == concat({Bytes(4, 1), erased, Bytes(4, 2), erased, Bytes(2 * 4096, 0xFF)}));
    std::ifstream log(board.dir + "/devices.log"); // written by the killed process
    const std::string text(std::istreambuf_iterator<char>(log), {});
    EXPECT_NE(text.find("mtd-kernel write 0x00002000 4 -> power-cut\n"), std::string::npos) << text;
    close(fd);
}

} // namespace
