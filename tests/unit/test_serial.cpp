// The serial port's preparation for a download, on a pseudo-terminal.
// sleep() is a link-time stand-in (--wrap) that returns at once, counts the
// polls and plays the operator at a given poll.
#include "fixture.h"
#include "xmodem.h"

#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <thread>

static unsigned polls = 0, act_at = 0;
static std::function<void()> act;

extern "C" unsigned int __wrap_sleep(unsigned int seconds)
{
    EXPECT_EQ(seconds, 1u);
    if (++polls > 1000) // a wait that never ends
        abort();
    if (polls == act_at)
        act();
    return 0;
}

namespace {

termios settings_of(int fd)
{
    termios t;
    memset(&t, 0, sizeof t); // padding compares equal too
    EXPECT_EQ(tcgetattr(fd, &t), 0);
    return t;
}

// Up to the speed words, which qemu-user leaves as its own buffer had them
// on the PowerPC; the speeds are in c_cflag as well.
bool same_settings(const termios &a, const termios &b)
{
    return memcmp(&a, &b, offsetof(termios, c_ispeed)) == 0;
}

// On a pty whose settings differ from the download's in every group, with
// VMIN 0 and VTIME 0: a read with nothing pending then gives 0 bytes rather
// than EAGAIN, which is no hang-up. Before the download only CR ends the
// wait, after it only LF; other bytes are consumed, one a poll, and every
// 11th poll in a wait brings a reminder (2 in 22 polls and 1 in 21 hold for
// no other period). A line that hangs up (reads give 0 bytes, terminal
// requests fail) ends both waits; qemu-user knows no TIOCVHANGUP, so there
// the master closes instead and reads fail.
TEST(Serial, DownloadSettingsAndWaits)
{
    int master = -1, slave = -1;
    static char name[128];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    serial_device = name;
    termios console = settings_of(slave);
    cfsetispeed(&console, B9600);
    cfsetospeed(&console, B9600);
    console.c_iflag = IXON | BRKINT | IGNPAR | IMAXBEL; // no ICRNL: a CR stays a CR
    console.c_oflag = OPOST | ONLCR;
    console.c_cflag = (console.c_cflag & ~tcflag_t(CSIZE)) | CS7 | PARENB | CSTOPB | CREAD | HUPCL;
    console.c_lflag = ICANON | ECHO | ECHOE | ISIG | IEXTEN | ECHOK;
    console.c_cc[VMIN] = console.c_cc[VTIME] = 0;
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &console), 0);
    console = settings_of(slave);
    // The operator acts at a given poll: types keys, or hangs up.
    const auto operator_at = [](unsigned poll, std::function<void()> action) {
        polls = 0;
        act_at = poll;
        act = std::move(action);
    };
    const auto types = [&](std::string keys) {
        return [=] { ASSERT_EQ(write(master, keys.data(), keys.size()), ssize_t(keys.size())); };
    };

    operator_at(19, types("\n\nx\r"));
    int fd = -1;
    const std::string reminder =
        "\r\n    ... Waiting for the <Enter> key to be hit before the download can start...\r\n";
    const std::string shown = stdout_of([&] { fd = init_serial(); });
    EXPECT_EQ(shown.substr(shown.find("\r\n")), reminder + reminder); // after the instructions
    EXPECT_EQ(polls, 22u);
    EXPECT_TRUE(same_settings(oldtty, console));
    termios want = console;
    cfsetispeed(&want, B115200);
    cfsetospeed(&want, B115200);
    want.c_iflag = IGNBRK;
    want.c_oflag = 0;
    want.c_cflag = (want.c_cflag & ~tcflag_t(CSIZE | PARENB | CSTOPB)) | CS8;
    want.c_lflag &= ~tcflag_t(ICANON | ECHO | ECHOE | ISIG);
    EXPECT_TRUE(same_settings(settings_of(fd), want));
    operator_at(19, types("\r\r\n"));
    const std::string restored = stdout_of([&] { reset_serial(fd); });
    EXPECT_EQ(restored.substr(restored.find("\r\n")), "\r\n    ... Waiting for the <ENTER> key to be hit...\r\n");
    EXPECT_EQ(polls, 21u);
    EXPECT_TRUE(same_settings(settings_of(slave), console));
    EXPECT_EQ(close(fd), 0); // left open for the caller

    operator_at(2, [&] { (ioctl(slave, TIOCVHANGUP) == 0) || close(std::exchange(master, -1)); });
    (void)stdout_of([&] { fd = init_serial(); });
    EXPECT_EQ(polls, 2u);
    polls = 0;
    (void)stdout_of([&] { reset_serial(fd); });
    EXPECT_EQ(polls, 0u);
    for (int open_fd : {fd, master, slave})
        close(open_fd);
    serial_device = "/dev/ttyS0";
}

// A line whose transmit buffer is full refuses a byte on the non-blocking
// port (EAGAIN) until the other end reads: the receiver's answer must wait
// for room, not be lost.
TEST(Serial, AnswerWaitsForRoomOnAFullLine)
{
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios raw = settings_of(slave);
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &raw), 0);
    ASSERT_EQ(fcntl(slave, F_SETFL, O_NONBLOCK), 0);
    const std::string fill(4096, 'f');
    size_t filled = 0;
    ssize_t n;
    while ((n = write(slave, fill.data(), fill.size())) > 0)
        filled += size_t(n);
    ASSERT_TRUE(errno == EAGAIN && filled > 0);
    size_t received = 0;
    char last = 0;
    std::thread reader([&] {
        usleep(100000); // the answer finds the line full
        char piece[4096];
        struct pollfd line = {master, POLLIN, 0};
        while (received < filled + 1 && poll(&line, 1, 5000) == 1) {
            const ssize_t got = read(master, piece, sizeof piece);
            if (got <= 0)
                break;
            received += size_t(got);
            last = piece[got - 1];
        }
    });
    EXPECT_EQ(putByte(0x18, slave), 1);
    reader.join();
    EXPECT_EQ(received, filled + 1);
    EXPECT_EQ(last, 0x18);
    close(master);
    close(slave);
}

} // namespace
