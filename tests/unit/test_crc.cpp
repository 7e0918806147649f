// The CRC of image records, and the record check built on it.
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

// A record is judged on its header's `len`: whatever the bytes that came
// give, a record whose source ended early is cut short, never good.
TEST(Crc, RecordCheckJudgesTheLengthBeforeTheBytes)
{
    struct Row {
        const char *name;
        uint32_t claimed_len; // the header's len
        size_t payload_came;  // payload bytes the record holds
        bool crc_of_what_came;
        RecordRead want;
    };
    const Row rows[] = {
        {"whole, CRC right", 300, 300, true, kRecordGood},
        {"whole, CRC wrong", 300, 300, false, kRecordBadCrc},
        {"cut short, CRC of what came", 300, 200, true, kRecordCutShort},
        {"empty payload claimed long", 300, 0, true, kRecordCutShort},
    };
    for (const Row &row : rows) {
        const Bytes payload = pattern(row.payload_came, 7);
        Bytes stored = concat({Bytes(16), payload});
        ImageHeader header = {0, row.claimed_len, IMAGE_APPLICATION, 0x01020304u};
        header_encode(&header, stored.data());
        header.crc = gen_crc(stored.data() + 4, uint32_t(stored.size() - 4), 0xFFFFFFFFu) ^
                     (row.crc_of_what_came ? 0u : 1u);
        header_encode(&header, stored.data());
        ImageRecord record;
        ASSERT_EQ(allocate_record(stored.data(), stored.size(), &record), kRecordGood);
        std::copy(stored.begin(), stored.end(), record.bytes.begin());
        uint32_t crc = 0;
        EXPECT_EQ(check_record(record, &crc), row.want) << row.name;
    }
}

} // namespace
