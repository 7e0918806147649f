// A stand-in launcher for system tests on the virtual switch: with the board
// started as the launcher does (board_bring_up), it receives one file with
// Xmodem1K from the port and into the path typed on the console ("<port>
// <path>"), then prints the result and the CPU time the receiver used. No launcher road calls the
// receiver with a path of the caller's choosing or tells its result apart.
#include "launch.h"
#include "xmodem.h"

#include <cstdio>
#include <ctime>

int main()
{
    board_bring_up();
    printf("xmodem driver: port path? ");
    fflush(stdout);
    static char port[256];
    static char path[256];
    if (scanf("%255s %255s", port, path) != 2)
        return 100;
    serial_device = port;
    const clock_t before = clock(); // the process's CPU time, user and system
    const int result = Xmodem1K(path);
    printf("xmodem driver: result %d cpu_ms %ld\n", result, long((clock() - before) / (CLOCKS_PER_SEC / 1000)));
    return 0;
}
