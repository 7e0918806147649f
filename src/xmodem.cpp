#include "xmodem.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

const char *serial_device = "/dev/ttyS0";
struct termios oldtty;

namespace {

// Set while `oldtty` holds the settings of the port being used, so that a
// failed read of them never has stale or empty settings applied later.
bool oldtty_saved = false;

// Failed polls between two reminders, one poll a second.
constexpr int kPollsPerReminder = 11;

// Waits, one byte a second, for `key` on the non-blocking port. Other bytes
// are consumed and ignored. A read of 0 bytes is "nothing yet" on a
// terminal in non-canonical mode with VMIN 0 (O_NONBLOCK does not turn it
// into EAGAIN there). The wait ends early only when the line is gone: an
// error other than "nothing yet", or 0 bytes from a port that is no terminal
// or no longer one (a hung-up terminal fails every terminal request). Such
// a line never brings the key, and waiting on would hang the console.
void wait_for_key(int fd, unsigned char key, const char *reminder)
{
    int polls = 0;
    for (;;) {
        unsigned char c = 0;
        const ssize_t n = read(fd, &c, 1);
        if (n == 1 && c == key)
            return;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return;
        if (n == 0 && !isatty(fd))
            return;
        sleep(1);
        if (++polls == kPollsPerReminder) {
            polls = 0;
            puts(reminder);
            fflush(stdout);
        }
    }
}

// Output drained, then both directions flushed, so that nothing sent at
// the old speed is read or sent at the new one.
void quiesce(int fd)
{
    (void)tcdrain(fd);
    (void)tcflush(fd, TCIOFLUSH);
}

void apply(int fd, const struct termios &settings)
{
    (void)tcsetattr(fd, TCSADRAIN, &settings);
    (void)tcflow(fd, TCOON);
}

} // namespace

int init_serial()
{
    const int fd = open(serial_device, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        perror("Can't open serial port!");
        return -1;
    }
    puts("       Change the baud rate to 115200 bps and hit the <ENTER> key");
    puts("       before initiating the download.");
    fflush(stdout);
    quiesce(fd);
    oldtty_saved = tcgetattr(fd, &oldtty) == 0;
    if (oldtty_saved) {
        struct termios raw = oldtty;
        (void)cfsetispeed(&raw, B115200);
        (void)cfsetospeed(&raw, B115200);
        raw.c_iflag = IGNBRK;
        raw.c_oflag = 0;
        raw.c_cflag = (raw.c_cflag & ~tcflag_t(PARENB | CSTOPB | CSIZE)) | CS8;
        raw.c_lflag &= ~tcflag_t(ICANON | ECHO | ECHOE | ISIG);
        apply(fd, raw);
    }
    wait_for_key(fd, '\r',
                 "\r\n    ... Waiting for the <Enter> key to be hit before the download can start...\r");
    return fd;
}

void reset_serial(int fd)
{
    if (fd < 0)
        return;
    puts("       Change the baud rate back to 9600 bps, hit the <ENTER> key");
    fflush(stdout);
    quiesce(fd);
    if (oldtty_saved) {
        apply(fd, oldtty);
        oldtty_saved = false;
    }
    wait_for_key(fd, '\n', "\r\n    ... Waiting for the <ENTER> key to be hit...\r");
}
