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
// and sleep() for the fast clock (see below).
#undef _FORTIFY_SOURCE
#include "simdev_internal.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <csignal>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <termios.h>
#include <time.h>
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

// Attaches to SIMDEV_BOARD on first need; false when there is no board, and
// then the emulated node names are left to the system.
bool board_ready()
{
    static bool tried = false;
    if (simdev_is_attached())
        return true;
    if (tried)
        return false;
    tried = true;
    const char *board = getenv("SIMDEV_BOARD");
    if (!board || !*board || simdev_attach(board) != 0)
        return false;
    simdev_model().log_in_memory = false;
    return true;
}

// A node name is taken whenever SIMDEV_BOARD is set: if the board cannot be
// attached the open fails (ENOENT) rather than reach a real device.
bool take_path(const char *path)
{
    if (!simdev_is_node(path))
        return false;
    const char *board = getenv("SIMDEV_BOARD");
    return board_ready() || (board && *board);
}

mode_t mode_arg(int flags, va_list ap)
{
    return (flags & (O_CREAT | O_TMPFILE)) ? static_cast<mode_t>(va_arg(ap, int)) : 0;
}

// Whether the process holds a descriptor into the board directory, which
// it can only have inherited across exec from an emulated open.
bool inherits_board_fd(const char *board)
{
    char real[PATH_MAX];
    if (!realpath(board, real))
        return false;
    std::string prefix = std::string(real) + "/";
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return false;
    bool found = false;
    while (struct dirent *e = readdir(dir)) {
        char target[PATH_MAX];
        std::string link = std::string("/proc/self/fd/") + e->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && strncmp(target, prefix.c_str(), prefix.size()) == 0)
            found = true;
    }
    closedir(dir);
    return found;
}

__attribute__((constructor)) void adopt_inherited_descriptors()
{
    const char *board = getenv("SIMDEV_BOARD");
    if (board && *board && inherits_board_fd(board) && board_ready())
        simdev_adopt_inherited();
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
    return simdev_owns(fd) ? simdev_ioctl(fd, request, arg)
                           : next(next_ioctl, "ioctl")(fd, request, arg);
}

namespace {

// A shell command as one log line: its line ends shown as \n.
std::string command_line(const char *command)
{
    std::string line = "system ";
    for (const char *c = command ? command : "(null)"; *c; c++)
        line += *c == '\n' ? std::string("\\n") : std::string(1, *c);
    return line;
}

const char *disposition(const struct sigaction *act)
{
    if (act->sa_handler == SIG_IGN)
        return "ignore";
    return act->sa_handler == SIG_DFL ? "default" : "handler";
}

// BusyBox's shell runs its own applets before it searches the path, so no
// logging wrapper on the path sees a bare "ifconfig" or "route": their
// command lines reach the board log from here, as a wrapper would write
// them (up to the first line end).
bool runs_unwrapped_applet(const char *command)
{
    for (const char *name : {"ifconfig", "route"}) {
        const size_t n = strlen(name);
        if (strncmp(command, name, n) == 0 && strchr(" \n", command[n]))
            return true;
    }
    return false;
}

// The board log lies beside the device model's directory; it is only
// appended to, never made, so a program outside a board writes nothing.
void log_command(const char *command)
{
    const char *board = getenv("SIMDEV_BOARD");
    if (!board || !*board)
        return;
    const std::string path = std::string(board) + "/../board.log";
    const int fd = next(next_open, "open")(path.c_str(), O_WRONLY | O_APPEND);
    if (fd < 0)
        return;
    const std::string line = std::string(command, strcspn(command, "\n")) + "\n";
    (void)!next(next_write, "write")(fd, line.data(), line.size());
    next(next_close, "close")(fd);
}

} // namespace

// The launcher's shell commands and its SIGINT handler are logged beside
// the device requests, so that one log shows the start-up in time order.
EXPORT int system(const char *command)
{
    if (!board_ready())
        return next(next_system, "system")(command);
    const std::string line = command_line(command);
    if (simdev_model().faults.fail_system)
        return simdev_fail(line, EAGAIN);
    simdev_log_line(line);
    if (command && runs_unwrapped_applet(command))
        log_command(command);
    return next(next_system, "system")(command);
}

EXPORT int sigaction(int signum, const struct sigaction *act, struct sigaction *old)
{
    if (signum == SIGINT && act && board_ready())
        simdev_log_line(std::string("sigaction SIGINT ") + disposition(act));
    return next(next_sigaction, "sigaction")(signum, act, old);
}

namespace {

// UNIX 98 pty slaves have majors 136 to 143.
bool is_pty_slave(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    const unsigned int major_number = major(st.st_rdev);
    return major_number >= 136 && major_number <= 143;
}

} // namespace

// The switch's console is a pty standing in for a UART. On a UART, tcdrain
// waits until the transmitter has sent every byte, so an output flush right
// after it finds nothing to discard. A pty slave has no transmit queue to
// wait on (tcdrain returns at once), yet its output flush throws away
// whatever the console's reader has not taken yet: lines printed just
// before a flush would vanish from the console, which no UART does. On the
// board's console, written bytes count as sent, so the output half of a
// flush discards nothing and the input half goes on as asked. A flush
// without a drain therefore loses no output here, unlike on a UART.
EXPORT int tcflush(int fd, int queue_selector)
{
    const char *board = getenv("SIMDEV_BOARD");
    if (board && *board && is_pty_slave(fd)) {
        if (queue_selector == TCOFLUSH)
            return 0;
        if (queue_selector == TCIOFLUSH)
            queue_selector = TCIFLUSH;
    }
    return next(next_tcflush, "tcflush")(fd, queue_selector);
}

namespace {

// SIMDEV_FAST_CLOCK=N makes every sleep() of this process last 1/N of its
// time, so that tests of long fixed waits need not wait them out. It is
// taken out of the environment at start-up: programs that this one starts
// keep real time.
unsigned int fast_clock = 1;

__attribute__((constructor)) void take_fast_clock()
{
    const char *setting = getenv("SIMDEV_FAST_CLOCK");
    if (!setting)
        return;
    const unsigned long factor = strtoul(setting, nullptr, 10);
    if (factor > 1 && factor <= 1000000)
        fast_clock = unsigned(factor);
    unsetenv("SIMDEV_FAST_CLOCK");
}

} // namespace

// An interrupted sleep reports the seconds left on the caller's own scale,
// rounded up, as sleep() does.
EXPORT unsigned int sleep(unsigned int seconds)
{
    if (fast_clock == 1)
        return next(next_sleep, "sleep")(seconds);
    const unsigned long long nanos = seconds * 1000000000ULL / fast_clock;
    timespec want = {time_t(nanos / 1000000000ULL), long(nanos % 1000000000ULL)};
    timespec left = {0, 0};
    if (nanosleep(&want, &left) == 0)
        return 0;
    const unsigned long long left_nanos =
        (unsigned long long)left.tv_sec * 1000000000ULL + (unsigned long long)left.tv_nsec;
    return unsigned((left_nanos * fast_clock + 999999999ULL) / 1000000000ULL);
}
