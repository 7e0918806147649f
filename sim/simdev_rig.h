// The rig's extras for a program booted on the virtual switch
// (simdev_rig.cpp), called by both ways in around the C library's call.
#pragma once
#include <csignal>

// Attaches to SIMDEV_BOARD on first need; false when there is none.
bool simdev_board_ready();
// Whether SIMDEV_BOARD names a board (attached or not).
bool simdev_board_named();
// At start-up: adopts descriptors inherited across exec and takes the fast
// clock's factor out of the environment.
void simdev_process_start();
// Logs a shell command (and a network command in the board log); true when
// the fail-system fault refuses it (errno EAGAIN; system() returns -1).
bool simdev_system_refused(const char *command);
void simdev_note_sigaction(int signum, const struct sigaction *act);
// The queue that tcflush should flush on fd, or -1 for nothing.
int simdev_console_flush(int fd, int queue_selector);
// Logs a sleep() of the process ("sleep N", the seconds asked).
void simdev_note_sleep(unsigned int seconds);
bool simdev_clock_is_fast();
unsigned int simdev_fast_sleep(unsigned int seconds);
// A request on a descriptor of the system's that the C library failed with
// ENOSYS, as qemu-user fails those it cannot translate: -1 with EBADF for a
// descriptor that is not open, the ethtool link read another way; -1 with
// ENOSYS for any other.
int simdev_emulator_ioctl(int fd, unsigned long request, void *arg);
