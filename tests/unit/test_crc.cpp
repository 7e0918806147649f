// The CRC of image records.
#include "fixture.h"

namespace {

// The register update one bit at a time: the definition both code paths
// are held to.
uint32_t bitwise_crc(const uint8_t *p, size_t n, uint32_t crc)
{
    for (size_t bit = 0; bit < n * 8; bit++)
        crc = ((crc ^ (p[bit / 8] >> (bit % 8))) & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    return crc;
}

TEST(Crc, CheckValues)
{
    EXPECT_EQ(gen_crc("123456789", 9, 0xFFFFFFFFu), 0x340BC6D9u);
    EXPECT_EQ(gen_crc("", 0, 0xFFFFFFFFu), 0xFFFFFFFFu);
    // A record checked in pieces passes the register on.
    EXPECT_EQ(gen_crc("56789", 5, gen_crc("1234", 4, 0xFFFFFFFFu)), 0x340BC6D9u);
}

// Lengths up to 200 take the byte loop and the 16-byte steps, the long ones
// the host's striped and folding paths too; the target runs the portable
// code. A piece after the first starts from another register.
TEST(Crc, BothPathsFollowTheDefinitionAtEveryLengthAlignmentAndStart)
{
    const Bytes data = pattern(70000, 99);
    std::vector<uint32_t> lengths = {4095, 4096, 16383, 16384, 16385, 40000, 69980};
    for (uint32_t len = 0; len < 200; len++)
        lengths.push_back(len);
    for (uint32_t start : {0xFFFFFFFFu, 0x5A5A0000u})
        for (size_t at = 0; at < 8; at++)
            for (uint32_t len : lengths) {
                const uint32_t want = bitwise_crc(data.data() + at, len, start);
                ASSERT_EQ(gen_crc(data.data() + at, len, start), want) << at << "+" << len;
                ASSERT_EQ(gen_crc_portable(data.data() + at, len, start), want) << at << "+" << len;
            }
}

} // namespace
