#include "crc.h"
#include "image.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

const uint8_t kExampleRecord[19] = {0xa5, 0xaf, 0x3b, 0x7a, 0x00, 0x00, 0x00, 0x03, 0x01, 0x50,
                                    0x47, 0x54, 0x01, 0x02, 0x03, 0x04, 0x61, 0x62, 0x63};

std::vector<uint8_t> make_record(uint32_t magic, uint32_t id, const std::string &payload)
{
    std::vector<uint8_t> record(IMAGE_HEADER_SIZE + payload.size());
    ImageHeader h{0, uint32_t(payload.size()), magic, id};
    header_encode(&h, record.data());
    std::copy(payload.begin(), payload.end(), record.begin() + IMAGE_HEADER_SIZE);
    h.crc = image_record_crc(record.data(), h.len);
    header_encode(&h, record.data());
    return record;
}

TEST(ImageRecord, ExampleRecordByteForByte)
{
    const std::vector<uint8_t> record = make_record(IMAGE_APPLICATION, 0x01020304u, "abc");
    ASSERT_EQ(record.size(), sizeof kExampleRecord);
    EXPECT_EQ(record, std::vector<uint8_t>(kExampleRecord, kExampleRecord + 19));
    EXPECT_EQ(CheckCrc(kExampleRecord + 4, 15, 0xA5AF3B7Au), 0);
}

TEST(ImageRecord, EmptyPayloadCrcCoversTwelveBytes)
{
    const std::vector<uint8_t> record = make_record(IMAGE_KERNEL, 0, "");
    ASSERT_EQ(record.size(), 16u);
    EXPECT_EQ(load_be32(record.data()), gen_crc(record.data() + 4, 12, 0xFFFFFFFFu));
}

TEST(ImageRecord, CrcWordIsNotCoveredButChecked)
{
    std::vector<uint8_t> record(kExampleRecord, kExampleRecord + 19);
    record[0] ^= 0x01;
    EXPECT_EQ(CheckCrc(record.data() + 4, 15, load_be32(record.data())), 1);
}

TEST(ImageHeaderWords, DecodedBigEndianOnEveryHost)
{
    const uint8_t stored[16] = {0xa5, 0xaf, 0x3b, 0x7a, 0x00, 0x00, 0x01, 0x00,
                                0x06, 0x50, 0x47, 0x54, 0xff, 0x00, 0x10, 0x01};
    ImageHeader h;
    header_decode(stored, &h);
    EXPECT_EQ(h.crc, 0xA5AF3B7Au);
    EXPECT_EQ(h.len, 256u);
    EXPECT_EQ(h.magic, IMAGE_DIAGS);
    EXPECT_EQ(h.id, 0xFF001001u);
    uint8_t again[16];
    header_encode(&h, again);
    EXPECT_EQ(0, memcmp(stored, again, 16));
}

TEST(ImageTypes, OnlyTheSixTypeWordsAreKnown)
{
    for (uint32_t type = 1; type <= 6; type++)
        EXPECT_TRUE(image_type_known(type << 24 | 0x504754u)) << type;
    EXPECT_FALSE(image_type_known(0x00504754u));
    EXPECT_FALSE(image_type_known(0x07504754u));
    EXPECT_FALSE(image_type_known(0x01504755u));
    EXPECT_FALSE(image_type_known(0x54475001u)); // a little-endian reading of the word
    EXPECT_EQ(image_type_from_name("IMAGE_RFS"), IMAGE_RFS);
    EXPECT_EQ(image_type_from_name("Diags"), IMAGE_DIAGS);
    EXPECT_EQ(image_type_from_name("bootloader"), 0u);
    EXPECT_STREQ(image_type_name(IMAGE_UBOOT), "uboot");
}

TEST(ImageVersion, ShownMostSignificantByteFirst)
{
    char text[32];
    EXPECT_STREQ(image_version_text(0x01020304u, text, sizeof text), "1.2.3.4");
    EXPECT_STREQ(image_version_text(0xFF00FF00u, text, sizeof text), "255.0.255.0");
}

std::string captured_dump(const ImageHeader &h, int show)
{
    fflush(stdout);
    testing::internal::CaptureStdout();
    display_header(&h, show);
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(DisplayHeader, FourAlignedLinesOnlyWhenSwitchedOn)
{
    const ImageHeader h{0xA5AF3B7Au, 3, IMAGE_APPLICATION, 0x01020304u};
    EXPECT_EQ(captured_dump(h, 0), "");
    EXPECT_EQ(captured_dump(h, 1), "  crc: 0xa5af3b7a\n"
                                   "  len: 0x00000003\n"
                                   "magic: 0x01504754\n"
                                   "   id: 0x01020304\n");
}

} // namespace
