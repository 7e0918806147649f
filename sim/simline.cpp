// The scripted serial line: see simline.h.
#include "simline.h"
#include "simclock.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <vector>

extern "C" {
int __real_open(const char *path, int flags, ...);
int __real_close(int fd);
ssize_t __real_read(int fd, void *buf, size_t len);
ssize_t __real_write(int fd, const void *buf, size_t len);
int __real_poll(struct pollfd *fds, nfds_t count, int timeout);

int __wrap_open(const char *path, int flags, ...);
int __wrap_close(int fd);
ssize_t __wrap_read(int fd, void *buf, size_t len);
ssize_t __wrap_write(int fd, const void *buf, size_t len);
int __wrap_poll(struct pollfd *fds, nfds_t count, int timeout);
}

namespace {

constexpr int64_t kNsPerMs = 1000000;

struct Piece {
    size_t end;    // one past its last byte in `sent`
    int64_t pause;
    bool waits;
};

// Kept from one script to the next, so that a fuzzer's input that mallocs
// no more than it frees is not taken for a leak.
std::string path;
int port = -1;
std::vector<uint8_t> sent; // the bytes of every piece, one after the other
std::vector<Piece> script;
std::string answers;
size_t piece = 0;      // the piece on the line
size_t at = 0;         // its next byte in `sent`
int64_t since = 0;     // when the piece before was read whole
int64_t answered = -1; // the program's first write since then, or -1

bool line_ended()
{
    return piece >= script.size();
}

// When the current piece reaches the program.
int64_t due()
{
    const Piece &p = script[piece];
    if (!p.waits)
        return since + p.pause;
    const int64_t given_up = since + kSimlineGiveUpMs * kNsPerMs;
    return (answered >= 0 && answered < given_up ? answered : given_up) + p.pause;
}

void next_piece()
{
    piece++;
    since = simclock_now();
    answered = -1;
}

// Whether a byte, or the end of input, can be read now. A piece without
// bytes is passed as soon as it is due.
bool readable()
{
    while (!line_ended() && at == script[piece].end && due() <= simclock_now())
        next_piece();
    return line_ended() || due() <= simclock_now();
}

} // namespace

void simline_start(const char *port_path)
{
    simclock_start();
    path = port_path;
    sent.clear();
    script.clear();
    answers.clear();
    piece = at = 0;
    since = 0;
    answered = 0;
}

void simline_send(const uint8_t *bytes, size_t count, int pause_ms, bool waits)
{
    sent.insert(sent.end(), bytes, bytes + count);
    script.push_back({sent.size(), pause_ms * kNsPerMs, waits});
}

const std::string &simline_answers()
{
    return answers;
}

// The port opens as /dev/null, every other path as asked (the mode
// argument exists only when the flags create a file).
int __wrap_open(const char *file, int flags, ...)
{
    if (file == path)
        return port = __real_open("/dev/null", O_RDWR);
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = mode_t(va_arg(ap, int));
        va_end(ap);
    }
    return __real_open(file, flags, mode);
}

int __wrap_close(int fd)
{
    if (fd == port)
        port = -1;
    return __real_close(fd);
}

ssize_t __wrap_read(int fd, void *buf, size_t len)
{
    if (fd != port)
        return __real_read(fd, buf, len);
    if (!readable()) {
        errno = EAGAIN;
        return -1;
    }
    if (line_ended())
        return 0;
    const size_t n = std::min(len, script[piece].end - at);
    memcpy(buf, sent.data() + at, n);
    at += n;
    if (at == script[piece].end)
        next_piece();
    return ssize_t(n);
}

ssize_t __wrap_write(int fd, const void *buf, size_t len)
{
    if (fd != port)
        return __real_write(fd, buf, len);
    answers.append(static_cast<const char *>(buf), len);
    if (answered < 0)
        answered = simclock_now();
    return ssize_t(len);
}

int __wrap_poll(struct pollfd *fds, nfds_t count, int timeout)
{
    if (count != 1 || fds[0].fd != port)
        return __real_poll(fds, count, timeout);
    if (!readable() && (fds[0].events & POLLOUT) == 0) {
        const int64_t wait = timeout < 0 ? INT64_MAX : timeout * kNsPerMs;
        const int64_t until = due() - simclock_now();
        simclock_advance(std::min(wait, until));
    }
    // The far end gone, the line polls as a terminal that hung up.
    fds[0].revents = short((fds[0].events & POLLOUT) | (line_ended() ? POLLHUP : 0));
    if (readable())
        fds[0].revents |= short(fds[0].events & POLLIN);
    return fds[0].revents ? 1 : 0;
}
