// uartGetC and the line editor (with uartPutC) on a pseudo-terminal, whose slave
// becomes descriptors 0 and 1 for the call (what the editor echoes is read
// from the master), and at end of input (run_to_end: a file, then its end).
#include "launch.h"
#include "process_stubs.h"
#include "rescue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <string>
#include <sys/syscall.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

std::string bs(size_t n = 1)
{
    return std::string(n, '\b');
}

// Polls `condition` for up to 10 s.
template <typename F> bool eventually(F condition)
{
    for (int i = 0; i < 2000; i++) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

// Descriptors 0 and 1 point at `fd` until destroyed.
struct Redirect {
    explicit Redirect(int fd) : in(dup(0)), out(dup(1))
    {
        fflush(stdout);
        dup2(fd, 0);
        dup2(fd, 1);
    }
    ~Redirect()
    {
        fflush(stdout);
        dup2(in, 0);
        dup2(out, 1);
        close(in);
        close(out);
    }
    const int in, out;
};

// The modes and control characters of terminal settings, as text.
std::string modes(const termios &t)
{
    std::string out = std::to_string(t.c_iflag) + " " + std::to_string(t.c_oflag) + " " +
                      std::to_string(t.c_cflag) + " " + std::to_string(t.c_lflag) + " cc";
    for (const cc_t c : t.c_cc)
        out += " " + std::to_string(c);
    return out;
}

// A pty whose slave is in raw mode between keys: keys written ahead are
// neither echoed nor edited by the line discipline, output is not
// translated, and Ctrl-C arrives as a byte (ISIG off).
class Pty : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        termios t;
        ASSERT_EQ(tcgetattr(slave, &t), 0);
        cfmakeraw(&t);
        ASSERT_EQ(tcsetattr(slave, TCSANOW, &t), 0);
        sig_quit_raised = 0;
    }
    void TearDown() override
    {
        close(master);
        close(slave);
        sig_quit_raised = 0;
    }
    // Reads the master until `end` arrives (10 s at most); what came, `end`
    // included.
    std::string read_until(char end)
    {
        std::string out;
        pollfd p = {master, POLLIN, 0};
        char c;
        while ((out.empty() || out.back() != end) && poll(&p, 1, 10000) == 1 && read(master, &c, 1) == 1)
            out += c;
        return out;
    }
    // What reached the master so far: a marker byte, which the editor never
    // echoes, is written behind it and read back.
    std::string echo()
    {
        EXPECT_EQ(write(slave, "\x1f", 1), 1);
        std::string out = read_until('\x1f');
        if (out.empty() || out.back() != '\x1f')
            ADD_FAILURE() << "the marker did not come back";
        else
            out.pop_back();
        return out;
    }
    int master = -1;
    int slave = -1;
};

struct LineCase {
    std::string keys; // typed ahead; they end the line
    size_t size;
    std::string line;
    std::string echo;
};

const std::string kFull(127, 'a');

// In order on one pty: each line leaves nothing unread, but the LF of a
// CR LF, which the next call reads as an empty line.
const LineCase kLines[] = {
    {"hello\r", 128, "hello", "hello\n"},
    {"x\n", 128, "x", "x\n"},
    // Insert and both deletes redraw the rest of the line.
    {"abc\x01X\r", 128, "Xabc", "abc" + bs(3) + "X" + "abc" + bs(3) + "\n"},
    {"abcd\x02\x02\b\r", 128, "acd", "abcd" + bs(2) + bs() + "cd" + " " + bs(3) + "\n"},
    {"abcd\x02\x02\x7F\r", 128, "acd", "abcd" + bs(2) + bs() + "cd" + " " + bs(3) + "\n"},
    {"abcd\x02\x02\x04\r", 128, "abd", "abcd" + bs(2) + "d" + " " + bs(2) + "\n"},
    {"ab\b\r", 128, "a", "ab" + bs() + " " + bs() + "\n"},
    {"ab\x01\x06X\r", 128, "aXb", "ab" + bs(2) + "a" + "Xb" + bs() + "\n"},
    {"abcd\x02\x02\r", 128, "abcd", "abcd" + bs(2) + "\n"},
    // Editing keys with nothing to act on do nothing.
    {"\b\x02\x01\x7F" "a\r", 128, "a", "a\n"},
    {"ab\x06\x04\x1b[C\r", 128, "ab", "ab\n"},
    // A full buffer takes size - 1 characters and rings for more.
    {kFull + "a\r", 128, kFull, kFull + "\a\n"},
    {"aaaa\bb\r", 4, "aab", "aaa\a" + bs() + " " + bs() + "b\n"},
    {"a\r", 1, "", "\a\n"},
    // Escape sequences: left, right, left with a modifier; others (up,
    // delete, F5) are swallowed without a bell.
    {"ab\x1b[DX\r", 128, "aXb", "ab" + bs() + "Xb" + bs() + "\n"},
    {"ab\x1b[D\x1b[CX\r", 128, "abX", "ab" + bs() + "b" + "X" + "\n"},
    {"ab\x1b[1;5DX\r", 128, "aXb", "ab" + bs() + "Xb" + bs() + "\n"},
    {"a\x1b[A\x1b[3~\x1b[15~b\r", 128, "ab", "ab\n"},
    {"\x1bx\x1b\x1b[Dy\r", 128, "yx", "x" + bs() + "yx" + bs() + "\n"},
    // ESC then a backspace key deletes one character.
    {"abc\x1b\b\r", 128, "ab", "abc" + bs() + " " + bs() + "\n"},
    {"abc\x1b\x7F\r", 128, "ab", "abc" + bs() + " " + bs() + "\n"},
    {"\x1b\bq\r", 128, "q", "q\n"},
    {"ab\r\n", 128, "ab", "ab\n"},
    {"", 128, "", "\n"},
    {"\xE9t\xE9\r", 128, "\xE9t\xE9", "\xE9t\xE9\n"},
    {std::string("a\t\x05\x07\x0B\x1F\0b\r", 9), 128, "ab", "a\a\a\a\a\a\ab\n"},
    // Ctrl-C as a byte ends the line with what was typed; no flag is set.
    {"ab\x01\x06\x03", 128, "ab", "ab" + bs(2) + "a" + " <break>\n"},
};

TEST_F(Pty, LineEditor)
{
    for (const LineCase &c : kLines) {
        SCOPED_TRACE(testing::PrintToString(c.keys));
        ASSERT_EQ(write(master, c.keys.data(), c.keys.size()), ssize_t(c.keys.size()));
        std::vector<char> buffer(c.size, 'Z');
        {
            Redirect r(slave);
            EXPECT_EQ(get_user_input(buffer.data(), c.size), buffer.data());
            // Read before the redirection's flush: each byte was flushed.
            EXPECT_EQ(echo(), c.echo);
        }
        EXPECT_EQ(std::string(buffer.data()), c.line);
        // Every byte after the string is 0.
        EXPECT_EQ(std::count(buffer.begin() + long(c.line.size()), buffer.end(), 0),
                  long(c.size - c.line.size()));
        EXPECT_EQ(sig_quit_raised, 0);
    }
}

TEST_F(Pty, UartGetCChangesExactlyFourSettingsAndRestoresThem)
{
    termios before;
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    before.c_lflag |= ICANON | ECHO | ISIG;
    before.c_cc[VMIN] = 4;
    before.c_cc[VTIME] = 7;
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &before), 0);
    ASSERT_EQ(tcgetattr(slave, &before), 0);

    termios during;
    bool seen = false;
    std::thread typist([&] {
        // The master shows the slave's settings; wait for the switch.
        seen = eventually([&] { return tcgetattr(master, &during) == 0 && !(during.c_lflag & ICANON); });
        (void)!write(master, "k", 1);
    });
    uint8_t key = 0;
    {
        Redirect r(slave);
        key = uartGetC();
    }
    typist.join();
    EXPECT_EQ(key, 'k');
    EXPECT_EQ(uart_input_ended(), 0);
    ASSERT_TRUE(seen);
    termios expected = before;
    expected.c_lflag &= ~tcflag_t(ICANON | ECHO);
    expected.c_cc[VMIN] = 1;
    expected.c_cc[VTIME] = 0;
    EXPECT_EQ(modes(during), modes(expected));
    termios after;
    ASSERT_EQ(tcgetattr(slave, &after), 0);
    EXPECT_EQ(modes(after), modes(before));
    EXPECT_EQ(echo(), ""); // not echoed
}

// The state letter of a thread of this process ('S' while it waits in a
// read), from /proc.
char thread_state(long tid)
{
    char state = '?';
    if (FILE *f = fopen(("/proc/self/task/" + std::to_string(tid) + "/stat").c_str(), "r")) {
        (void)!fscanf(f, "%*d (%*[^)]) %c", &state);
        fclose(f);
    }
    return state;
}

// SIGINT while the editor waits: sig_init's handler (no SA_RESTART, not
// reset by a delivery) only sets the flag, the read is cut short, the bell
// rings, the editor reads on, and the flag is left for the caller.
TEST_F(Pty, InterruptedReadRingsTheBellAndReadingGoesOn)
{
    struct sigaction old;
    ASSERT_EQ(sigaction(SIGINT, nullptr, &old), 0);
    ASSERT_EQ(sig_init(), 0);
    // Raw mode clears ICANON; give the slave canonical settings between keys
    // so that the waiting read is recognisable from the other thread.
    termios t;
    ASSERT_EQ(tcgetattr(slave, &t), 0);
    t.c_lflag |= ICANON;
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &t), 0);
    const pthread_t reader = pthread_self();
    const long reader_tid = syscall(SYS_gettid);
    bool waiting = false;
    std::string bell;
    std::thread other([&] {
        // Once the editor waits for its first key, interrupt the read; once
        // the bell has rung, type.
        waiting = eventually([&] {
            termios settings;
            return tcgetattr(master, &settings) == 0 && !(settings.c_lflag & ICANON) &&
                   thread_state(reader_tid) == 'S';
        });
        pthread_kill(reader, SIGINT);
        bell = read_until('\a');
        (void)!write(master, "ok\r", 3);
    });
    char buffer[16];
    {
        Redirect r(slave);
        get_user_input(buffer, sizeof buffer);
    }
    other.join();
    EXPECT_TRUE(waiting);
    EXPECT_EQ(bell, "\a");
    EXPECT_STREQ(buffer, "ok");
    EXPECT_EQ(sig_quit_raised, 1);
    EXPECT_EQ(echo(), "ok\n");
    // The handler is still installed after a delivery.
    sig_quit_raised = 0;
    raise(SIGINT);
    EXPECT_EQ(sig_quit_raised, 1);
    ASSERT_EQ(sigaction(SIGINT, &old, nullptr), 0);
}

// --- end of input -------------------------------------------------------------

TEST(EndOfInput, EndsTheKeyAndTheLine)
{
    // Two keys, and uart_input_ended() after each, on stderr; descriptor 0
    // closed first for a read error.
    const auto keys = [](bool close_input) {
        return [close_input] {
            if (close_input)
                close(0);
            for (int i = 0; i < 2; i++) {
                const int key = uartGetC();
                fprintf(stderr, "%d/%d ", key, uart_input_ended());
            }
            return 0;
        };
    };
    EXPECT_EQ(run_to_end(keys(false), "q").err, "113/0 0/1 ");
    EXPECT_EQ(run_to_end(keys(true), "q").err, "0/1 0/1 ");
    // Two lines: the lines on stderr, the echo on stdout. The line ends with
    // what was typed, and every later call ends at once.
    const auto two_lines = [] {
        for (int i = 0; i < 2; i++) {
            char buffer[16];
            fprintf(stderr, "[%s]", get_user_input(buffer, sizeof buffer));
        }
        return 0;
    };
    Outcome o = run_to_end(two_lines, "ab");
    EXPECT_EQ(o.err, "[ab][]");
    EXPECT_EQ(o.out, "ab\n\n");
    o = run_to_end(two_lines, std::string("a\0b\r", 4)); // a 0 byte is not the end
    EXPECT_EQ(o.err, "[ab][]");
    EXPECT_EQ(o.out, "a\ab\n\n");
}

} // namespace
