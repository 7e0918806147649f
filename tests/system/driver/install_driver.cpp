// A stand-in launcher for system tests on the virtual switch: it starts the
// board as the launcher does (I2C, flash, user partition mounted), then
// installs one image file with the installer's arguments typed on the
// console as "<path> <skip> <slot>". No launcher road calls the installer
// with skip-if-same on and a given slot except the USB boot steps, so this
// is how those arguments reach the real installer on the switch. Ends with
// the installer's result as its exit status.
#include "board.h"
#include "flash.h"
#include "i2c.h"
#include "install.h"

#include <cstdio>

int main()
{
    (void)api_i2c_init();
    (void)api_flash_init();
    (void)run_command("/bin/mount -o sync -t jffs2 /dev/mtd-user /user");
    printf("install driver: path skip slot? ");
    fflush(stdout);
    char path[400] = "";
    int skip = 0;
    int slot = 0;
    if (scanf("%399s %d %d", path, &skip, &slot) != 3)
        return 100;
    const int result = processTroveImage(path, uint8_t(skip), slot);
    printf("install driver: result %d\n", result);
    fflush(stdout);
    return result;
}
