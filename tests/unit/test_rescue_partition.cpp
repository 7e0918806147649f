// The rescue partition's record.
#include "fixture.h"
#include "rescue_partition.h"

namespace {

// A partition too small for a header: what the read leaves unfilled is no
// flash content.
TEST(RescuePartition, ShortReadIsNotTakenForContent)
{
    TestBoard board("erasesize=1024\nmtd-kernel=4096\nmtd-rescue=0\n");
    ASSERT_EQ(api_flash_init(), 0);
    ImageRecord record;
    fill_stack("\x06PGT", 4); // the diagnostics type word
    deeper([&] { EXPECT_EQ(read_rescue_record(record), kRescueNotFound); });
}

// A rescue record larger than its partition is refused before it is read.
TEST(RescuePartition, RecordSizeLimit)
{
    TestBoard board;
    ASSERT_EQ(api_flash_init(), 0);
    const uint32_t size = simdev_mtd_size("mtd-rescue");
    const Bytes full = make_record(IMAGE_DIAGS, Bytes(size - 16, 0x5A));
    for (const Bytes &stored : {full, make_header(IMAGE_DIAGS, size - 15), make_header(IMAGE_DIAGS, 0xFFFFFFF0u),
                                make_header(IMAGE_DIAGS, 0xFFFFFFFFu)}) {
        poke("mtd-rescue", 0, stored);
        simdev_log_clear();
        ImageRecord record;
        EXPECT_EQ(read_rescue_record(record), stored == full ? kRescueGood : kRescueBad);
        EXPECT_TRUE(record.bytes == (stored == full ? full : Bytes{}));
        Strings requests = {"mtd-rescue read 0x00000000 16", "mtd-rescue info"};
        if (stored == full)
            requests.push_back("mtd-rescue read 0x00000000 " + std::to_string(size));
        EXPECT_EQ(simdev_log(), requests);
    }
}

} // namespace
