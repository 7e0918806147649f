// The board's two I2C buses and the VPD EEPROM (bus 0, address 0x54, two-
// byte big-endian offsets). Nothing is cached: every call selects its device
// and runs its transfers anew. All messages go to stdout.
#pragma once
#include <cstdint>

// VPD field offsets, one unsigned byte each.
constexpr uint16_t VPD_BOOT_SLOT = 0x100;    // slot to boot: 1 or 2
constexpr uint16_t VPD_BOOTED_IMAGE = 0x13A; // 1, 2 slot file, 3 USB, 4 rescue
constexpr uint16_t VPD_USB_BOOT = 0x13B;     // 213 (0xD5) allows USB boot
constexpr uint8_t VPD_USB_BOOT_ALLOWED = 0xD5;

// Opens /dev/i2c-0 then /dev/i2c-1. 0 when both opened; -1 after the first
// that fails (later buses are not tried).
int api_i2c_init();
// Closes every open bus. Always 0; safe to call twice.
int api_i2c_close();

// Field reads: the byte read, 0 when the read failed.
uint8_t api_get_image();
uint8_t api_get_usbboot();
// Field writes: 3 on success, negative on failure. Each takes over 100 ms.
int api_set_image(uint8_t slot);
int api_set_booted_image(uint8_t image);

// Reads `length` EEPROM bytes at `offset`. 1 on success, 0 on failure.
int api_eeprom_read(uint8_t *dest, uint16_t offset, int length);

// Module internals, offered for tests.
// Addressed read: selects `device` (8-bit form) on `bus`, sends `width`
// (1 or 2) offset bytes, reads `length` bytes. 1 on success, 0 on failure.
int i2c_read(int bus, int device, uint16_t offset, int length, int width, uint8_t *dest);
int get_vpd_offset(uint16_t offset, int length, uint8_t *dest);
// One-byte EEPROM write after the bus-1 step: 3 on success, negative on failure.
int set_vpd_offset(uint16_t offset, uint8_t value);

// The descriptor of a bus (0 when not open, -1 after a failed open). Tests.
int i2c_bus_fd(int bus);
