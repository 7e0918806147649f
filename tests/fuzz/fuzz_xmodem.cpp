// The XMODEM receiver's byte stream. The input is what the sender puts on
// the line, in pieces (a two-byte big-endian length, then that many bytes):
// a piece arrives once the receiver has answered the one before, or after
// a long silence (the operator's Enter after the transfer comes that way).
// The port is a stand-in (link-time wraps of open, read, write, poll and
// close for its descriptor); sleeps take no time, so every timeout is a
// count of empty polls.
#include "xmodem.h"

#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <time.h>
#include <unistd.h>
#include <vector>

extern "C" {
int __real_open(const char *path, int flags, ...);
int __real_close(int fd);
ssize_t __real_read(int fd, void *buf, size_t len);
ssize_t __real_write(int fd, const void *buf, size_t len);
int __real_poll(struct pollfd *fds, nfds_t n, int timeout);
}

namespace {

// Empty reads that make a long silence: some seconds of polling.
constexpr int kSilence = 20000;

int port = -1;
std::vector<std::vector<uint8_t>> pieces;
size_t piece = 0, taken = 0; // the piece on the line, and what was read of it
int quiet = 0;               // empty reads since the last byte or answer

void next_piece() { piece++, taken = quiet = 0; }

bool line_ended() { return piece >= pieces.size(); }
bool waiting() { return !line_ended() && taken < pieces[piece].size(); }

} // namespace

// The receiver creates its file with mode 0666, and no other caller here
// creates one.
extern "C" int __wrap_open(const char *path, int flags, ...)
{
    if (strcmp(path, serial_device) == 0)
        return port = __real_open("/dev/null", O_RDWR);
    return __real_open(path, flags, 0666);
}

extern "C" int __wrap_close(int fd)
{
    port = fd == port ? -1 : port;
    return __real_close(fd);
}

// Waiting bytes, or end of input once every piece is read, else nothing yet.
extern "C" ssize_t __wrap_read(int fd, void *buf, size_t len)
{
    if (fd != port)
        return __real_read(fd, buf, len);
    if (!waiting() && !line_ended() && ++quiet == kSilence)
        next_piece();
    if (!waiting()) {
        errno = EAGAIN;
        return line_ended() ? 0 : -1;
    }
    quiet = 0;
    const size_t n = std::min(len, pieces[piece].size() - taken);
    memcpy(buf, pieces[piece].data() + taken, n);
    taken += n;
    return ssize_t(n);
}

// The receiver's answer brings the sender's next piece.
extern "C" ssize_t __wrap_write(int fd, const void *buf, size_t len)
{
    if (fd != port)
        return __real_write(fd, buf, len);
    if (!waiting() && !line_ended())
        next_piece();
    return ssize_t(len);
}

extern "C" int __wrap_poll(struct pollfd *fds, nfds_t n, int timeout)
{
    if (n != 1 || fds[0].fd != port)
        return __real_poll(fds, n, timeout);
    fds[0].revents = waiting() || line_ended() ? POLLIN : 0;
    return fds[0].revents ? 1 : 0;
}

extern "C" int __wrap_nanosleep(const struct timespec *, struct timespec *) { return 0; }
extern "C" unsigned __wrap_sleep(unsigned) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string file = "/dev/shm/fuzz-xmodem-" + std::to_string(getpid());
    serial_device = "/fuzz/ttyS0";
    pieces.assign(1, {'\r'}); // the operator's Enter at 115200
    for (size_t at = 0; at + 2 <= size;) {
        const size_t len = std::min(size_t(data[at] << 8 | data[at + 1]), size - at - 2);
        pieces.emplace_back(data + at + 2, data + at + 2 + len);
        at += 2 + len;
    }
    piece = taken = quiet = 0;
    (void)Xmodem1K(file.c_str());
    return 0;
}
