// Shared set-up of the launcher's tests: a fresh emulated board, the
// launcher's state at its start values, and record builders.
#pragma once
#include "board_fixture.h"
#include "crc.h"
#include "flash.h"
#include "i2c.h"
#include "image.h"
#include "launch.h"
#include "process_stubs.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

// A record: header (CRC over byte 4 on) and `payload`.
inline std::vector<uint8_t> make_record(uint32_t magic, const std::vector<uint8_t> &payload,
                                        uint32_t id = 0x01020304)
{
    std::vector<uint8_t> record(IMAGE_HEADER_SIZE + payload.size());
    ImageHeader header = {0, uint32_t(payload.size()), magic, id};
    header_encode(&header, record.data());
    std::copy(payload.begin(), payload.end(), record.begin() + IMAGE_HEADER_SIZE);
    header.crc = image_record_crc(record.data(), header.len);
    header_encode(&header, record.data());
    return record;
}

// A header alone that claims `len` payload bytes.
inline std::vector<uint8_t> make_header(uint32_t magic, uint32_t len)
{
    std::vector<uint8_t> stored(IMAGE_HEADER_SIZE);
    ImageHeader header = {0, len, magic, 0};
    header_encode(&header, stored.data());
    return stored;
}

inline std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> out;
    for (const auto &part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

// Small partitions keep every test's backing files small.
constexpr const char *kBoardConf = "erasesize=131072\nmtd-uboot=131072\nmtd-kernel=262144\n"
                                   "mtd-rfs=131072\nmtd-rescue=262144\nmtd-user-char=131072\n";

class LaunchTest : public testing::Test {
protected:
    void SetUp() override
    {
        launch_reset_state();
        flash_reset_state();
        api_i2c_close();
        stub_calls_clear();
        stub_set_system_result(0);
        board = make_board(kBoardConf);
        ASSERT_FALSE(board.empty());
    }
    void TearDown() override
    {
        launch_reset_state();
        flash_reset_state();
        api_i2c_close();
        stub_set_system_result(0);
        // Not remove_board(): system() is a recording stand-in here.
        simdev_detach();
        std::error_code ignored;
        std::filesystem::remove_all(board, ignored);
    }
    void init_flash()
    {
        ASSERT_EQ(stdout_of([] { ASSERT_EQ(api_flash_init(), 0); }), "");
        simdev_log_clear();
    }
    std::string board;
};
