#include "i2c.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#ifdef USE_LIBI2C
extern "C" {
#include <i2c/smbus.h>
}
#endif

namespace {

constexpr int kBusCount = 2;
// 0 is "not open", as at start and after closing; a failed open stores -1.
int i2c_file[kBusCount] = {0, 0};

constexpr int kVpdBus = 0;
constexpr int kVpdDevice8 = 0xA8; // 8-bit form of 0x54, as the messages show it
constexpr int kVpdDevice = 0x54;
constexpr int kPrepBus = 1;
constexpr int kPrepDevice = 0x20;
constexpr uint8_t kPrepReadRegister = 4;
constexpr uint8_t kPrepWriteRegister = 12;
constexpr uint8_t kPrepClearBit3 = 0xF7;
// Gives the EEPROM time for its internal write cycle; it does not answer
// while the cycle runs.
constexpr long kWriteCycleNs = 100L * 1000 * 1000;

int bus_fd(int bus)
{
    return (bus >= 0 && bus < kBusCount) ? i2c_file[bus] : -1;
}

#ifndef USE_LIBI2C
// The target has no libi2c: the same SMBus byte-data transfers as the
// library's, issued as I2C_SMBUS requests.
int smbus_access(int fd, uint8_t read_write, uint8_t command, i2c_smbus_data *data)
{
    i2c_smbus_ioctl_data args;
    args.read_write = read_write;
    args.command = command;
    args.size = I2C_SMBUS_BYTE_DATA;
    args.data = data;
    return ioctl(fd, I2C_SMBUS, &args);
}

int i2c_smbus_read_byte_data(int fd, uint8_t command)
{
    i2c_smbus_data data;
    if (smbus_access(fd, I2C_SMBUS_READ, command, &data) != 0)
        return -1;
    return data.byte;
}

int i2c_smbus_write_byte_data(int fd, uint8_t command, uint8_t value)
{
    i2c_smbus_data data;
    data.byte = value;
    return smbus_access(fd, I2C_SMBUS_WRITE, command, &data);
}
#endif

// Clears bit 3 of register 12 of the bus-1 device from register 4's value,
// as the board needs before every EEPROM write. Nothing is checked: a
// failed read counts as -1, whose low byte 0xFF makes 0xF7 the value
// written. Newer SMBus libraries return -errno instead of -1, which would
// change the byte written, so every failure is taken as -1.
void prepare_vpd_write()
{
    const int fd = bus_fd(kPrepBus);
    (void)ioctl(fd, I2C_SLAVE, kPrepDevice);
    int value = i2c_smbus_read_byte_data(fd, kPrepReadRegister);
    if (value < 0)
        value = -1;
    (void)i2c_smbus_write_byte_data(fd, kPrepWriteRegister, uint8_t(value & kPrepClearBit3));
}

// Sleeps the whole interval even when a signal (Ctrl-C) cuts it short.
void sleep_write_cycle()
{
    timespec left = {0, kWriteCycleNs};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

uint8_t read_vpd_byte(uint16_t offset)
{
    uint8_t value = 0;
    (void)get_vpd_offset(offset, 1, &value);
    return value;
}

} // namespace

int api_i2c_init()
{
    for (int bus = 0; bus < kBusCount; bus++) {
        char path[32];
        snprintf(path, sizeof path, "/dev/i2c-%d", bus);
        i2c_file[bus] = open(path, O_RDWR);
        if (i2c_file[bus] < 0) {
            printf("ERROR: driver %s couldn't be opened\n", path);
            return -1;
        }
    }
    return 0;
}

int api_i2c_close()
{
    for (int &fd : i2c_file) {
        if (fd > 0)
            close(fd);
        fd = 0;
    }
    return 0;
}

int i2c_read(int bus, int device, uint16_t offset, int length, int width, uint8_t *dest)
{
    const int fd = bus_fd(bus);
    uint8_t address[2];
    int address_bytes = 0;
    if (width == 2)
        address[address_bytes++] = uint8_t(offset >> 8);
    address[address_bytes++] = uint8_t(offset & 0xFF);

    if (ioctl(fd, I2C_SLAVE, device >> 1) < 0) {
        printf("I2C error when setting bus %d, device 0x%x: %d\n", bus, device, errno);
        return 0;
    }
    if (write(fd, address, address_bytes) != address_bytes) {
        printf("I2C error - device 0x%x writing bus %d offset %d: %d\n", device, bus, offset, errno);
        return 0;
    }
    if (length < 0 || read(fd, dest, size_t(length)) != length) {
        printf("I2C error - device 0x%x @ %d, %d bytes : %d\n", device, offset, length, errno);
        return 0;
    }
    return 1;
}

int get_vpd_offset(uint16_t offset, int length, uint8_t *dest)
{
    return i2c_read(kVpdBus, kVpdDevice8, offset, length, 2, dest);
}

int set_vpd_offset(uint16_t offset, uint8_t value)
{
    prepare_vpd_write();
    const uint8_t bytes[3] = {uint8_t(offset >> 8), uint8_t(offset & 0xFF), value};
    const int fd = bus_fd(kVpdBus);
    const int selected = ioctl(fd, I2C_SLAVE, kVpdDevice);
    if (selected < 0) {
        printf("I2C error when setting bus %d: %d\n", kVpdBus, errno);
        return selected;
    }
    const int written = int(write(fd, bytes, sizeof bytes));
    const int write_errno = errno;
    sleep_write_cycle();
    if (written != int(sizeof bytes))
        printf("I2C error when writing bus %d offset %d: %d\n", kVpdBus, offset, write_errno);
    return written;
}

uint8_t api_get_image()
{
    return read_vpd_byte(VPD_BOOT_SLOT);
}

uint8_t api_get_usbboot()
{
    return read_vpd_byte(VPD_USB_BOOT);
}

int api_set_image(uint8_t slot)
{
    return set_vpd_offset(VPD_BOOT_SLOT, slot);
}

int api_set_booted_image(uint8_t image)
{
    return set_vpd_offset(VPD_BOOTED_IMAGE, image);
}

int api_eeprom_read(uint8_t *dest, uint16_t offset, int length)
{
    return get_vpd_offset(offset, length, dest);
}

int i2c_bus_fd(int bus)
{
    return bus_fd(bus);
}
