#include "board_fixture.h"
#include "i2c.h"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>

namespace {

class Vpd : public testing::Test {
protected:
    void SetUp() override
    {
        api_i2c_close();
        board = make_board("");
        ASSERT_FALSE(board.empty());
    }
    void TearDown() override
    {
        api_i2c_close();
        remove_board(board);
    }
    void init()
    {
        ASSERT_EQ(api_i2c_init(), 0);
        simdev_log_clear();
    }
    static void poke_eeprom(uint16_t offset, uint8_t value)
    {
        ASSERT_EQ(simdev_poke("i2c-0-54", offset, &value, 1), 0);
    }
    static uint8_t peek(const char *dev, uint16_t offset)
    {
        uint8_t value = 0;
        EXPECT_EQ(simdev_peek(dev, offset, &value, 1), 0);
        return value;
    }
    std::string board;
};

TEST_F(Vpd, FieldReadsSendTwoAddressBytesAndReadOne)
{
    init();
    poke_eeprom(0x100, 2);
    poke_eeprom(0x13B, 0xD5);
    EXPECT_EQ(api_get_image(), 2);
    EXPECT_EQ(simdev_log(), (std::vector<std::string>{"i2c-0 slave 0x54", "i2c-0 write 0x54 01 00",
                                                      "i2c-0 read 0x54 1 -> 02"}));
    simdev_log_clear();
    EXPECT_EQ(api_get_usbboot(), 0xD5);
    EXPECT_EQ(simdev_log(), (std::vector<std::string>{"i2c-0 slave 0x54", "i2c-0 write 0x54 01 3b",
                                                      "i2c-0 read 0x54 1 -> d5"}));
}

TEST_F(Vpd, WriteRunsTheBus1StepThenOneEepromWriteAndWaits)
{
    init();
    const uint8_t reg4 = 0x2F;
    ASSERT_EQ(simdev_poke("i2c-1-20", 4, &reg4, 1), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(api_set_booted_image(4), 3);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_EQ(simdev_log(), (std::vector<std::string>{
                                "i2c-1 slave 0x20", "i2c-1 smbus-read 0x20 reg 0x04 -> 2f",
                                "i2c-1 smbus-write 0x20 reg 0x0c 27", "i2c-0 slave 0x54",
                                "i2c-0 write 0x54 01 3a 04"}));
    EXPECT_EQ(peek("i2c-0-54", 0x13A), 4);
    EXPECT_EQ(peek("i2c-1-20", 12), 0x27);

    EXPECT_EQ(api_set_image(2), 3);
    EXPECT_EQ(peek("i2c-0-54", 0x100), 2);
    EXPECT_EQ(api_get_image(), 2);
}

TEST_F(Vpd, Bus1StepValues)
{
    init();
    const uint8_t clear = 0x21; // bit 3 already clear: written back unchanged
    ASSERT_EQ(simdev_poke("i2c-1-20", 4, &clear, 1), 0);
    EXPECT_EQ(api_set_image(1), 3);
    EXPECT_EQ(peek("i2c-1-20", 12), 0x21);

    // A failed register read gives -1, whose low byte with bit 3 cleared is 0xF7.
    ASSERT_EQ(simdev_add_fault("fail-read i2c-1"), 0);
    simdev_log_clear();
    EXPECT_EQ(api_set_image(2), 3);
    EXPECT_EQ(log_lines("i2c-1 smbus-write"), std::vector<std::string>{"i2c-1 smbus-write 0x20 reg 0x0c f7"});
    EXPECT_EQ(peek("i2c-1-20", 12), 0xF7);
    EXPECT_EQ(peek("i2c-0-54", 0x100), 2);
}

TEST_F(Vpd, ReadFailuresGiveZeroAndTheirMessage)
{
    init();
    poke_eeprom(0x100, 2);
    ASSERT_EQ(simdev_add_fault("nak 0 54"), 0);
    EXPECT_EQ(stdout_of([] { EXPECT_EQ(api_get_image(), 0); }),
              "I2C error - device 0xa8 writing bus 0 offset 256: 6\n");
    simdev_clear_faults();
    ASSERT_EQ(simdev_add_fault("fail-read i2c-0"), 0);
    EXPECT_EQ(stdout_of([] { EXPECT_EQ(api_get_usbboot(), 0); }), "I2C error - device 0xa8 @ 315, 1 bytes : 5\n");
}

TEST_F(Vpd, ReadOnAnUnopenedBusFailsAtDeviceSelection)
{
    uint8_t byte = 9;
    const std::string out = stdout_of([&] { EXPECT_EQ(i2c_read(0, 0xA8, 0x100, 1, 2, &byte), 0); });
    EXPECT_TRUE(std::regex_match(out, std::regex("I2C error when setting bus 0, device 0xa8: [0-9]+\n"))) << out;
    EXPECT_EQ(api_get_image(), 0);
}

TEST_F(Vpd, WriteFailures)
{
    init();
    ASSERT_EQ(simdev_add_fault("nak 0 54"), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(stdout_of([] { EXPECT_LT(api_set_booted_image(1), 0); }),
              "I2C error when writing bus 0 offset 314: 6\n");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_EQ(peek("i2c-0-54", 0x13A), 0xFF);
}

TEST_F(Vpd, WriteWithBus0UnopenedStopsAfterTheBus1Step)
{
    ASSERT_EQ(simdev_add_fault("fail-open i2c-0"), 0);
    EXPECT_EQ(stdout_of([] { EXPECT_EQ(api_i2c_init(), -1); }), "ERROR: driver /dev/i2c-0 couldn't be opened\n");
    EXPECT_EQ(i2c_bus_fd(0), -1);
    EXPECT_EQ(i2c_bus_fd(1), 0);
    EXPECT_TRUE(log_lines("i2c-1").empty());
    const std::string out = stdout_of([] { EXPECT_LT(api_set_image(2), 0); });
    EXPECT_TRUE(std::regex_match(out, std::regex("I2C error when setting bus 0: [0-9]+\n"))) << out;
    EXPECT_EQ(peek("i2c-0-54", 0x100), 0xFF);
}

TEST_F(Vpd, Bus1OpenFailureKeepsBus0)
{
    ASSERT_EQ(simdev_add_fault("fail-open i2c-1"), 0);
    EXPECT_EQ(stdout_of([] { EXPECT_EQ(api_i2c_init(), -1); }), "ERROR: driver /dev/i2c-1 couldn't be opened\n");
    EXPECT_GT(i2c_bus_fd(0), 0);
    EXPECT_EQ(i2c_bus_fd(1), -1);
    poke_eeprom(0x100, 2);
    EXPECT_EQ(api_get_image(), 2);
    // The bus-1 step fails silently; the EEPROM write goes ahead.
    EXPECT_EQ(stdout_of([] { EXPECT_EQ(api_set_image(1), 3); }), "");
    EXPECT_EQ(peek("i2c-0-54", 0x100), 1);
}

TEST_F(Vpd, CloseTwiceClosesNothingTheSecondTime)
{
    init();
    EXPECT_EQ(api_i2c_close(), 0);
    EXPECT_EQ(i2c_bus_fd(0), 0);
    EXPECT_EQ(i2c_bus_fd(1), 0);
    EXPECT_EQ(api_i2c_close(), 0);
}

TEST_F(Vpd, EepromReadOfSeveralBytes)
{
    init();
    const uint8_t bytes[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    ASSERT_EQ(simdev_poke("i2c-0-54", 0x1FFE, bytes, 2), 0);
    ASSERT_EQ(simdev_poke("i2c-0-54", 0x0000, bytes + 2, 2), 0);
    uint8_t out[4] = {0};
    // The EEPROM's address pointer wraps at the end of the chip.
    EXPECT_EQ(api_eeprom_read(out, 0x1FFE, 4), 1);
    EXPECT_EQ(0, memcmp(out, bytes, 4));
}

} // namespace
