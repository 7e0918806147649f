#include "board_fixture.h"
#include "flash.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <regex>
#include <string>
#include <vector>

namespace {

constexpr uint32_t S = 128 * 1024;

class Flash : public testing::Test {
protected:
    void SetUp() override
    {
        flash_reset_state();
        board = make_board("erasesize=131072\n");
        ASSERT_FALSE(board.empty());
    }
    void TearDown() override
    {
        flash_reset_state();
        remove_board(board);
    }
    void init()
    {
        ASSERT_EQ(stdout_of([] { ASSERT_EQ(api_flash_init(), 0); }), "");
        simdev_log_clear();
    }
    static std::vector<uint8_t> peek(const char *dev, uint32_t offset, uint32_t length)
    {
        std::vector<uint8_t> out(length);
        EXPECT_EQ(simdev_peek(dev, offset, out.data(), length), 0);
        return out;
    }
    // Old content that a careless write would lose: every byte different.
    static void fill_pattern(const char *dev, uint32_t offset, uint32_t length)
    {
        std::vector<uint8_t> bytes(length);
        for (uint32_t i = 0; i < length; i++)
            bytes[i] = uint8_t(0x5A ^ (i * 13));
        ASSERT_EQ(simdev_poke(dev, offset, bytes.data(), length), 0);
    }
    std::string board;
};

TEST_F(Flash, RequestsBeforeInitAreRefusedAndTouchNothing)
{
    uint8_t buf[16] = {0};
    EXPECT_EQ(api_flash_read(buf, kernel_fd, 0, 16), -1);
    EXPECT_EQ(api_flash_write(buf, kernel_fd, 0, 16, 1), -1);
    EXPECT_EQ(api_flash_erase(kernel_fd, 0, 16), -1);
    EXPECT_TRUE(simdev_log().empty());
}

TEST_F(Flash, InitOpensSixPartitionsAndMeasuresTheKernelPartition)
{
    ASSERT_EQ(api_flash_init(), 0);
    EXPECT_EQ(flash_fd, kernel_fd);
    for (int fd : {uboot_fd, uboot_env_fd, device_tree_fd, kernel_fd, rfs_fd, rescue_fd})
        EXPECT_GE(fd, 0);
    const FlashInfo *info = flash_info();
    EXPECT_EQ(info->sector_size, S);
    EXPECT_EQ(info->sector_shift, 17u);
    EXPECT_EQ(info->size, 3u * 1024 * 1024);
    EXPECT_EQ(info->sector_count, 24u);
    EXPECT_STREQ(info->description, "3MB w/24-128KB sectors");
    // Every partition but the rescue one is opened for synchronous writes.
    const std::vector<std::string> opens = log_lines("mtd-");
    ASSERT_GE(opens.size(), 6u);
    for (const char *dev : {"mtd-uboot ", "mtd-ubootenv ", "mtd-devicetree ", "mtd-kernel ", "mtd-rfs "})
        EXPECT_EQ(log_lines(std::string(dev) + "open").size(), 1u) << dev;
    char sync_flags[32];
    snprintf(sync_flags, sizeof sync_flags, "flags=0x%x", unsigned(O_RDWR | O_SYNC));
    char plain_flags[32];
    snprintf(plain_flags, sizeof plain_flags, "flags=0x%x", unsigned(O_RDWR));
    EXPECT_EQ(log_lines("mtd-kernel open " + std::string(sync_flags)).size(), 1u);
    EXPECT_EQ(log_lines("mtd-rescue open " + std::string(plain_flags)).size(), 1u);
}

TEST_F(Flash, KernelPartitionMissingDisablesTheWholeLayer)
{
    ASSERT_EQ(simdev_add_fault("fail-open mtd-kernel"), 0);
    EXPECT_EQ(stdout_of([] { EXPECT_EQ(api_flash_init(), -1); }), "Could not get MTD device info \n");
    EXPECT_EQ(kernel_fd, -1);
    EXPECT_GE(rfs_fd, 0);
    uint8_t buf[4];
    simdev_log_clear();
    EXPECT_EQ(api_flash_read(buf, rfs_fd, 0, 4), -1);
    EXPECT_TRUE(simdev_log().empty());
}

TEST_F(Flash, ReadUsesOffsetThenLength)
{
    init();
    fill_pattern("mtd-ubootenv", 0, 2048);
    std::vector<uint8_t> buf(1280);
    ASSERT_EQ(api_flash_read(buf.data(), uboot_env_fd, 4, 1280), 0);
    EXPECT_EQ(buf, peek("mtd-ubootenv", 4, 1280));
    EXPECT_EQ(simdev_log(), std::vector<std::string>{"mtd-ubootenv read 0x00000004 1280"});
}

TEST_F(Flash, WriteWithinOneSectorKeepsTheRestOfIt)
{
    init();
    fill_pattern("mtd-kernel", 0, 2 * S);
    const std::vector<uint8_t> before = peek("mtd-kernel", 0, 2 * S);
    std::vector<uint8_t> data(100, 0xC3);
    ASSERT_EQ(api_flash_write(data.data(), kernel_fd, 10, 100, 0), 0);

    std::vector<uint8_t> want = before;
    std::copy(data.begin(), data.end(), want.begin() + 10);
    EXPECT_EQ(peek("mtd-kernel", 0, 2 * S), want);
    EXPECT_EQ(simdev_erase_count("mtd-kernel", 0), 1u);
    EXPECT_EQ(simdev_erase_count("mtd-kernel", 1), 0u);

    // Read the sector, erase it, then write it back in 1024-byte pieces.
    const std::vector<std::string> &log = simdev_log();
    ASSERT_EQ(log.size(), 2u + S / 1024);
    EXPECT_EQ(log[0], "mtd-kernel read 0x00000000 131072");
    EXPECT_EQ(log[1], "mtd-kernel erase 0x00000000 0x00020000");
    for (uint32_t k = 0; k < S / 1024; k++) {
        char line[64];
        snprintf(line, sizeof line, "mtd-kernel write 0x%08x 1024", unsigned(k * 1024));
        ASSERT_EQ(log[2 + k], line);
    }
}

TEST_F(Flash, WriteSpanningThreeSectors)
{
    init();
    fill_pattern("mtd-rfs", 0, 5 * S);
    const std::vector<uint8_t> before = peek("mtd-rfs", 0, 5 * S);
    std::vector<uint8_t> data(2 * S);
    for (uint32_t i = 0; i < data.size(); i++)
        data[i] = uint8_t(i * 7 + 1);
    const uint32_t offset = 2 * S - 16; // 16 bytes before the end of sector 1
    std::string out = stdout_of([&] { ASSERT_EQ(api_flash_write(data.data(), rfs_fd, offset, 2 * S, 1), 0); });
    EXPECT_EQ(out, "     \b\b\b\b000%\b\b\b\b033%\b\b\b\b066%\b\b\b\b100%\n");

    std::vector<uint8_t> want = before;
    std::copy(data.begin(), data.end(), want.begin() + offset);
    EXPECT_EQ(peek("mtd-rfs", 0, 5 * S), want);
    EXPECT_EQ(log_lines("mtd-rfs erase"),
              (std::vector<std::string>{"mtd-rfs erase 0x00020000 0x00020000",
                                        "mtd-rfs erase 0x00040000 0x00020000",
                                        "mtd-rfs erase 0x00060000 0x00020000"}));
    for (uint32_t sector = 0; sector < 5; sector++)
        EXPECT_EQ(simdev_erase_count("mtd-rfs", sector), (sector >= 1 && sector <= 3) ? 1u : 0u) << sector;
}

TEST_F(Flash, ZeroLengthWrites)
{
    init();
    uint8_t byte = 0;
    EXPECT_EQ(stdout_of([&] { EXPECT_EQ(api_flash_write(&byte, kernel_fd, S, 0, 1), 0); }),
              "     \b\b\b\b100%\n");
    EXPECT_TRUE(simdev_log().empty());
    // At an unaligned offset the range still names one sector, which is
    // rewritten with its own content.
    fill_pattern("mtd-kernel", 0, S);
    const std::vector<uint8_t> before = peek("mtd-kernel", 0, S);
    EXPECT_EQ(api_flash_write(&byte, kernel_fd, 5, 0, 0), 0);
    EXPECT_EQ(simdev_erase_count("mtd-kernel", 0), 1u);
    EXPECT_EQ(peek("mtd-kernel", 0, S), before);
}

TEST_F(Flash, EraseOfOneByteErasesItsWholeSector)
{
    init();
    fill_pattern("mtd-devicetree", 0, 2 * S);
    ASSERT_EQ(api_flash_erase(device_tree_fd, S + 5, 1), 0);
    EXPECT_EQ(peek("mtd-devicetree", S, S), std::vector<uint8_t>(S, 0xFF));
    EXPECT_NE(peek("mtd-devicetree", 0, 1)[0], 0xFF);
    EXPECT_EQ(simdev_log(), std::vector<std::string>{"mtd-devicetree erase 0x00020000 0x00020000"});
}

TEST_F(Flash, TraceLines)
{
    init();
    debug_read = debug_write = debug_erase = 1;
    std::vector<uint8_t> buf(1280);
    const std::string read_trace = stdout_of([&] { api_flash_read(buf.data(), uboot_env_fd, 4, 1280); });
    EXPECT_TRUE(std::regex_match(read_trace, std::regex("Flash Read 0x00000004 to 0x00000503\n"
                                                        "mtd read  0x00000004 to 0x00000503 0x[0-9a-f]{8,16}\n")))
        << read_trace;

    EXPECT_EQ(stdout_of([] { api_flash_erase(kernel_fd, 5, 1); }),
              "Flash Erase 0x00000005 to 0x00000005 (0x00000000 to 0x0001ffff) 1\n"
              "mtd erase 0x00000000 to 0x0001ffff\n");

    const std::string write_trace = stdout_of([&] { api_flash_write(buf.data(), kernel_fd, S - 16, 32, 0); });
    const std::string head = "Flash Write 0x0001fff0 to 0x0002000f (0x00000000 to 0x0003ffff) 2\n"
                             "mtd read  0x00000000 to 0x0001ffff 0x";
    EXPECT_EQ(write_trace.compare(0, head.size(), head), 0) << write_trace.substr(0, 200);
    EXPECT_NE(write_trace.find("mtd erase 0x00020000 to 0x0003ffff\n"), std::string::npos);
    EXPECT_NE(write_trace.find("mtd write 0x0003fc00 to 0x0003ffff 0x"), std::string::npos);

    // Switched off, nothing but the progress display is printed.
    debug_read = debug_write = debug_erase = 0;
    EXPECT_EQ(stdout_of([&] {
                  api_flash_read(buf.data(), kernel_fd, 0, 16);
                  api_flash_erase(kernel_fd, 0, 1);
                  api_flash_write(buf.data(), kernel_fd, 0, 16, 0);
              }),
              "");
}

TEST_F(Flash, FailuresInsideTheWriteLoop)
{
    init();
    uint8_t data[64] = {1, 2, 3};
    ASSERT_EQ(simdev_add_fault("fail-read mtd-kernel"), 0);
    EXPECT_EQ(stdout_of([&] { EXPECT_EQ(api_flash_write(data, kernel_fd, 0, 64, 0), -1); }),
              "Flash Write mtd read failed.\n\n");
    simdev_clear_faults();
    ASSERT_EQ(simdev_add_fault("fail-erase mtd-kernel"), 0);
    EXPECT_EQ(stdout_of([&] { EXPECT_EQ(api_flash_write(data, kernel_fd, 0, 64, 0), -1); }),
              "Flash Write mtd erase failed.\n\n");
    EXPECT_EQ(stdout_of([&] { EXPECT_EQ(api_flash_erase(kernel_fd, 0, 3 * S), -1); }),
              "Flash Erase mtd erase failed.\n");
    simdev_clear_faults();
    ASSERT_EQ(simdev_add_fault("fail-write mtd-kernel"), 0);
    EXPECT_EQ(stdout_of([&] { EXPECT_EQ(api_flash_write(data, kernel_fd, 0, 64, 1), -1); }),
              "     Flash Write mtd write failed.\n\n");
}

TEST_F(Flash, RangesPastFourGigabytesAreRefused)
{
    init();
    uint8_t data[32] = {0};
    EXPECT_EQ(api_flash_write(data, kernel_fd, 0x100, 0xFFFFFFFFu, 0), -1);
    EXPECT_EQ(api_flash_erase(kernel_fd, 0xFFFFFF00u, 0x200), -1);
    EXPECT_TRUE(simdev_log().empty());
}

TEST_F(Flash, GetSizeAsksTheDriver)
{
    init();
    uint32_t size = 7;
    EXPECT_EQ(mtd_get_size(rescue_fd, &size), 1);
    EXPECT_EQ(size, simdev_mtd_size("mtd-rescue"));
    EXPECT_EQ(mtd_get_size(-1, &size), 0);
    EXPECT_EQ(size, simdev_mtd_size("mtd-rescue"));
}

class FlashGeometry : public testing::Test {
protected:
    void TearDown() override
    {
        flash_reset_state();
        remove_board(board);
    }
    std::string board;
};

TEST_F(FlashGeometry, EraseSizeTheWriterCannotHandleIsRefused)
{
    flash_reset_state();
    board = make_board("erasesize=512\nmtd-kernel=65536\n");
    ASSERT_FALSE(board.empty());
    EXPECT_EQ(stdout_of([] { EXPECT_EQ(api_flash_init(), -1); }), "Unsupported MTD erase size 0x00000200\n");
    EXPECT_EQ(flash_info()->size, 0u);
    EXPECT_STREQ(flash_info()->description, "unknown");
}

TEST_F(FlashGeometry, SmallSectors)
{
    flash_reset_state();
    board = make_board("erasesize=65536\nmtd-kernel=4194304\n");
    ASSERT_FALSE(board.empty());
    ASSERT_EQ(api_flash_init(), 0);
    EXPECT_STREQ(flash_info()->description, "4MB w/64-64KB sectors");
    EXPECT_EQ(flash_info()->sector_shift, 16u);
}

} // namespace
