#include "crc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// The definition of the register update, one bit at a time: the reference
// against which the table-driven routine is checked.
uint32_t bitwise_crc(const uint8_t *p, size_t n, uint32_t crc)
{
    for (size_t i = 0; i < n; i++) {
        uint8_t byte = p[i];
        for (int bit = 0; bit < 8; bit++) {
            crc = ((crc ^ byte) & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
            byte >>= 1;
        }
    }
    return crc;
}

TEST(GenCrc, PublishedCheckValues)
{
    EXPECT_EQ(gen_crc("123456789", 9, 0xFFFFFFFFu), 0x340BC6D9u);
    EXPECT_EQ(gen_crc("abc", 3, 0xFFFFFFFFu), 0xCADBBE3Du);
    EXPECT_EQ(gen_crc("", 0, 0xFFFFFFFFu), 0xFFFFFFFFu);
    EXPECT_EQ(gen_crc(nullptr, 0, 0x12345678u), 0x12345678u);
}

TEST(GenCrc, MatchesBitwiseDefinitionAtEveryLengthAndAlignment)
{
    std::vector<uint8_t> data(300);
    uint32_t seed = 1;
    for (uint8_t &b : data) {
        seed = seed * 1103515245u + 12345u;
        b = uint8_t(seed >> 16);
    }
    // Lengths around the 16-byte stride and odd start addresses exercise
    // both the sliced loop and the byte tail.
    for (size_t start = 0; start < 8; start++)
        for (size_t len = 0; len + start <= data.size(); len += (len < 40 ? 1 : 37))
            ASSERT_EQ(gen_crc(data.data() + start, uint32_t(len), 0xFFFFFFFFu),
                      bitwise_crc(data.data() + start, len, 0xFFFFFFFFu))
                << "start " << start << " len " << len;
}

// Long buffers take the striped and the folding paths; odd lengths and
// offsets leave tails for the byte loop. Both the host's fast path and the
// portable code the target runs must give the bit-by-bit result.
TEST(GenCrc, LongBuffersMatchDefinitionOnEveryPath)
{
    std::vector<uint8_t> data(70000);
    uint32_t seed = 99;
    for (uint8_t &b : data) {
        seed = seed * 1664525u + 1013904223u;
        b = uint8_t(seed >> 24);
    }
    for (size_t start : {0u, 1u, 3u, 15u})
        for (size_t len : {63u, 64u, 65u, 127u, 200u, 4095u, 16383u, 16384u, 16385u, 40000u, 69980u}) {
            const uint32_t want = bitwise_crc(data.data() + start, len, 0xFFFFFFFFu);
            ASSERT_EQ(gen_crc(data.data() + start, uint32_t(len), 0xFFFFFFFFu), want) << start << "+" << len;
            ASSERT_EQ(gen_crc_portable(data.data() + start, uint32_t(len), 0xFFFFFFFFu), want)
                << start << "+" << len;
            ASSERT_EQ(gen_crc(data.data() + start, uint32_t(len), 0x5A5A0000u),
                      bitwise_crc(data.data() + start, len, 0x5A5A0000u));
        }
}

TEST(GenCrc, ChainsAcrossSplitBuffers)
{
    const char text[] = "The quick brown fox jumps over the lazy dog, twice over.";
    const uint32_t n = uint32_t(strlen(text));
    for (uint32_t cut = 0; cut <= n; cut++)
        ASSERT_EQ(gen_crc(text + cut, n - cut, gen_crc(text, cut, 0xFFFFFFFFu)),
                  gen_crc(text, n, 0xFFFFFFFFu));
}

TEST(CheckCrc, SenseIsMismatch)
{
    EXPECT_EQ(CheckCrc("123456789", 9, 0x340BC6D9u), 0);
    EXPECT_EQ(CheckCrc("123456789", 9, 0x340BC6D8u), 1);
    EXPECT_EQ(CheckCrc("123456789", 9, ~0x340BC6D9u), 1);
}

TEST(CheckCrc, EverySingleBitFlipIsCaught)
{
    uint8_t data[64];
    for (int i = 0; i < 64; i++)
        data[i] = uint8_t(i * 7);
    const uint32_t good = gen_crc(data, sizeof data, 0xFFFFFFFFu);
    for (size_t bit = 0; bit < sizeof data * 8; bit++) {
        data[bit / 8] ^= uint8_t(1u << (bit % 8));
        ASSERT_EQ(CheckCrc(data, sizeof data, good), 1) << "bit " << bit;
        data[bit / 8] ^= uint8_t(1u << (bit % 8));
    }
    EXPECT_EQ(CheckCrc(data, sizeof data, good), 0);
}

TEST(Swapw, ReversesBytes)
{
    EXPECT_EQ(swapw(0x01020304u), 0x04030201u);
    EXPECT_EQ(swapw(0xA5AF3B7Au), 0x7A3BAFA5u);
    EXPECT_EQ(swapw(swapw(0xDEADBEEFu)), 0xDEADBEEFu);
}

} // namespace
