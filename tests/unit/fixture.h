// What the unit tests share: a fresh emulated board with the launcher's
// state at its start values, stdout and descriptor 0 taken over for a call,
// and image record builders.
#pragma once
#include "board.h"
#include "crc.h"
#include "flash.h"
#include "i2c.h"
#include "image.h"
#include "simdev.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <unistd.h>

using Bytes = std::vector<uint8_t>;
using Strings = std::vector<std::string>;

// Varied bytes, different for each seed.
inline Bytes pattern(size_t size, uint8_t seed)
{
    Bytes out(size);
    for (size_t i = 0; i < size; i++)
        out[i] = uint8_t(seed + i * 31 + (i >> 9));
    return out;
}

inline Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

// A header that claims `len` payload bytes; with `payload`, a whole record
// whose CRC covers it from byte 4 on.
inline Bytes make_header(uint32_t magic, uint32_t len, const Bytes &payload = {})
{
    Bytes record = concat({Bytes(16), payload});
    ImageHeader header = {0, len, magic, 0x01020304};
    header_encode(&header, record.data());
    header.crc = payload.empty() ? 0 : gen_crc(record.data() + 4, uint32_t(record.size() - 4), 0xFFFFFFFFu);
    header_encode(&header, record.data());
    return record;
}

inline Bytes make_record(uint32_t magic, const Bytes &payload)
{
    return make_header(magic, uint32_t(payload.size()), payload);
}

// Everything printf wrote to stdout while `action` ran.
template <typename F> std::string stdout_of(F action)
{
    fflush(stdout);
    testing::internal::CaptureStdout();
    action();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// Descriptor 0 becomes a new pipe (which stays) holding `keys`, then end
// of input.
inline void type_ahead(const std::string &keys)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    dup2(ends[0], 0);
    close(ends[0]);
    EXPECT_EQ(write(ends[1], keys.data(), keys.size()), ssize_t(keys.size()));
    close(ends[1]);
}

inline Bytes peek(const char *dev, uint32_t offset, uint32_t length)
{
    Bytes out(length);
    EXPECT_EQ(simdev_peek(dev, offset, out.data(), length), 0) << dev;
    return out;
}

inline void poke(const char *dev, uint32_t offset, const Bytes &bytes)
{
    ASSERT_EQ(simdev_poke(dev, offset, bytes.data(), uint32_t(bytes.size())), 0) << dev;
}

// Small partitions keep the backing files small.
constexpr const char *kSmallBoard = "erasesize=65536\nmtd-uboot=262144\nmtd-devicetree=131072\nmtd-kernel=262144\n"
                                    "mtd-rfs=262144\nmtd-rescue=262144\nmtd-user-char=65536\n";

// A board directory with these board.conf lines, attached to the device
// model while the object lives, the launcher's state at its start values;
// flash and buses are closed when it goes.
struct TestBoard {
    std::string dir = "/tmp/switch-board-XXXXXX";
    explicit TestBoard(const std::string &conf = kSmallBoard)
    {
        launch_reset_state();
        EXPECT_NE(mkdtemp(&dir[0]), nullptr);
        std::ofstream(dir + "/board.conf") << conf;
        EXPECT_EQ(simdev_attach(dir.c_str()), 0);
    }
    ~TestBoard()
    {
        flash_reset_state();
        api_i2c_close();
        simdev_detach();
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

// Leaves `text` all over the stack below the caller, as an earlier call can.
__attribute__((noinline)) inline void fill_stack(const char *text, size_t size)
{
    volatile char junk[16384];
    for (size_t i = 0; i < sizeof junk; i++)
        junk[i] = text[i % size];
}

// Runs `action` with its locals a few KiB below the caller: inside what
// fill_stack filled.
__attribute__((noinline)) inline void deeper(const std::function<void()> &action)
{
    volatile char gap[4096];
    gap[0] = 0;
    action();
    (void)gap[0];
}
