// The receiver's arithmetic, which the switch cannot show byte by byte: the
// CRC-16 and how a block number is judged. The transfers themselves run on
// the virtual switch (tests/system/test_xmodem.py).
#include "xmodem.h"

#include <gtest/gtest.h>

// The standard check value, also when continued over pieces as readData
// does after a gap on the line.
TEST(Xmodem, Crc16CheckValue)
{
    const auto *check = reinterpret_cast<const uint8_t *>("123456789");
    EXPECT_EQ(xmodem_crc16(check, 9, 0), 0x31C3);
    EXPECT_EQ(xmodem_crc16(check + 4, 5, xmodem_crc16(check, 4, 0)), 0x31C3);
    EXPECT_EQ(xmodem_crc16(check, 0, 0), 0);
}

TEST(Xmodem, BlockNumbers)
{
    const struct {
        int number, complement, last_good, have_good, verdict;
    } cases[] = {
        {1, 254, 0, 0, kBlockNext},          {0, 255, 255, 1, kBlockNext},
        {255, 0, 254, 1, kBlockNext},        {7, 248, 7, 1, kBlockRepeat},
        {0, 255, 0, 0, kBlockZeroFirst},     {2, 253, 0, 0, kBlockOutOfSequence},
        {9, 246, 7, 1, kBlockOutOfSequence}, {6, 249, 7, 1, kBlockOutOfSequence},
        {8, 248, 7, 1, kBlockBadComplement}, {1, 1, 0, 0, kBlockBadComplement},
    };
    for (const auto &c : cases)
        EXPECT_EQ(judge_block_number(uint8_t(c.number), uint8_t(c.complement), uint8_t(c.last_good),
                                     c.have_good),
                  c.verdict)
            << c.number << " " << c.complement << " after " << c.last_good;
}
