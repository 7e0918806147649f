/* Stand-in for the DUMA memory checker's library: memory checking is not
 * modelled, but a program started with LD_PRELOAD=libduma.so.0.0.0 loads
 * this library as it would on the switch, and the board log records it. */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

__attribute__((constructor)) static void loaded(void)
{
    char line[128];
    int fd = open("/.vswitch/board.log", O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0)
        return;
    int n = snprintf(line, sizeof line, "libduma.so.0.0.0 loaded into pid %d\n", (int)getpid());
    if (n > 0 && (size_t)n < sizeof line && write(fd, line, (size_t)n) < 0) {
        /* nothing to do: the log is best effort */
    }
    close(fd);
}
