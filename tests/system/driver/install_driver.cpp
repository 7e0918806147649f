// A stand-in launcher for system tests on the virtual switch: it starts the
// board as the launcher does (board_bring_up: I2C, flash, boot settings,
// user partition mounted), then installs one image file with the
// installer's arguments typed on the console as "<path> <skip> <slot>". No launcher road calls the installer
// with skip-if-same on and a given slot except the USB boot steps, so this
// is how those arguments reach the real installer on the switch. Ends with
// the installer's result as its exit status.
#include "install.h"
#include "launch.h"

#include <cstdio>

int main()
{
    board_bring_up();
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
