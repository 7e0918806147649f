// The start-up sequence, slot choice and the boot settings, with the
// program entry `main`.
#include "launch.h"

#include "board.h"
#include "extract.h"
#include "flash.h"
#include "i2c.h"
#include "rescue.h"
#include "usb_boot.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *kUsbImageName = "QLX5270_OS.img";

// The USB stick's part of the start-up sequence. The slot that the stick
// names (1 or 2), or 0 when the flash slots follow as the VPD says.
int usb_boot_slot()
{
    usb_boot_enabled = api_get_usbboot() == VPD_USB_BOOT_ALLOWED ? 1 : 0;
    if (usb_boot_enabled && usb_mount() < 0)
        usb_boot_enabled = 0;
    if (!usb_boot_enabled)
        return 0;
    (void)usb_update_boot();
    const int slot = usb_which_image();
    if (slot != 3)
        return slot;
    printf("Booting image '%s' from USB stick.\n", kUsbImageName);
    (void)extract_image(3);
    printf("USB Boot failed. Trying flash images.\n");
    return 0;
}

// "on" at the start of a value, case-sensitive.
int value_is_on(const char *value)
{
    return strncmp(value, "on", 2) == 0 ? 1 : 0;
}

// The value after the first occurrence of `key` anywhere in `text`, or
// nullptr when the key is not there.
const char *find_value(const char *text, const char *key)
{
    const char *at = strstr(text, key);
    return at ? at + strlen(key) : nullptr;
}

// The boot-settings rule for the "on" keys: the flag becomes 1 or 0 when the
// key is found, and keeps its value otherwise. The result says whether it was
// found and set to 1.
template <typename Flag> int set_on_flag(const char *text, const char *key, Flag &flag)
{
    const char *value = find_value(text, key);
    if (!value)
        return 0;
    flag = Flag(value_is_on(value));
    return flag ? 1 : 0;
}

// A decimal number as "%d" reads it (leading white space, an optional sign,
// digits up to the first non-digit), without sscanf's undefined overflow:
// values beyond the int32 range are clamped. 1 when a number was read.
int read_decimal(const char *text, int32_t *number)
{
    char *end = nullptr;
    const long long value = strtoll(text, &end, 10);
    if (end == text)
        return 0;
    *number = int32_t(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
    return 1;
}

} // namespace

int which_image()
{
    return api_get_image() == 2 ? 2 : 1;
}

void parse_uboot_env_text(const uint8_t *bytes)
{
    // The entries become one text line: NULs turn into spaces.
    char text[kUbootEnvLength + 1];
    for (uint32_t i = 0; i < kUbootEnvLength; i++)
        text[i] = bytes[i] == 0 ? ' ' : char(bytes[i]);
    text[kUbootEnvLength] = '\0';

    (void)set_on_flag(text, "gdb=", gdb_enable);
    if (set_on_flag(text, "gdbserver=", gdbserver_enable))
        gdb_enable = 1;
    if (const char *port = find_value(text, "gdbport="))
        (void)read_decimal(port, &gdbport);
    (void)set_on_flag(text, "shell=", shell_enable);
    (void)set_on_flag(text, "memchk=", memchk_enable);
    if (const char *mode = find_value(text, "diagnostics=")) {
        rescue_enable = strncmp(mode, "rescue", 6) == 0 ? 1 : 0;
        standalone_diags = strncmp(mode, "diags", 5) == 0 ? 1 : 0;
    }
}

int parse_uboot_env()
{
    // A short read (a partition ending before the window) counts as a
    // success and leaves the rest of the buffer as it was: zeros there, not
    // whatever an earlier call left on the stack. An unreadable partition
    // (flash not opened, read error) keeps every setting at its default.
    uint8_t bytes[kUbootEnvLength] = {};
    if (api_flash_read(bytes, uboot_env_fd, kUbootEnvOffset, kUbootEnvLength) != 0)
        return 0;
    parse_uboot_env_text(bytes);
    return 0;
}

void board_bring_up()
{
    (void)api_i2c_init();
    (void)api_flash_init();
    (void)parse_uboot_env();
    (void)run_command(kMountUserCommand);
}

void run_boot_sequence()
{
    (void)sig_init();
    board_bring_up();
    if (rescue_enable)
        (void)run_rescue_mode();
    if (standalone_diags)
        (void)run_standalone_diags();
    int slot = usb_boot_slot();
    if (slot == 0)
        slot = which_image();
    boot_flash_slots(slot);
    board_reset();
}

#ifdef LAUNCH_WITH_MAIN
// Only in the launcher executable; the library copy of this module (swcore)
// is built without it so that tests can link the module.
int main(int, char **)
{
    run_boot_sequence();
}
#endif
