// The link-time way in for a program booted on the virtual switch, such as
// the PowerPC build of the launcher that runs there under qemu-ppc (a
// static binary takes no preload). On top of the device seam of wrap.cpp it
// gives the program what the preload gives a host build: the board named
// by SIMDEV_BOARD, attached at start-up, the inherited descriptors, and the
// rig's extras (simdev_rig.cpp) for system(), sigaction(), tcflush() and
// sleep(), each linked with -Wl,--wrap=<call> (SIMDEV_SWITCH_LINK_OPTIONS).
// Unit tests attach their own boards and never link this file.
#include "simdev_rig.h"

#include <csignal>
#include <unistd.h>

extern "C" {

int __real_system(const char *command);
int __real_sigaction(int signum, const struct sigaction *act, struct sigaction *old);
int __real_tcflush(int fd, int queue_selector);
unsigned int __real_sleep(unsigned int seconds);

int __wrap_system(const char *command);
int __wrap_sigaction(int signum, const struct sigaction *act, struct sigaction *old);
int __wrap_tcflush(int fd, int queue_selector);
unsigned int __wrap_sleep(unsigned int seconds);

} // extern "C"

namespace {

// Emulated node names are always taken by the wrap, so the board must be
// there before the program's first open.
__attribute__((constructor)) void start_on_board()
{
    (void)simdev_board_ready();
    simdev_process_start();
}

} // namespace

int __wrap_system(const char *command)
{
    return simdev_system_refused(command) ? -1 : __real_system(command);
}

int __wrap_sigaction(int signum, const struct sigaction *act, struct sigaction *old)
{
    simdev_note_sigaction(signum, act);
    return __real_sigaction(signum, act, old);
}

int __wrap_tcflush(int fd, int queue_selector)
{
    const int queue = simdev_console_flush(fd, queue_selector);
    return queue < 0 ? 0 : __real_tcflush(fd, queue);
}

unsigned int __wrap_sleep(unsigned int seconds)
{
    simdev_note_sleep(seconds);
    return simdev_clock_is_fast() ? simdev_fast_sleep(seconds) : __real_sleep(seconds);
}
