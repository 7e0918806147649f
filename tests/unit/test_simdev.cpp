// The emulated devices, driven through the same calls the launcher makes
// (open, pread, pwrite, ioctl... reach the model through the --wrap seam).
#include "simdev.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <mtd/mtd-user.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

#ifdef USE_LIBI2C
extern "C" {
#include <i2c/smbus.h>
}
#endif

namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

const uint32_t ES = 4096;  // erase size of the test board
const uint32_t KERNEL = 4 * ES;

void write_text(const std::string &path, const std::string &text)
{
    std::ofstream(path) << text;
}

std::string read_text(const std::string &path)
{
    std::ostringstream out;
    out << std::ifstream(path).rdbuf();
    return out.str();
}

class Simdev : public testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/simdev-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        write_text(dir + "/board.conf",
                   "erasesize=4096\nmtd-uboot=8192\nmtd-ubootenv=4096\nmtd-devicetree=4096\n"
                   "mtd-kernel=16384\nmtd-rfs=8192\nmtd-rescue=8192\nmtd-user-char=4096\n");
        ASSERT_EQ(simdev_attach(dir.c_str()), 0);
    }
    void TearDown() override
    {
        simdev_detach();
        std::filesystem::remove_all(dir);
    }
    Bytes peek(const char *dev, uint32_t off, uint32_t len)
    {
        Bytes b(len);
        EXPECT_EQ(simdev_peek(dev, off, b.data(), len), 0);
        return b;
    }
    std::string dir;
};

int erase(int fd, uint32_t start, uint32_t length)
{
    erase_info_user e{start, length};
    return ioctl(fd, MEMERASE, &e);
}

// errno of a call that must fail, or 0 when it did not.
template <typename T>
int fails_with(T result)
{
    return result == -1 ? errno : 0;
}

int open_bus(int bus, int addr)
{
    int fd = open(bus ? "/dev/i2c-1" : "/dev/i2c-0", O_RDWR);
    if (fd >= 0 && ioctl(fd, I2C_SLAVE, addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int smbus(int fd, uint8_t rw, uint8_t reg, int size, i2c_smbus_data *data)
{
    i2c_smbus_ioctl_data req{rw, reg, uint32_t(size), data};
    return ioctl(fd, I2C_SMBUS, &req);
}

// ---- MTD ---------------------------------------------------------------------

TEST_F(Simdev, NorProgrammingOnlyClearsBitsAndTheLogRecordsEachRequest)
{
    int fd = open("/dev/mtd-kernel", O_RDWR | O_SYNC);
    mtd_info_user i;
    ASSERT_EQ(ioctl(fd, MEMGETINFO, &i), 0);
    EXPECT_EQ((std::vector<uint32_t>{i.type, i.flags, i.size, i.erasesize, i.writesize, i.oobsize}),
              (std::vector<uint32_t>{MTD_NORFLASH, MTD_CAP_NORFLASH, KERNEL, ES, 1, 0}));
    Bytes expect(KERNEL, 0xFF);
    uint8_t first[2] = {0xF0, 0x0F}, second[2] = {0x3C, 0x3C};
    ASSERT_EQ(pwrite(fd, first, 2, ES + 10), 2);
    ASSERT_EQ(pwrite(fd, second, 2, ES + 10), 2);
    expect[ES + 10] = 0x30;
    expect[ES + 11] = 0x0C;
    EXPECT_EQ(peek("mtd-kernel", 0, KERNEL), expect);
    ASSERT_EQ(erase(fd, ES, ES), 0);
    EXPECT_EQ(peek("mtd-kernel", 0, KERNEL), Bytes(KERNEL, 0xFF));
    erase(fd, 1, ES);
    ASSERT_EQ(pread(fd, first, 2, 0), 2);
    close(fd);

    char open_line[64];
    snprintf(open_line, sizeof open_line, "mtd-kernel open flags=0x%x", unsigned(O_RDWR | O_SYNC));
    const Lines lines = {open_line,
                         "mtd-kernel info",
                         "mtd-kernel write 0x0000100a 2",
                         "mtd-kernel write 0x0000100a 2",
                         "mtd-kernel erase 0x00001000 0x00001000",
                         "mtd-kernel erase 0x00000001 0x00001000 -> EINVAL",
                         "mtd-kernel read 0x00000000 2",
                         "mtd-kernel close"};
    EXPECT_EQ(simdev_log(), lines);
    std::string file;
    for (const std::string &l : lines)
        file += l + "\n";
    EXPECT_EQ(read_text(dir + "/devices.log"), file);
    simdev_log_clear();
    EXPECT_TRUE(simdev_log().empty());
}

TEST_F(Simdev, EraseChecksRangeAndAlignmentAndCountsWearInTheBoard)
{
    int fd = open("/dev/mtd-kernel", O_RDWR);
    const uint8_t zero = 0;
    ASSERT_EQ(pwrite(fd, &zero, 1, 0), 1);
    // Unaligned start or length, past the end, and start + length wrapping
    // around 32 bits: all refused, nothing erased.
    const uint32_t bad[][2] = {{1, ES}, {0, ES / 2}, {KERNEL, ES}, {KERNEL - ES, 2 * ES},
                               {ES, 0u - ES}};
    for (const auto &b : bad)
        EXPECT_EQ(fails_with(erase(fd, b[0], b[1])), EINVAL) << b[0] << "+" << b[1];
    EXPECT_EQ(erase(fd, ES, 0), 0);  // length 0: nothing to do
    EXPECT_EQ(peek("mtd-kernel", 0, 1), Bytes{0});
    EXPECT_EQ(simdev_erase_count("mtd-kernel", 1), 0u);

    erase_info_user64 e64{0, ES};
    EXPECT_EQ(ioctl(fd, MEMERASE64, &e64), 0);
    ASSERT_EQ(erase(fd, ES, 2 * ES), 0);
    ASSERT_EQ(erase(fd, 2 * ES, ES), 0);
    ASSERT_EQ(pwrite(fd, &zero, 1, 5), 1);
    close(fd);

    // Detached, the nodes are gone; flash and counters stay in the board.
    simdev_detach();
    EXPECT_EQ(fails_with(open("/dev/mtd-kernel", O_RDWR)), ENOENT);
    EXPECT_EQ(fails_with(open("/dev/i2c-0", O_RDWR)), ENOENT);
    ASSERT_EQ(simdev_attach(dir.c_str()), 0);
    EXPECT_EQ(peek("mtd-kernel", 0, 6), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}));
    const uint32_t wear[] = {1, 1, 2, 0};
    for (uint32_t s = 0; s < 4; s++)
        EXPECT_EQ(simdev_erase_count("mtd-kernel", s), wear[s]) << s;
}

TEST_F(Simdev, TransfersAndFilePositionStopAtThePartitionEnd)
{
    int fd = open("/dev/mtd-kernel", O_RDWR);
    uint8_t buf[16];
    const uint8_t data[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    EXPECT_EQ(pread(fd, buf, sizeof buf, KERNEL), 0);
    EXPECT_EQ(pread(fd, buf, sizeof buf, KERNEL + 100), 0);
    EXPECT_EQ(pread(fd, buf, sizeof buf, KERNEL - 4), 4);
    EXPECT_EQ(fails_with(pwrite(fd, data, sizeof data, KERNEL)), ENOSPC);
    EXPECT_EQ(pwrite(fd, data, sizeof data, KERNEL - 4), 4);
    EXPECT_EQ(peek("mtd-kernel", KERNEL - 4, 4), (Bytes{1, 2, 3, 4}));

    ASSERT_EQ(pwrite(fd, data, 4, 100), 4);
    EXPECT_EQ(lseek(fd, 0, SEEK_END), off_t(KERNEL));
    EXPECT_EQ(fails_with(write(fd, data, 1)), ENOSPC);
    EXPECT_EQ(fails_with(lseek(fd, 1, SEEK_END)), EINVAL);
    EXPECT_EQ(fails_with(lseek(fd, -1, SEEK_SET)), EINVAL);
    EXPECT_EQ(fails_with(lseek(fd, 0, 7)), EINVAL);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), off_t(KERNEL));  // failed seeks left it
    EXPECT_EQ(lseek(fd, 101, SEEK_SET), 101);
    ASSERT_EQ(read(fd, buf, 2), 2);
    ASSERT_EQ(read(fd, buf + 2, 1), 1);
    EXPECT_EQ(Bytes(buf, buf + 3), (Bytes{2, 3, 4}));
    ASSERT_EQ(pread(fd, buf, 2, 0), 2);  // positioned transfers leave the position
    EXPECT_EQ(lseek(fd, -4, SEEK_CUR), 100);
    close(fd);

    int ro = open("/dev/mtd-kernel", O_RDONLY), wo = open("/dev/mtd-kernel", O_WRONLY);
    EXPECT_EQ(fails_with(pwrite(ro, data, 1, 0)), EBADF);
    EXPECT_EQ(fails_with(erase(ro, 0, ES)), EPERM);
    EXPECT_EQ(fails_with(pread(wo, buf, 1, 0)), EBADF);
    close(ro);
    close(wo);
}

// ---- I2C ---------------------------------------------------------------------

TEST_F(Simdev, EepromPointerReadsAndPageWrites)
{
    const uint8_t vpd[3] = {0xD5, 0x01, 0x02}, first = 0x11, last = 0x22;
    ASSERT_EQ(simdev_poke("i2c-0-54", 0x13B, vpd, 3), 0);
    ASSERT_EQ(simdev_poke("i2c-0", 0x1FFF, &last, 1), 0);
    ASSERT_EQ(simdev_poke("i2c-0", 0, &first, 1), 0);
    int fd = open_bus(0, 0x54);
    ASSERT_GE(fd, 0);
    uint8_t out[3];
    const uint8_t at[2] = {0x01, 0x3B}, end[2] = {0x1F, 0xFF};
    ASSERT_EQ(write(fd, at, 2), 2);
    ASSERT_EQ(read(fd, out, 2), 2);
    ASSERT_EQ(read(fd, out + 2, 1), 1);  // the pointer moved on
    EXPECT_EQ(Bytes(out, out + 3), Bytes(vpd, vpd + 3));
    ASSERT_EQ(write(fd, end, 2), 2);     // sequential reads wrap at the chip's end
    ASSERT_EQ(read(fd, out, 2), 2);
    EXPECT_EQ(Bytes(out, out + 2), (Bytes{0x22, 0x11}));

    simdev_log_clear();
    const uint8_t byte_write[3] = {0x01, 0x3A, 0x04};
    ASSERT_EQ(write(fd, byte_write, 3), 3);
    EXPECT_EQ(peek("i2c-0-54", 0x13A, 1), Bytes{0x04});
    EXPECT_EQ(simdev_log(), Lines{"i2c-0 write 0x54 01 3a 04"});
    // Four bytes from 0x5E: 0x5E, 0x5F, then back to the page start 0x40.
    const uint8_t page_write[6] = {0x00, 0x5E, 0xA1, 0xA2, 0xA3, 0xA4};
    ASSERT_EQ(write(fd, page_write, 6), 6);
    EXPECT_EQ(peek("i2c-0-54", 0x5E, 3), (Bytes{0xA1, 0xA2, 0xFF}));
    EXPECT_EQ(peek("i2c-0-54", 0x3F, 3), (Bytes{0xFF, 0xA3, 0xA4}));

    std::vector<uint8_t> big(9000);  // a read is one message: at most the chip
    EXPECT_EQ(read(fd, big.data(), big.size()), 8192);
    EXPECT_EQ(fails_with(pread(fd, big.data(), 1, 0)), ESPIPE);
    close(fd);
}

TEST_F(Simdev, Bus1RegistersThroughSmbus)
{
    const uint8_t reg4 = 0x2F;
    ASSERT_EQ(simdev_poke("i2c-1-20", 4, &reg4, 1), 0);
    int fd = open_bus(1, 0x20);
    simdev_log_clear();
    i2c_smbus_data data;
    ASSERT_EQ(smbus(fd, I2C_SMBUS_READ, 4, I2C_SMBUS_BYTE_DATA, &data), 0);
    EXPECT_EQ(data.byte, 0x2F);
    data.byte = 0x27;
    ASSERT_EQ(smbus(fd, I2C_SMBUS_WRITE, 12, I2C_SMBUS_BYTE_DATA, &data), 0);
    EXPECT_EQ(peek("i2c-1-20", 11, 3), (Bytes{0x00, 0x27, 0x00}));
    EXPECT_EQ(simdev_log(), (Lines{"i2c-1 smbus-read 0x20 reg 0x04 -> 2f",
                                   "i2c-1 smbus-write 0x20 reg 0x0c 27"}));
#ifdef USE_LIBI2C
    EXPECT_EQ(i2c_smbus_read_byte_data(fd, 4), 0x2F);
    EXPECT_EQ(i2c_smbus_write_byte_data(fd, 13, 0x28), 0);
    EXPECT_EQ(peek("i2c-1", 13, 1), Bytes{0x28});
#endif
    close(fd);
}

TEST_F(Simdev, AbsentDevicesFailWithEnxio)
{
    int fd = open_bus(0, 0x50);
    ASSERT_GE(fd, 0);
    uint8_t byte = 0;
    i2c_smbus_data data;
    EXPECT_EQ(fails_with(read(fd, &byte, 1)), ENXIO);
    EXPECT_EQ(fails_with(write(fd, &byte, 1)), ENXIO);
    EXPECT_EQ(simdev_log().back(), "i2c-0 write 0x50 00 -> ENXIO");
    EXPECT_EQ(fails_with(ioctl(fd, I2C_SLAVE, 0x80)), EINVAL);
    ASSERT_EQ(ioctl(fd, I2C_SLAVE, 0x20), 0);  // the bus-1 device is not on bus 0
    EXPECT_EQ(fails_with(smbus(fd, I2C_SMBUS_READ, 4, I2C_SMBUS_BYTE_DATA, &data)), ENXIO);
    close(fd);
}

// ---- Faults and life cycle ---------------------------------------------------

TEST_F(Simdev, FaultRulesFailTheirRequests)
{
    for (const char *rule : {"fail-open mtd-rfs", "fail-read mtd-kernel", "fail-write mtd-kernel",
                             "fail-erase mtd-kernel"})
        ASSERT_EQ(simdev_add_fault(rule), 0) << rule;
    EXPECT_EQ(fails_with(open("/dev/mtd-rfs", O_RDWR)), EIO);
    int fd = open("/dev/mtd-kernel", O_RDWR);
    uint8_t byte = 0;
    EXPECT_EQ(fails_with(pread(fd, &byte, 1, 0)), EIO);
    EXPECT_EQ(fails_with(pwrite(fd, &byte, 1, 0)), EIO);
    EXPECT_EQ(fails_with(erase(fd, 0, ES)), EIO);
    EXPECT_EQ(peek("mtd-kernel", 0, 1), Bytes{0xFF});
    EXPECT_EQ(simdev_erase_count("mtd-kernel", 0), 0u);
    EXPECT_EQ(simdev_log().back(), "mtd-kernel erase 0x00000000 0x00001000 -> EIO");
    // Other partitions are unaffected; clearing restores the failing one.
    int env = open("/dev/mtd-ubootenv", O_RDWR);
    EXPECT_EQ(pwrite(env, &byte, 1, 0), 1);
    simdev_clear_faults();
    EXPECT_EQ(pwrite(fd, &byte, 1, 0), 1);
    close(env);
    close(fd);
    for (const char *bad : {"fail-read mtd-nothing", "nak 0 zz", "cut-at-write 0", "fail-open"})
        EXPECT_EQ(simdev_add_fault(bad), -1) << bad;

    // The faults file is read at attach. A bus fault leaves reads alone; a
    // NAK makes one address absent.
    write_text(dir + "/faults", "# bus 1 is broken\nfail-write i2c-1\n\nnak 0 54\n");
    ASSERT_EQ(simdev_attach(dir.c_str()), 0);
    fd = open_bus(1, 0x20);
    const uint8_t reg[2] = {0x0c, 0x27};
    EXPECT_EQ(fails_with(write(fd, reg, 2)), EIO);
    EXPECT_EQ(read(fd, &byte, 1), 1);
    close(fd);
    fd = open_bus(0, 0x54);
    EXPECT_EQ(fails_with(read(fd, &byte, 1)), ENXIO);
    close(fd);
    write_text(dir + "/faults", "melt mtd-kernel\n");
    EXPECT_EQ(simdev_attach(dir.c_str()), -1);
}

TEST_F(Simdev, PowerCutKeepsEarlierWrites)
{
    ASSERT_EQ(simdev_add_fault("cut-at-write 3"), 0);
    auto three_writes = [] {
        int fd = open("/dev/mtd-kernel", O_RDWR | O_SYNC);
        const uint8_t a[4] = {1, 1, 1, 1}, b[4] = {2, 2, 2, 2}, c[4] = {3, 3, 3, 3};
        pwrite(fd, a, 4, 0);
        pwrite(fd, b, 4, ES);
        pwrite(fd, c, 4, 2 * ES);
        _exit(0);
    };
    EXPECT_EXIT(three_writes(), testing::KilledBySignal(SIGKILL), "");
    EXPECT_EQ(peek("mtd-kernel", 0, 4), (Bytes{1, 1, 1, 1}));
    EXPECT_EQ(peek("mtd-kernel", ES, 4), (Bytes{2, 2, 2, 2}));
    EXPECT_EQ(peek("mtd-kernel", 2 * ES, 4), Bytes(4, 0xFF));
    const std::string log = read_text(dir + "/devices.log");
    EXPECT_NE(log.find("mtd-kernel write 0x00002000 4 -> power-cut\n"), std::string::npos) << log;
}

} // namespace
