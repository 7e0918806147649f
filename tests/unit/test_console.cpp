// uartGetC, uartPutC and the line editor, on a pseudo-terminal
// (and on a pipe for end of input). The pty's slave becomes descriptors 0
// and 1 for the call; what the editor echoes is read from the master.
#include "launch.h"
#include "rescue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

const std::string BS = "\b";
std::string bs(size_t n)
{
    return std::string(n, '\b');
}

// Descriptors 0 and 1 point at `in` and `out` until destroyed.
class Redirect {
public:
    Redirect(int in, int out) : saved_in_(dup(0)), saved_out_(dup(1))
    {
        fflush(stdout);
        dup2(in, 0);
        dup2(out, 1);
    }
    ~Redirect()
    {
        fflush(stdout);
        dup2(saved_in_, 0);
        dup2(saved_out_, 1);
        close(saved_in_);
        close(saved_out_);
    }
    Redirect(const Redirect &) = delete;
    Redirect &operator=(const Redirect &) = delete;

private:
    int saved_in_;
    int saved_out_;
};

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
    void type(const std::string &keys)
    {
        ASSERT_EQ(write(master, keys.data(), keys.size()), ssize_t(keys.size()));
    }
    // Everything that reached the master so far.
    std::string echo()
    {
        std::string out;
        pollfd p = {master, POLLIN, 0};
        while (poll(&p, 1, 50) == 1 && (p.revents & POLLIN)) {
            char buf[512];
            const ssize_t got = read(master, buf, sizeof buf);
            if (got <= 0)
                break;
            out.append(buf, size_t(got));
        }
        return out;
    }
    // One edited line from `keys` (which must end it) into a buffer of
    // `size` bytes; `shown` gets the echo.
    std::string line(const std::string &keys, size_t size = 128, std::string *shown = nullptr)
    {
        type(keys);
        std::vector<char> buffer(size, 'Z');
        char *result = nullptr;
        {
            Redirect r(slave, slave);
            result = get_user_input(buffer.data(), size);
        }
        EXPECT_EQ(result, buffer.data());
        // Every byte after the string is 0.
        const size_t len = strlen(buffer.data());
        for (size_t i = len; i < size; i++)
            EXPECT_EQ(buffer[i], 0) << i;
        const std::string out = echo();
        if (shown)
            *shown = out;
        return std::string(buffer.data());
    }
    int master = -1;
    int slave = -1;
};

TEST_F(Pty, TypedLineIsEchoedAndEndsWithLf)
{
    std::string shown;
    EXPECT_EQ(line("hello\r", 128, &shown), "hello");
    EXPECT_EQ(shown, "hello\n");
    EXPECT_EQ(line("x\n", 128, &shown), "x");
    EXPECT_EQ(shown, "x\n");
}

TEST_F(Pty, InsertRedrawsTheRestOfTheLine)
{
    std::string shown;
    EXPECT_EQ(line("abc\x01X\r", 128, &shown), "Xabc");
    EXPECT_EQ(shown, "abc" + bs(3) + "X" + "abc" + bs(3) + "\n");
}

TEST_F(Pty, DeleteBeforeTheCursor)
{
    std::string shown;
    EXPECT_EQ(line("abcd\x02\x02\b\r", 128, &shown), "acd");
    EXPECT_EQ(shown, "abcd" + bs(2) + BS + "cd" + " " + bs(3) + "\n");
}

TEST_F(Pty, DelDeletesAsBackspaceDoes)
{
    std::string shown;
    EXPECT_EQ(line("abcd\x02\x02\x7F\r", 128, &shown), "acd");
    EXPECT_EQ(shown, "abcd" + bs(2) + BS + "cd" + " " + bs(3) + "\n");
}

TEST_F(Pty, DeleteAtTheCursor)
{
    std::string shown;
    EXPECT_EQ(line("abcd\x02\x02\x04\r", 128, &shown), "abd");
    EXPECT_EQ(shown, "abcd" + bs(2) + "d" + " " + bs(2) + "\n");
}

TEST_F(Pty, DeleteTheLastCharacter)
{
    std::string shown;
    EXPECT_EQ(line("ab\b\r", 128, &shown), "a");
    EXPECT_EQ(shown, "ab" + BS + " " + BS + "\n");
}

TEST_F(Pty, EditingKeysAtTheStartDoNothing)
{
    std::string shown;
    EXPECT_EQ(line("\b\x02\x01\x7F" "a\r", 128, &shown), "a");
    EXPECT_EQ(shown, "a\n");
}

TEST_F(Pty, EditingKeysAtTheEndDoNothing)
{
    std::string shown;
    EXPECT_EQ(line("ab\x06\x04\x1b[C\r", 128, &shown), "ab");
    EXPECT_EQ(shown, "ab\n");
}

TEST_F(Pty, CtrlFEchoesTheCharacterItPasses)
{
    std::string shown;
    EXPECT_EQ(line("ab\x01\x06X\r", 128, &shown), "aXb");
    EXPECT_EQ(shown, "ab" + bs(2) + "a" + "Xb" + BS + "\n");
}

TEST_F(Pty, FullBufferOf128TakesLinesOf127)
{
    std::string shown;
    EXPECT_EQ(line(std::string(128, 'a') + "\r", 128, &shown), std::string(127, 'a'));
    EXPECT_EQ(shown, std::string(127, 'a') + "\a\n");
}

TEST_F(Pty, FullLineStillEdits)
{
    std::string shown;
    EXPECT_EQ(line(std::string(4, 'a') + "\b" + "b\r", 4, &shown), "aab");
}

TEST_F(Pty, BufferOfOneTakesNothing)
{
    std::string shown;
    EXPECT_EQ(line("a\r", 1, &shown), "");
    EXPECT_EQ(shown, "\a\n");
}

TEST_F(Pty, ArrowKeysMoveTheCursor)
{
    std::string shown;
    EXPECT_EQ(line("ab\x1b[DX\r", 128, &shown), "aXb");
    EXPECT_EQ(shown, "ab" + BS + "Xb" + BS + "\n");
    EXPECT_EQ(line("ab\x1b[D\x1b[CX\r", 128, &shown), "abX");
    EXPECT_EQ(shown, "ab" + BS + "b" + "X" + "\n");
}

TEST_F(Pty, ArrowWithModifierMovesLeft)
{
    std::string shown;
    EXPECT_EQ(line("ab\x1b[1;5DX\r", 128, &shown), "aXb");
    EXPECT_EQ(shown, "ab" + BS + "Xb" + BS + "\n");
}

TEST_F(Pty, OtherSequencesAreSwallowedWithoutBell)
{
    std::string shown;
    // Up, Delete (ESC [ 3 ~), F5 (ESC [ 1 5 ~).
    EXPECT_EQ(line("a\x1b[A\x1b[3~\x1b[15~b\r", 128, &shown), "ab");
    EXPECT_EQ(shown, "ab\n");
}

TEST_F(Pty, EscapeThenLetterInsertsTheLetter)
{
    std::string shown;
    EXPECT_EQ(line("\x1bx\x1b\x1b[Dy\r", 128, &shown), "yx");
}

TEST_F(Pty, EscapeThenBackspaceDeletesOneCharacter)
{
    std::string shown;
    EXPECT_EQ(line("abc\x1b\b\r", 128, &shown), "ab");
    EXPECT_EQ(shown, "abc" + BS + " " + BS + "\n");
    EXPECT_EQ(line("abc\x1b\x7F\r", 128, &shown), "ab");
    EXPECT_EQ(line("\x1b\bq\r", 128, &shown), "q");
    EXPECT_EQ(shown, "q\n");
}

TEST_F(Pty, EnterInTheMiddleReturnsTheWholeLine)
{
    EXPECT_EQ(line("abcd\x02\x02\r"), "abcd");
}

TEST_F(Pty, CrLfGivesAnEmptySecondLine)
{
    std::string shown;
    EXPECT_EQ(line("ab\r\n", 128, &shown), "ab");
    EXPECT_EQ(line("", 128, &shown), "");
    EXPECT_EQ(shown, "\n");
}

TEST_F(Pty, HighBytesAreCharacters)
{
    std::string shown;
    EXPECT_EQ(line("\xE9t\xE9\r", 128, &shown), "\xE9t\xE9");
    EXPECT_EQ(shown, "\xE9t\xE9\n");
}

TEST_F(Pty, ControlBytesRingTheBell)
{
    std::string shown;
    EXPECT_EQ(line(std::string("a\t\x05\x07\x0B\x1F", 6) + std::string(1, '\0') + "b\r", 128, &shown),
               "ab");
    EXPECT_EQ(shown, "a\a\a\a\a\a\ab\n");
}

TEST_F(Pty, CtrlCByteEndsTheLineWithWhatWasTyped)
{
    std::string shown;
    EXPECT_EQ(line("ab\x01\x06\x03", 128, &shown), "ab");
    EXPECT_EQ(shown, "ab" + bs(2) + "a" + " <break>\n");
    EXPECT_EQ(sig_quit_raised, 0);
}

TEST_F(Pty, UartPutCWritesTheLowByteAtOnce)
{
    std::string shown;
    {
        Redirect r(slave, slave);
        (void)uartPutC(0x141);
        (void)uartPutC('\n');
        // Read before the redirection ends (and flushes): uartPutC flushed.
        shown = echo();
    }
    EXPECT_EQ(shown, "A\n");
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
    std::atomic<bool> seen{false};
    std::thread typist([&] {
        // The master shows the slave's settings; wait for the switch.
        for (int i = 0; i < 500 && !seen; i++) {
            termios now;
            if (tcgetattr(master, &now) == 0 && !(now.c_lflag & ICANON)) {
                during = now;
                seen = true;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        (void)!write(master, "k", 1);
    });
    uint8_t key = 0;
    {
        Redirect r(slave, slave);
        key = uartGetC();
    }
    typist.join();
    EXPECT_EQ(key, 'k');
    EXPECT_EQ(uart_input_ended(), 0);
    ASSERT_TRUE(seen);
    EXPECT_EQ(during.c_lflag, before.c_lflag & ~tcflag_t(ICANON | ECHO));
    EXPECT_EQ(during.c_iflag, before.c_iflag);
    EXPECT_EQ(during.c_oflag, before.c_oflag);
    EXPECT_EQ(during.c_cflag, before.c_cflag);
    EXPECT_EQ(during.c_cc[VMIN], 1);
    EXPECT_EQ(during.c_cc[VTIME], 0);
    termios after;
    ASSERT_EQ(tcgetattr(slave, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(memcmp(after.c_cc, before.c_cc, sizeof after.c_cc), 0);
    EXPECT_EQ(echo(), ""); // not echoed
}

// SIGINT while the editor waits: the read is cut short, the bell rings, the
// editor reads on, and the flag is left for the caller.
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
    std::thread other([&] {
        // Wait until the editor is waiting for its first key.
        for (int i = 0; i < 500; i++) {
            termios now;
            if (tcgetattr(master, &now) == 0 && !(now.c_lflag & ICANON))
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pthread_kill(reader, SIGINT);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        (void)!write(master, "ok\r", 3);
    });
    char buffer[16];
    {
        Redirect r(slave, slave);
        get_user_input(buffer, sizeof buffer);
    }
    other.join();
    EXPECT_STREQ(buffer, "ok");
    EXPECT_EQ(sig_quit_raised, 1);
    EXPECT_EQ(echo(), "\aok\n");
    ASSERT_EQ(sigaction(SIGINT, &old, nullptr), 0);
}

// --- end of input, on a pipe ------------------------------------------------

class ClosedConsole : public testing::Test {
protected:
    // Descriptor 0 reads `input` and then end of input; stdout goes to a
    // pipe whose content is returned in `shown`.
    template <typename F> void with_input(const std::string &input, F action, std::string *shown)
    {
        int in[2], out[2];
        ASSERT_EQ(pipe(in), 0);
        ASSERT_EQ(pipe(out), 0);
        ASSERT_EQ(write(in[1], input.data(), input.size()), ssize_t(input.size()));
        close(in[1]);
        {
            Redirect r(in[0], out[1]);
            action();
        }
        close(in[0]);
        close(out[1]);
        char buf[256];
        const ssize_t got = read(out[0], buf, sizeof buf);
        shown->assign(buf, got > 0 ? size_t(got) : 0);
        close(out[0]);
    }
};

TEST_F(ClosedConsole, UartGetCReportsEndOfInput)
{
    std::string shown;
    uint8_t first = 0, second = 0;
    int ended_first = -1, ended_second = -1;
    with_input(
        "q",
        [&] {
            first = uartGetC();
            ended_first = uart_input_ended();
            second = uartGetC();
            ended_second = uart_input_ended();
        },
        &shown);
    EXPECT_EQ(first, 'q');
    EXPECT_EQ(ended_first, 0);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(ended_second, 1);
}

TEST_F(ClosedConsole, ReadErrorCountsAsEndOfInput)
{
    const int saved = dup(0);
    close(0);
    const uint8_t key = uartGetC();
    const int ended = uart_input_ended();
    dup2(saved, 0);
    close(saved);
    EXPECT_EQ(key, 0);
    EXPECT_EQ(ended, 1);
}

TEST_F(ClosedConsole, EndOfInputEndsTheLineWithWhatWasTyped)
{
    std::string shown;
    char buffer[16];
    with_input("ab", [&] { get_user_input(buffer, sizeof buffer); }, &shown);
    EXPECT_STREQ(buffer, "ab");
    EXPECT_EQ(shown, "ab\n");
}

TEST_F(ClosedConsole, EndOfInputAtOnceGivesAnEmptyLine)
{
    std::string shown;
    char buffer[16];
    with_input("", [&] { get_user_input(buffer, sizeof buffer); }, &shown);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(shown, "\n");
    // Every later call ends at once too.
    with_input("", [&] { get_user_input(buffer, sizeof buffer); }, &shown);
    EXPECT_STREQ(buffer, "");
}

TEST_F(ClosedConsole, AZeroByteIsNotEndOfInput)
{
    std::string shown;
    char buffer[16];
    with_input(std::string("a\0b\r", 4), [&] { get_user_input(buffer, sizeof buffer); }, &shown);
    EXPECT_STREQ(buffer, "ab");
    EXPECT_EQ(shown, "a\ab\n");
}

} // namespace
