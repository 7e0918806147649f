// The run-time way in: libsimdev_preload.so, preloaded into unmodified
// programs (the launcher, mtd_debug, flashcp, i2cget, i2cset, i2ctransfer).
// Calls on the emulated nodes go to the model when SIMDEV_BOARD names a
// board directory; every other call, and every call when SIMDEV_BOARD is
// unset, goes on to the next definition (the C library) via RTLD_NEXT.
//
// The set of calls is what those programs and libi2c import (nm -D):
// __open_2 (mtd_debug), open, close, read, write, lseek and ioctl, plus the
// 64-bit, *at and checking variants a fortified or large-file build uses.
// system() and sigaction() are taken too, to log the launcher's commands and
// its SIGINT handler in the device log (and for the fail-system fault rule
// and the board log of the network commands), tcflush() for the console,
// and sleep() for the device log and the fast clock: the rig's extras of
// simdev_rig.cpp, which the PowerPC build of the launcher gets through
// wrap_switch.cpp.
#undef _FORTIFY_SOURCE
#include "simdev_dispatch.h"
#include "simdev_rig.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// The next definition of a call, looked up once.
template <typename F>
F next(F &slot, const char *name)
{
    if (!slot)
        slot = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
    return slot;
}

using open_fn = int (*)(const char *, int, ...);
using openat_fn = int (*)(int, const char *, int, ...);
using open2_fn = int (*)(const char *, int);
using close_fn = int (*)(int);
using read_fn = ssize_t (*)(int, void *, size_t);
using read_chk_fn = ssize_t (*)(int, void *, size_t, size_t);
using write_fn = ssize_t (*)(int, const void *, size_t);
using pread_fn = ssize_t (*)(int, void *, size_t, off_t);
using pread64_fn = ssize_t (*)(int, void *, size_t, off64_t);
using pread_chk_fn = ssize_t (*)(int, void *, size_t, off_t, size_t);
using pread64_chk_fn = ssize_t (*)(int, void *, size_t, off64_t, size_t);
using pwrite_fn = ssize_t (*)(int, const void *, size_t, off_t);
using pwrite64_fn = ssize_t (*)(int, const void *, size_t, off64_t);
using lseek_fn = off_t (*)(int, off_t, int);
using lseek64_fn = off64_t (*)(int, off64_t, int);
using ioctl_fn = int (*)(int, unsigned long, ...);
using system_fn = int (*)(const char *);
using tcflush_fn = int (*)(int, int);
using sigaction_fn = int (*)(int, const struct sigaction *, struct sigaction *);
using sleep_fn = unsigned int (*)(unsigned int);

open_fn next_open, next_open64;
openat_fn next_openat, next_openat64;
open2_fn next_open_2, next_open64_2;
close_fn next_close;
read_fn next_read;
read_chk_fn next_read_chk;
write_fn next_write;
pread_fn next_pread;
pread64_fn next_pread64;
pread_chk_fn next_pread_chk;
pread64_chk_fn next_pread64_chk;
pwrite_fn next_pwrite;
pwrite64_fn next_pwrite64;
lseek_fn next_lseek;
lseek64_fn next_lseek64;
ioctl_fn next_ioctl;
system_fn next_system;
tcflush_fn next_tcflush;
sigaction_fn next_sigaction;
sleep_fn next_sleep;

// A node name is taken whenever SIMDEV_BOARD is set: if the board cannot be
// attached the open fails (ENOENT) rather than reach a real device.
bool take_path(const char *path)
{
    return simdev_is_node(path) && (simdev_board_ready() || simdev_board_named());
}

mode_t mode_arg(int flags, va_list ap)
{
    return (flags & (O_CREAT | O_TMPFILE)) ? static_cast<mode_t>(va_arg(ap, int)) : 0;
}

__attribute__((constructor)) void start_process()
{
    simdev_process_start();
}

} // namespace

EXPORT int open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (take_path(path))
        return simdev_open(path, flags);
    return next(next_open, "open")(path, flags, mode);
}

EXPORT int open64(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (take_path(path))
        return simdev_open(path, flags);
    return next(next_open64, "open64")(path, flags, mode);
}

EXPORT int openat(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (take_path(path))
        return simdev_open(path, flags);
    return next(next_openat, "openat")(dirfd, path, flags, mode);
}

EXPORT int openat64(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (take_path(path))
        return simdev_open(path, flags);
    return next(next_openat64, "openat64")(dirfd, path, flags, mode);
}

EXPORT int __open_2(const char *path, int flags)
{
    if (take_path(path))
        return simdev_open(path, flags);
    return next(next_open_2, "__open_2")(path, flags);
}

EXPORT int __open64_2(const char *path, int flags)
{
    if (take_path(path))
        return simdev_open(path, flags);
    return next(next_open64_2, "__open64_2")(path, flags);
}

EXPORT int close(int fd)
{
    return simdev_owns(fd) ? simdev_close(fd) : next(next_close, "close")(fd);
}

EXPORT ssize_t read(int fd, void *buf, size_t len)
{
    return simdev_owns(fd) ? simdev_read(fd, buf, len) : next(next_read, "read")(fd, buf, len);
}

EXPORT ssize_t __read_chk(int fd, void *buf, size_t len, size_t buflen)
{
    if (simdev_owns(fd) && len <= buflen)
        return simdev_read(fd, buf, len);
    return next(next_read_chk, "__read_chk")(fd, buf, len, buflen);
}

EXPORT ssize_t write(int fd, const void *buf, size_t len)
{
    return simdev_owns(fd) ? simdev_write(fd, buf, len)
                           : next(next_write, "write")(fd, buf, len);
}

EXPORT ssize_t pread(int fd, void *buf, size_t len, off_t offset)
{
    return simdev_owns(fd) ? simdev_pread(fd, buf, len, offset)
                           : next(next_pread, "pread")(fd, buf, len, offset);
}

EXPORT ssize_t pread64(int fd, void *buf, size_t len, off64_t offset)
{
    return simdev_owns(fd) ? simdev_pread(fd, buf, len, offset)
                           : next(next_pread64, "pread64")(fd, buf, len, offset);
}

EXPORT ssize_t __pread_chk(int fd, void *buf, size_t len, off_t offset, size_t buflen)
{
    if (simdev_owns(fd) && len <= buflen)
        return simdev_pread(fd, buf, len, offset);
    return next(next_pread_chk, "__pread_chk")(fd, buf, len, offset, buflen);
}

EXPORT ssize_t __pread64_chk(int fd, void *buf, size_t len, off64_t offset, size_t buflen)
{
    if (simdev_owns(fd) && len <= buflen)
        return simdev_pread(fd, buf, len, offset);
    return next(next_pread64_chk, "__pread64_chk")(fd, buf, len, offset, buflen);
}

EXPORT ssize_t pwrite(int fd, const void *buf, size_t len, off_t offset)
{
    return simdev_owns(fd) ? simdev_pwrite(fd, buf, len, offset)
                           : next(next_pwrite, "pwrite")(fd, buf, len, offset);
}

EXPORT ssize_t pwrite64(int fd, const void *buf, size_t len, off64_t offset)
{
    return simdev_owns(fd) ? simdev_pwrite(fd, buf, len, offset)
                           : next(next_pwrite64, "pwrite64")(fd, buf, len, offset);
}

EXPORT off_t lseek(int fd, off_t offset, int whence) noexcept
{
    if (simdev_owns(fd))
        return static_cast<off_t>(simdev_lseek(fd, offset, whence));
    return next(next_lseek, "lseek")(fd, offset, whence);
}

EXPORT off64_t lseek64(int fd, off64_t offset, int whence) noexcept
{
    return simdev_owns(fd) ? simdev_lseek(fd, offset, whence)
                           : next(next_lseek64, "lseek64")(fd, offset, whence);
}

EXPORT int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (simdev_owns(fd))
        return simdev_ioctl(fd, request, arg);
    const int result = next(next_ioctl, "ioctl")(fd, request, arg);
    return result < 0 && errno == ENOSYS ? simdev_emulator_ioctl(fd, request, arg) : result;
}

// The launcher's shell commands and its SIGINT handler are logged beside
// the device requests, so that one log shows the start-up in time order.
EXPORT int system(const char *command)
{
    if (simdev_system_refused(command))
        return -1;
    return next(next_system, "system")(command);
}

EXPORT int sigaction(int signum, const struct sigaction *act, struct sigaction *old)
{
    simdev_note_sigaction(signum, act);
    return next(next_sigaction, "sigaction")(signum, act, old);
}

EXPORT int tcflush(int fd, int queue_selector)
{
    const int queue = simdev_console_flush(fd, queue_selector);
    return queue < 0 ? 0 : next(next_tcflush, "tcflush")(fd, queue);
}

EXPORT unsigned int sleep(unsigned int seconds)
{
    simdev_note_sleep(seconds);
    if (simdev_clock_is_fast())
        return simdev_fast_sleep(seconds);
    return next(next_sleep, "sleep")(seconds);
}
