// Serial port preparation and restore, on a pseudo-terminal standing in for
// the console's serial port. sleep() is a link-time stand-in (--wrap): it
// returns at once, counts the polls and plays the operator's part by
// feeding keys into the terminal after a given number of polls. A port that
// does not open: test_rescue's Xmodem tests.
#include "board_fixture.h"
#include "xmodem.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

struct Operator {
    int master = -1;
    unsigned polls = 0;
    unsigned bad_arguments = 0;
    unsigned act_at = 0;   // poll after which the operator acts
    std::string keys;      // typed at that poll
    bool hang_up = false;  // or the line goes away instead
};
Operator op;

} // namespace

extern "C" unsigned int __wrap_sleep(unsigned int seconds);

unsigned int __wrap_sleep(unsigned int seconds)
{
    op.polls++;
    // A wait that never ends would spin here for ever: stop it loudly.
    if (op.polls > 1000) {
        fprintf(stderr, "endless wait for a key\n");
        abort();
    }
    if (seconds != 1)
        op.bad_arguments++;
    if (op.polls == op.act_at) {
        if (op.hang_up) {
            close(op.master);
            op.master = -1;
        } else {
            (void)!write(op.master, op.keys.data(), op.keys.size());
        }
    }
    return 0;
}

namespace {

const std::string kPrepare = "       Change the baud rate to 115200 bps and hit the <ENTER> key\n"
                             "       before initiating the download.\n";
const std::string kRestore = "       Change the baud rate back to 9600 bps, hit the <ENTER> key\n";
const std::string kPrepareReminder =
    "\r\n    ... Waiting for the <Enter> key to be hit before the download can start...\r\n";
const std::string kRestoreReminder = "\r\n    ... Waiting for the <ENTER> key to be hit...\r\n";

struct termios settings_of(int fd)
{
    // Zeroed first, so that padding compares equal too.
    struct termios t;
    memset(&t, 0, sizeof t);
    EXPECT_EQ(tcgetattr(fd, &t), 0);
    return t;
}

// Byte for byte, as far as the platform fills the record.
bool same_settings(const struct termios &a, const struct termios &b)
{
#if defined(__powerpc__)
    // qemu-user leaves the PowerPC record's speed words as its own buffer
    // had them (the board's kernel fills them); the speeds live in c_cflag
    // as well, so everything the port uses is still compared.
    const size_t compared = offsetof(struct termios, c_ispeed);
#else
    const size_t compared = sizeof(struct termios);
#endif
    return memcmp(&a, &b, compared) == 0 && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b);
}

class Serial : public testing::Test {
protected:
    void SetUp() override
    {
        char name[128];
        ASSERT_EQ(openpty(&op.master, &slave, name, nullptr, nullptr), 0);
        path = name;
        serial_device = path.c_str();
        op.polls = op.bad_arguments = op.act_at = 0;
        op.keys.clear();
        op.hang_up = false;
        // A console set up unlike the download settings in every group.
        struct termios t = settings_of(slave);
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        t.c_iflag = IXON | BRKINT | IGNPAR | IMAXBEL; // no ICRNL: a CR stays a CR
        t.c_oflag = OPOST | ONLCR;
        t.c_cflag = (t.c_cflag & ~tcflag_t(CSIZE)) | CS7 | PARENB | CSTOPB | CREAD | HUPCL;
        t.c_lflag = ICANON | ECHO | ECHOE | ISIG | IEXTEN | ECHOK;
        t.c_cc[VMIN] = 5;
        t.c_cc[VTIME] = 3;
        ASSERT_EQ(tcsetattr(slave, TCSANOW, &t), 0);
        console = settings_of(slave);
    }
    void TearDown() override
    {
        serial_device = "/dev/ttyS0";
        if (op.master >= 0)
            close(op.master);
        op.master = -1;
        close(slave);
    }
    void operator_types(unsigned at_poll, const std::string &keys)
    {
        op.polls = 0;
        op.act_at = at_poll;
        op.keys = keys;
    }
    std::string path;
    int slave = -1;
    struct termios console;
};

// Before the download only CR ends the wait, after it only LF; other bytes
// are consumed, one a poll, and every 11th poll in a wait brings a reminder
// (2 in 22 polls and 1 in 21 hold for no other period).
TEST_F(Serial, DownloadSettingsThenTheConsoleSettingsByteForByte)
{
    operator_types(19, "\n\nx\r");
    int fd = -1;
    EXPECT_EQ(stdout_of([&] { fd = init_serial(); }), kPrepare + kPrepareReminder + kPrepareReminder);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(op.polls, 22u);
    EXPECT_TRUE(same_settings(oldtty, console));

    const struct termios raw = settings_of(fd);
    EXPECT_EQ(cfgetispeed(&raw), speed_t(B115200));
    EXPECT_EQ(cfgetospeed(&raw), speed_t(B115200));
    EXPECT_EQ(raw.c_iflag, tcflag_t(IGNBRK));
    EXPECT_EQ(raw.c_oflag, tcflag_t(0));
    EXPECT_EQ(raw.c_cflag & ~tcflag_t(CBAUD), (console.c_cflag & ~tcflag_t(CBAUD | CSIZE | PARENB | CSTOPB)) | CS8);
    EXPECT_EQ(raw.c_lflag, console.c_lflag & ~tcflag_t(ICANON | ECHO | ECHOE | ISIG));
    EXPECT_EQ(memcmp(raw.c_cc, console.c_cc, sizeof raw.c_cc), 0);

    operator_types(19, "\r\r\n");
    EXPECT_EQ(stdout_of([&] { reset_serial(fd); }), kRestore + kRestoreReminder);
    EXPECT_EQ(op.polls, 21u);
    EXPECT_TRUE(same_settings(settings_of(slave), console));
    // The port stays open for the caller.
    EXPECT_EQ(fcntl(fd, F_GETFD), 0);
    close(fd);
    EXPECT_EQ(op.bad_arguments, 0u);
}

TEST_F(Serial, LineThatHangsUpEndsBothWaits)
{
    op.act_at = 2;
    op.hang_up = true;
    close(slave); // only init_serial's descriptor keeps the line open
    slave = -1;
    int fd = -1;
    (void)stdout_of([&] { fd = init_serial(); });
    ASSERT_GE(fd, 0);
    EXPECT_EQ(op.polls, 2u);
    op.polls = 0;
    (void)stdout_of([&] { reset_serial(fd); });
    EXPECT_EQ(op.polls, 0u);
    close(fd);
}

} // namespace
