// The receiver's arithmetic (the CRC-16, how a block number is judged) and
// its answers to a sender whose pauses the test chooses, on a scripted line
// in virtual time (simline), so that waits of seconds take none. Transfers
// with a real sender run on the virtual switch (tests/system/test_xmodem.py).
#include "simclock.h"
#include "simline.h"
#include "xmodem.h"

#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>

using Bytes = std::vector<uint8_t>;

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

namespace {

// A 128-byte block on the line: SOH, number, complement, data, CRC; `bad`
// spoils its CRC.
Bytes block(uint8_t number, bool bad = false)
{
    Bytes b = {0x01, number, uint8_t(255 - number)};
    for (int i = 0; i < 128; i++)
        b.push_back(uint8_t(number * 3 + i));
    const uint16_t crc = xmodem_crc16(b.data() + 3, 128, 0);
    b.insert(b.end(), {uint8_t(crc >> 8), uint8_t(crc ^ (bad ? 1 : 0))});
    return b;
}

struct Piece {
    Bytes bytes;
    int pause_ms = 0;
    bool waits = true; // for the receiver's answer to the piece before
};
using Line = std::vector<Piece>;

const Bytes b1 = block(1), b2 = block(2), b3 = block(3), eot = {0x04}, can = {0x18}, enter = {'\r'};

// Block 1 with a pause of `ms` before its byte `at`, then EOT, EOT.
Line pause_in_block(size_t at, int ms)
{
    const auto cut = b1.begin() + long(at);
    return {{Bytes(b1.begin(), cut)}, {Bytes(cut, b1.end()), ms, false}, {eot}, {eot}};
}

std::string letters(const std::string &answers)
{
    std::string out;
    for (char c : answers)
        out += c == 'C' ? 'C' : c == 0x06 ? 'A' : c == 0x15 ? 'N' : c == 0x18 ? 'X' : '?';
    return out;
}

} // namespace

// Every wait of the receiver, with a pause just within it (for the drains,
// "1 s after a repeat" and so on, a pause the drain must outlast); the
// retries counted afresh after each good block; what ends the transfer
// after EOT. The file held more bytes before: it is truncated. `ends`: when
// the receiver returned, in virtual ms (0: any).
TEST(Xmodem, AnswersToASendersPauses)
{
    const Bytes bad2 = block(2, true), bad3 = block(3, true);
    Bytes can_can_b2 = {0x18, 0x18};
    can_can_b2.insert(can_can_b2.end(), b2.begin(), b2.end());
    const struct {
        const char *what;
        Line line;
        std::string answers;
        int result, kept, ends;
    } rows[] = {
        {"1 s for the first header", {{b1, 2500}, {eot}, {eot}}, "CCCANA", 128, 128, 0},
        {"5 s for a header after a block", {{b1}, {b2, 4500}, {eot}, {eot}}, "CAANA", 256, 256, 0},
        {"3 s for the number", pause_in_block(1, 2500), "CANA", 128, 128, 0},
        {"3 s for the complement", pause_in_block(2, 2500), "CANA", 128, 128, 0},
        {"3 s for the CRC's high byte", pause_in_block(131, 2500), "CANA", 128, 128, 0},
        {"3 s for the CRC's low byte", pause_in_block(132, 2500), "CANA", 128, 128, 0},
        {"1 s ends a pass of data, 2 s the data", pause_in_block(60, 1500), "CANA", 128, 128, 0},
        {"5 s after EOT, then noise", {{b1}, {eot}, {{'x'}, 4500}, {eot}, {eot}}, "CANNNA", 128, 128, 0},
        {"3 s for a second CAN", {{can}, {can, 2500, false}}, "CXXXXX", 0, 0, 0},
        {"CAN after a block is noise", {{b1}, {can_can_b2}, {eot}, {eot}}, "CAANA", 256, 256, 0},
        {"retries counted afresh", {{b1}, {bad2}, {bad2}, {b2}, {bad3}, {bad3}, {b3}, {eot}, {eot}},
         "CANNANNANA", 384, 384, 0},
        {"1 s after a repeat", {{b1}, {b1}, {b2, 500, false}, {eot}, {eot}}, "CAANA", 128, 128, 0},
        {"2 s before NAK", {{b1}, {bad2}, {b2, 1500, false}, {b2}, {eot}, {eot}}, "CANANA", 256, 256, 0},
        {"2 s after CAN", {{b1}, {b3}, {{'\n'}, 1500, false}}, "CAXXXXX", 0, 128, 3500},
        {"60 requests, then CAN", {}, std::string(60, 'C') + "XXXXX", 0, 0, 0},
    };
    const std::string file = testing::TempDir() + "xmodem-received";
    for (const auto &row : rows) {
        std::ofstream(file) << std::string(1000, 'J');
        serial_device = "/line/ttyS0";
        simline_start(serial_device);
        simline_send(enter.data(), 1); // the operator's Enter at the new speed
        for (const Piece &piece : row.line)
            simline_send(piece.bytes.data(), piece.bytes.size(), piece.pause_ms, piece.waits);
        EXPECT_EQ(Xmodem1K(file.c_str()), row.result) << row.what;
        EXPECT_EQ(letters(simline_answers()), row.answers) << row.what;
        EXPECT_EQ(std::ifstream(file, std::ios::ate).tellg(), row.kept) << row.what;
        if (row.ends) {
            EXPECT_EQ(simclock_now() / 1000000, row.ends) << row.what;
        }
    }
    std::remove(file.c_str());
}
