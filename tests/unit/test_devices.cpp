// The flash layer and the VPD EEPROM against the emulated MTD partitions
// and I2C buses: sector arithmetic, exact requests, failure messages.
#include "fixture.h"

#include <chrono>
#include <regex>

namespace {

constexpr uint32_t S = 128 * 1024;

// Each range on a partition whose old bytes all differ from the new ones:
// the range changes and every other byte is kept; each sector touched is
// read, erased once and, for a write, written back in 1024-byte pieces.
TEST(Flash, SectorsTouchedAndBytesKept)
{
    const std::string one = "     \b\b\b\b000%\b\b\b\b100%\n";
    // An erase, or a write with the percentage display; the sectors erased.
    const struct { bool erase; uint32_t offset, len; int result; uint32_t first, count; std::string out; } cases[] = {
        {false, 10, 100, 0, 0, 1, one},
        {false, S, S, 0, 1, 1, one},
        {false, 2 * S - 16, 2 * S, 0, 1, 3, "     \b\b\b\b000%\b\b\b\b033%\b\b\b\b066%\b\b\b\b100%\n"},
        {false, S, 0, 0, 0, 0, "     \b\b\b\b100%\n"},
        {false, 5, 0, 0, 0, 0, one},               // names a sector that already holds its 0 bytes
        {false, 0x100, 0xFFFFFFFFu, -1, 0, 0, ""}, // past 4 GiB
        {true, S + 5, 1, 0, 1, 1, ""},
        {true, 0, 3 * S, 0, 0, 3, ""},
        {true, 0xFFFFFF00u, 0x200, -1, 0, 0, ""},
    };
    const Bytes before = pattern(5 * S, 0x5A);
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.erase << " " << c.offset << "+" << c.len);
        TestBoard board("erasesize=131072\n");
        ASSERT_EQ(api_flash_init(), 0);
        poke("mtd-rfs", 0, before);
        simdev_log_clear();
        const Bytes data(c.result || c.erase ? 0 : c.len, 0xC3);
        const uint8_t *src = data.empty() ? before.data() : data.data(); // never a null pointer
        int result = 0;
        EXPECT_EQ(stdout_of([&] {
                      result = c.erase ? api_flash_erase(rfs_fd, c.offset, c.len)
                                       : api_flash_write(src, rfs_fd, c.offset, c.len, 1);
                  }),
                  c.out);
        EXPECT_EQ(result, c.result);
        Bytes want = before;
        std::fill_n(want.begin() + c.first * S, c.erase ? c.count * S : 0, 0xFF);
        std::copy(data.begin(), data.end(), want.begin() + (c.erase ? 0 : c.offset));
        EXPECT_TRUE(peek("mtd-rfs", 0, 5 * S) == want);
        for (uint32_t sector = 0; sector < 5; sector++) // erased once when first <= sector < first + count
            EXPECT_EQ(simdev_erase_count("mtd-rfs", sector), sector - c.first < c.count ? 1u : 0u) << sector;
        const Strings &log = simdev_log();
        const auto piece = [](const std::string &l) { return std::regex_match(l, std::regex(".* write .* 1024")); };
        const uint32_t read_only = !c.erase && !c.len && c.offset % S ? 1 : 0; // read, found equal
        EXPECT_EQ(log.size(), c.erase ? c.count : read_only + c.count * (2 + S / 1024));
        EXPECT_EQ(size_t(std::count_if(log.begin(), log.end(), piece)), c.erase ? 0u : c.count * S / 1024);
    }
}

// Sectors that already hold the new bytes are neither erased nor written,
// with the same display: a write over three sectors that changes one byte
// in the middle one erases that sector alone.
TEST(Flash, SectorsAlreadyHoldingTheBytesAreLeftAlone)
{
    TestBoard board("erasesize=131072\n");
    ASSERT_EQ(api_flash_init(), 0);
    Bytes flash = pattern(3 * S, 0x5A);
    poke("mtd-rfs", 0, flash);
    Bytes data(flash.begin() + S - 16, flash.begin() + 3 * S - 16);
    data[S + 7] ^= 1;
    EXPECT_EQ(stdout_of([&] { EXPECT_EQ(api_flash_write(data.data(), rfs_fd, S - 16, 2 * S, 1), 0); }),
              "     \b\b\b\b000%\b\b\b\b033%\b\b\b\b066%\b\b\b\b100%\n");
    flash[2 * S - 9] ^= 1;
    EXPECT_TRUE(peek("mtd-rfs", 0, 3 * S) == flash);
    for (uint32_t sector = 0; sector < 3; sector++)
        EXPECT_EQ(simdev_erase_count("mtd-rfs", sector), sector == 1 ? 1u : 0u) << sector;
}

// A field read sends the two offset bytes and reads one; a field write
// first clears bit 3 of register 4's value into register 12 on bus 1 (a
// failed register read counts as 0xFF), then writes offset and value in
// one message and gives the EEPROM 100 ms for its write cycle.
TEST(Vpd, FieldRequests)
{
    TestBoard board;
    ASSERT_EQ(api_i2c_init(), 0);
    poke("i2c-0-54", VPD_USB_BOOT, {0xD5});
    poke("i2c-1-20", 4, {0x2F});
    simdev_log_clear();
    EXPECT_EQ(api_get_usbboot(), 0xD5);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(api_set_booted_image(4), 3);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    ASSERT_EQ(simdev_add_fault("fail-read i2c-1"), 0);
    EXPECT_EQ(api_set_image(2), 3);
    EXPECT_EQ(simdev_log(), (Strings{"i2c-0 slave 0x54", "i2c-0 write 0x54 01 3b", "i2c-0 read 0x54 1 -> d5",
                                     "i2c-1 slave 0x20", "i2c-1 smbus-read 0x20 reg 0x04 -> 2f",
                                     "i2c-1 smbus-write 0x20 reg 0x0c 27", "i2c-0 slave 0x54",
                                     "i2c-0 write 0x54 01 3a 04", "i2c-1 slave 0x20",
                                     "i2c-1 smbus-read 0x20 reg 0x04 -> EIO", "i2c-1 smbus-write 0x20 reg 0x0c f7",
                                     "i2c-0 slave 0x54", "i2c-0 write 0x54 01 00 02"}));
    EXPECT_EQ(peek("i2c-0-54", VPD_BOOTED_IMAGE, 1), Bytes{4});
    EXPECT_EQ(peek("i2c-0-54", VPD_BOOT_SLOT, 1), Bytes{2});
}

// Requests that fail in the device model: the flash layer opened first,
// or the buses.
const uint8_t kData[64] = {};
int write_quietly() { return api_flash_init(), api_flash_write(kData, kernel_fd, 0, 64, 0); }
int write_shown() { return api_flash_init(), api_flash_write(kData, kernel_fd, 0, 64, 1); }
int erase_3_sectors() { return api_flash_init(), api_flash_erase(kernel_fd, 0, 3 * S); }
int get_slot() { return api_i2c_init(), api_get_image(); }
int get_usb() { return api_i2c_init(), api_get_usbboot(); }
int set_booted() { return api_i2c_init(), api_set_booted_image(1); }
int set_slot() { return api_i2c_init(), api_set_image(1); }

// After its message each request gives its result: flash -1, a VPD read 0,
// a VPD write a negative result. A bus-1 step that fails does not stop the
// EEPROM write. While its geometry is unknown (refused, or flash not opened
// at all) the flash layer asks the partitions for nothing.
TEST(Devices, FailureMessages)
{
    const struct { const char *conf, *fault; int (*action)(); int result; const char *text; } cases[] = {
        {kSmallBoard, "fail-open mtd-kernel", api_flash_init, -1, "Could not get MTD device info \n"},
        {"erasesize=512\nmtd-kernel=65536\n", "", api_flash_init, -1, "Unsupported MTD erase size 0x00000200\n"},
        {kSmallBoard, "fail-read mtd-kernel", write_quietly, -1, "Flash Write mtd read failed.\n\n"},
        {kSmallBoard, "fail-erase mtd-kernel", write_quietly, -1, "Flash Write mtd erase failed.\n\n"},
        {kSmallBoard, "fail-write mtd-kernel", write_shown, -1, "     Flash Write mtd write failed.\n\n"},
        {kSmallBoard, "fail-erase mtd-kernel", erase_3_sectors, -1, "Flash Erase mtd erase failed.\n"},
        {kSmallBoard, "nak 0 54", get_slot, 0, "I2C error - device 0xa8 writing bus 0 offset 256: 6\n"},
        {kSmallBoard, "fail-read i2c-0", get_usb, 0, "I2C error - device 0xa8 @ 315, 1 bytes : 5\n"},
        {kSmallBoard, "nak 0 54", set_booted, -1, "I2C error when writing bus 0 offset 314: 6\n"},
        {kSmallBoard, "fail-open i2c-0", get_slot, 0,
         "ERROR: driver /dev/i2c-0 couldn't be opened\nI2C error when setting bus 0, device 0xa8: 9\n"},
        {kSmallBoard, "fail-open i2c-0", set_slot, -1,
         "ERROR: driver /dev/i2c-0 couldn't be opened\nI2C error when setting bus 0: 9\n"},
        {kSmallBoard, "fail-open i2c-1", set_slot, 3, "ERROR: driver /dev/i2c-1 couldn't be opened\n"},
    };
    for (const auto &c : cases) {
        TestBoard board(c.conf);
        ASSERT_EQ(*c.fault ? simdev_add_fault(c.fault) : 0, 0);
        int result = 0;
        const std::string out = stdout_of([&] { result = c.action(); });
        EXPECT_TRUE(std::regex_match(out, std::regex(c.text))) << out;
        EXPECT_EQ(result, c.result) << c.text;
        if (flash_info()->size)
            continue;
        simdev_log_clear();
        uint8_t buf[16] = {};
        EXPECT_EQ(std::vector<int>({api_flash_read(buf, rfs_fd, 0, 16), api_flash_write(buf, rfs_fd, 0, 16, 0),
                                    api_flash_erase(rfs_fd, 0, 16)}),
                  std::vector<int>({-1, -1, -1}));
        EXPECT_EQ(simdev_log(), Strings{});
    }
}

} // namespace
