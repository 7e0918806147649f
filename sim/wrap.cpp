// The link-time way in: test binaries are linked with -Wl,--wrap=<call> for
// every call below (SIMDEV_WRAP_LINK_OPTIONS), so their references to the C
// library's call land here. Emulated nodes and descriptors go to the model;
// everything else to the C library (__real_<call>).
//
// Unlike the preload, the emulated node names are always taken: a test that
// has not attached a board gets ENOENT rather than a real device. Here only,
// a test may also set a stand-in management port (simdev_set_port) and
// script the console's input (simdev_set_console_input).
//
// Offsets: without _FILE_OFFSET_BITS the plain calls take off_t, 32 bits on
// the target; the *64 variants take off64_t on every platform.
#include "simdev.h"
#include "simdev_dispatch.h"
#include "simdev_rig.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

extern "C" {

int __real_open(const char *path, int flags, ...);
int __real_open64(const char *path, int flags, ...);
int __real_openat(int dirfd, const char *path, int flags, ...);
int __real_openat64(int dirfd, const char *path, int flags, ...);
int __real___open_2(const char *path, int flags);
int __real___open64_2(const char *path, int flags);
int __real_close(int fd);
ssize_t __real_read(int fd, void *buf, size_t len);
ssize_t __real___read_chk(int fd, void *buf, size_t len, size_t buflen);
ssize_t __real_write(int fd, const void *buf, size_t len);
ssize_t __real_pread(int fd, void *buf, size_t len, off_t offset);
ssize_t __real_pread64(int fd, void *buf, size_t len, off64_t offset);
ssize_t __real_pwrite(int fd, const void *buf, size_t len, off_t offset);
ssize_t __real_pwrite64(int fd, const void *buf, size_t len, off64_t offset);
off_t __real_lseek(int fd, off_t offset, int whence);
off64_t __real_lseek64(int fd, off64_t offset, int whence);
int __real_ioctl(int fd, unsigned long request, ...);
int __real_socket(int domain, int type, int protocol);

int __wrap_open(const char *path, int flags, ...);
int __wrap_open64(const char *path, int flags, ...);
int __wrap_openat(int dirfd, const char *path, int flags, ...);
int __wrap_openat64(int dirfd, const char *path, int flags, ...);
int __wrap___open_2(const char *path, int flags);
int __wrap___open64_2(const char *path, int flags);
int __wrap_close(int fd);
ssize_t __wrap_read(int fd, void *buf, size_t len);
ssize_t __wrap___read_chk(int fd, void *buf, size_t len, size_t buflen);
ssize_t __wrap_write(int fd, const void *buf, size_t len);
ssize_t __wrap_pread(int fd, void *buf, size_t len, off_t offset);
ssize_t __wrap_pread64(int fd, void *buf, size_t len, off64_t offset);
ssize_t __wrap_pwrite(int fd, const void *buf, size_t len, off_t offset);
ssize_t __wrap_pwrite64(int fd, const void *buf, size_t len, off64_t offset);
off_t __wrap_lseek(int fd, off_t offset, int whence);
off64_t __wrap_lseek64(int fd, off64_t offset, int whence);
int __wrap_ioctl(int fd, unsigned long request, ...);
int __wrap_socket(int domain, int type, int protocol);

} // extern "C"

namespace {

// The management port of simdev_set_port.
struct StandInPort {
    bool set = false;
    unsigned long fails = 0;
    short flags = 0;
    uint32_t link = 0;
} port;

// The stand-in port's answer to a request: false when the request is not
// one of its three on "eth0", and the kernel's to answer.
bool port_answers(unsigned long request, void *arg, int *result)
{
    auto *interface = static_cast<ifreq *>(arg);
    if (!port.set || (request != SIOCGIFINDEX && request != SIOCGIFFLAGS && request != SIOCETHTOOL) ||
        strcmp(interface->ifr_name, "eth0") != 0)
        return false;
    auto *value = reinterpret_cast<ethtool_value *>(interface->ifr_data);
    *result = 0;
    if (request == port.fails || (request == SIOCETHTOOL && value->cmd != ETHTOOL_GLINK)) {
        errno = request == port.fails ? ENODEV : EOPNOTSUPP;
        *result = -1;
    } else if (request == SIOCGIFINDEX) {
        interface->ifr_ifindex = 2;
    } else if (request == SIOCGIFFLAGS) {
        interface->ifr_flags = port.flags;
    } else {
        value->data = port.link;
    }
    return true;
}

// The scripted console input of simdev_set_console_input.
struct ConsoleInput {
    bool set = false;
    std::vector<uint8_t> bytes;
    size_t at = 0;
} console;

bool console_scripted(int fd)
{
    return fd == STDIN_FILENO && console.set;
}

ssize_t console_read(void *buf, size_t len)
{
    const size_t n = std::min(len, console.bytes.size() - console.at);
    if (n > 0) // an empty script has no bytes to copy from
        memcpy(buf, console.bytes.data() + console.at, n);
    console.at += n;
    return ssize_t(n);
}

} // namespace

void simdev_set_console_input(const uint8_t *data, size_t size)
{
    console.set = true;
    console.bytes.assign(data, data + size);
    console.at = 0;
}

void simdev_clear_console_input()
{
    console.set = false;
    console.bytes.clear();
}

void simdev_set_port(unsigned long fails, short flags, uint32_t link)
{
    port = {true, fails, flags, link};
}

void simdev_clear_port()
{
    port = StandInPort();
}

int __wrap_socket(int domain, int type, int protocol)
{
    if (port.set && port.fails == kSimdevPortSocket) {
        errno = EMFILE;
        return -1;
    }
    return __real_socket(domain, type, protocol);
}

// The mode argument exists only when the flags create a file.
#define TAKE_MODE(flags, mode)                          \
    do {                                                \
        if ((flags) & (O_CREAT | O_TMPFILE)) {          \
            va_list ap;                                 \
            va_start(ap, flags);                        \
            mode = static_cast<mode_t>(va_arg(ap, int)); \
            va_end(ap);                                 \
        }                                               \
    } while (0)

int __wrap_open(const char *path, int flags, ...)
{
    mode_t mode = 0;
    TAKE_MODE(flags, mode);
    if (simdev_is_node(path))
        return simdev_open(path, flags);
    return __real_open(path, flags, mode);
}

int __wrap_open64(const char *path, int flags, ...)
{
    mode_t mode = 0;
    TAKE_MODE(flags, mode);
    if (simdev_is_node(path))
        return simdev_open(path, flags);
    return __real_open64(path, flags, mode);
}

// Node names are absolute, so the directory descriptor never matters.
int __wrap_openat(int dirfd, const char *path, int flags, ...)
{
    mode_t mode = 0;
    TAKE_MODE(flags, mode);
    if (simdev_is_node(path))
        return simdev_open(path, flags);
    return __real_openat(dirfd, path, flags, mode);
}

int __wrap_openat64(int dirfd, const char *path, int flags, ...)
{
    mode_t mode = 0;
    TAKE_MODE(flags, mode);
    if (simdev_is_node(path))
        return simdev_open(path, flags);
    return __real_openat64(dirfd, path, flags, mode);
}

int __wrap___open_2(const char *path, int flags)
{
    if (simdev_is_node(path))
        return simdev_open(path, flags);
    return __real___open_2(path, flags);
}

int __wrap___open64_2(const char *path, int flags)
{
    if (simdev_is_node(path))
        return simdev_open(path, flags);
    return __real___open64_2(path, flags);
}

int __wrap_close(int fd)
{
    return simdev_owns(fd) ? simdev_close(fd) : __real_close(fd);
}

ssize_t __wrap_read(int fd, void *buf, size_t len)
{
    if (console_scripted(fd))
        return console_read(buf, len);
    return simdev_owns(fd) ? simdev_read(fd, buf, len) : __real_read(fd, buf, len);
}

ssize_t __wrap___read_chk(int fd, void *buf, size_t len, size_t buflen)
{
    if (console_scripted(fd) && len <= buflen)
        return console_read(buf, len);
    if (simdev_owns(fd) && len <= buflen)
        return simdev_read(fd, buf, len);
    return __real___read_chk(fd, buf, len, buflen);
}

ssize_t __wrap_write(int fd, const void *buf, size_t len)
{
    return simdev_owns(fd) ? simdev_write(fd, buf, len) : __real_write(fd, buf, len);
}

ssize_t __wrap_pread(int fd, void *buf, size_t len, off_t offset)
{
    return simdev_owns(fd) ? simdev_pread(fd, buf, len, offset)
                           : __real_pread(fd, buf, len, offset);
}

ssize_t __wrap_pread64(int fd, void *buf, size_t len, off64_t offset)
{
    return simdev_owns(fd) ? simdev_pread(fd, buf, len, offset)
                           : __real_pread64(fd, buf, len, offset);
}

ssize_t __wrap_pwrite(int fd, const void *buf, size_t len, off_t offset)
{
    return simdev_owns(fd) ? simdev_pwrite(fd, buf, len, offset)
                           : __real_pwrite(fd, buf, len, offset);
}

ssize_t __wrap_pwrite64(int fd, const void *buf, size_t len, off64_t offset)
{
    return simdev_owns(fd) ? simdev_pwrite(fd, buf, len, offset)
                           : __real_pwrite64(fd, buf, len, offset);
}

off_t __wrap_lseek(int fd, off_t offset, int whence)
{
    if (simdev_owns(fd))
        return static_cast<off_t>(simdev_lseek(fd, offset, whence));
    return __real_lseek(fd, offset, whence);
}

off64_t __wrap_lseek64(int fd, off64_t offset, int whence)
{
    return simdev_owns(fd) ? simdev_lseek(fd, offset, whence) : __real_lseek64(fd, offset, whence);
}

int __wrap_ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (simdev_owns(fd))
        return simdev_ioctl(fd, request, arg);
    int answer = 0;
    if (port_answers(request, arg, &answer))
        return answer;
    const int result = __real_ioctl(fd, request, arg);
    return result < 0 && errno == ENOSYS ? simdev_emulator_ioctl(fd, request, arg) : result;
}
