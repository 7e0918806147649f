// Raw system calls for the model's own file handling and the rig's one
// interface request. The model runs inside the C library's open, read,
// write, close, lseek and ioctl: behind -Wl,--wrap those names lead back
// into the wrap, and in the preload they lead back into the preload. Going
// straight to the kernel keeps the model out of its own way and needs no
// function pointers.
#pragma once
#include <cerrno>
#include <cstddef>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

namespace simsys {

inline int open(const char *path, int flags, mode_t mode = 0)
{
    return static_cast<int>(::syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

inline int close(int fd)
{
    return static_cast<int>(::syscall(SYS_close, fd));
}

inline ssize_t read(int fd, void *buf, size_t len)
{
    return static_cast<ssize_t>(::syscall(SYS_read, fd, buf, len));
}

inline ssize_t write(int fd, const void *buf, size_t len)
{
    return static_cast<ssize_t>(::syscall(SYS_write, fd, buf, len));
}

// Positions stay far below 2 GiB (partitions are 32-bit sized), so the
// plain lseek call is enough on the 32-bit target too.
inline long lseek(int fd, long offset, int whence)
{
    return ::syscall(SYS_lseek, fd, offset, whence);
}

inline int ioctl(int fd, unsigned long request, void *arg)
{
    return static_cast<int>(::syscall(SYS_ioctl, fd, request, arg));
}

// Owns one descriptor opened through simsys::open.
struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd()
    {
        if (fd >= 0)
            simsys::close(fd);
    }
};

} // namespace simsys
