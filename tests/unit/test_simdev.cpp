// The power cuts of the device model, which the standard tools in
// test_sim_tools.py cannot reach: the process dies at its Nth flash write
// or erase, before it changes anything or inside it, and every earlier
// request stays. Requests reach the model through the --wrap seam, also in
// the PowerPC build.
#include "fixture.h"

#include <csignal>
#include <fcntl.h>
#include <iterator>
#include <sys/ioctl.h>
#include <mtd/mtd-user.h>

namespace {

struct CutCase {
    const char *rule;
    Bytes sector1;        // what the cut leaves in the second sector
    const char *log_end;  // the last line of the device log
};

TEST(Simdev, PowerCutsLeaveTheRequestsBeforeAndPartOfTheOneCutInside)
{
    // Both sectors hold 0x50; the process erases each and writes 8 bytes of
    // 0x30 at its start, so that every cut falls in the second sector.
    const Bytes old(4096, 0x50);
    const Bytes written = concat({Bytes(8, 0x30), Bytes(4096 - 8, 0xFF)});
    const CutCase cases[] = {
        {"cut-at-erase 2", old, "mtd-kernel erase 0x00001000 0x00001000 -> power-cut"},
        {"cut-inside-erase 2", Bytes(4096, 0x5F), "mtd-kernel erase 0x00001000 0x00001000 -> power-cut"},
        {"cut-at-write 2", Bytes(4096, 0xFF), "mtd-kernel write 0x00001000 8 -> power-cut"},
        {"cut-inside-write 2", concat({Bytes(4, 0x30), Bytes{0x3F}, Bytes(4096 - 5, 0xFF)}),
         "mtd-kernel write 0x00001000 8 -> power-cut"},
    };
    for (const CutCase &c : cases) {
        TestBoard board("erasesize=4096\nmtd-kernel=8192\n");
        simdev_poke("mtd-kernel", 0, concat({old, old}).data(), 8192);
        ASSERT_EQ(simdev_add_fault(c.rule), 0) << c.rule;
        const int fd = open("/dev/mtd-kernel", O_RDWR);
        auto erase_and_write_both = [fd] {
            for (uint32_t at = 0; at < 8192; at += 4096) {
                erase_info_user e = {at, 4096};
                (void)!ioctl(fd, MEMERASE, &e);
                (void)!pwrite(fd, Bytes(8, 0x30).data(), 8, at);
            }
            _exit(0);
        };
        EXPECT_EXIT(erase_and_write_both(), testing::KilledBySignal(SIGKILL), "") << c.rule;
        EXPECT_TRUE(peek("mtd-kernel", 0, 8192) == concat({written, c.sector1})) << c.rule;
        std::ifstream log(board.dir + "/devices.log"); // written by the killed process
        const std::string text(std::istreambuf_iterator<char>(log), {});
        const std::string last = std::string(c.log_end) + "\n";
        EXPECT_TRUE(text.size() >= last.size() && text.substr(text.size() - last.size()) == last)
            << c.rule << "\n" << text;
        close(fd);
    }
}

} // namespace
