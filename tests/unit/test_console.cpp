// The console: the line editor and the yes/no question. poll() is a
// link-time stand-in that records the question's waits and never waits.
#include "console.h"
#include "fixture.h"

#include <cerrno>
#include <poll.h>

namespace {

std::vector<int> waits;
int first_wait_ends = 1; // 1: as the console says; 0: time out; -1: SIGINT

} // namespace

extern "C" {
int __real_poll(pollfd *fds, nfds_t count, int timeout);

// Never waits. A console's end of input shows readable with nothing to
// read; a pipe's end shows as POLLHUP alone.
int __wrap_poll(pollfd *fds, nfds_t count, int timeout)
{
    waits.push_back(timeout);
    errno = EINTR;
    if (waits.size() == 1 && first_wait_ends <= 0)
        return first_wait_ends;
    const int ready = __real_poll(fds, count, 0);
    fds[0].revents |= fds[0].revents & POLLHUP ? POLLIN : 0;
    return ready;
}
}

namespace {

// Keys on descriptor 0 (a pipe) and then, unless they end the line, end of
// input; the echo on stdout.
TEST(Console, LineEditor)
{
    const struct { std::string keys, line, echo; size_t size = 128; } cases[] = {
        {"x\n", "x", "x\n"},
        // Insert, both deletes and Ctrl-D redraw the rest of the line.
        {"abc\x01\x06X\r", "aXbc", "abc\b\b\baXbc\b\b\n"},
        {"abcd\x02\x02\b\x7F\x04\r", "d", "abcd\b\b\bcd \b\b\b\bcd \b\b\bd \b\b\n"},
        {"\b\x02\x01\x7F" "a\x06\x04\r", "a", "a\n"}, // nothing to act on
        // A full buffer takes size - 1 characters and rings for more.
        {"aaaa\bb\r", "aab", "aaa\a\b \bb\n", 4},
        {"a\r", "", "\a\n", 1},
        // Left and right, with a modifier too; other sequences are
        // swallowed; ESC before a backspace key deletes one character.
        {"ab\x1b[D\x1b[C\x1b[1;5DX\r", "aXb", "ab\bb\bXb\b\n"},
        {"a\x1b[A\x1b[3~\x1b[15~b\r", "ab", "ab\n"},
        {"\x1bx\x1b\x1b[Dy\x1b\x7F\r", "x", "x\byx\b\bx \b\b\n"},
        {std::string("a\t\x05\x07\x0B\x1F\0\xE9\r", 9), "a\xE9", "a\a\a\a\a\a\a\xE9\n"}, // controls ring
        {"ab\x01\x06\x03", "ab", "ab\b\ba <break>\n"}, // Ctrl-C as a byte
        {"ab", "ab", "ab\n"},                          // end of input
    };
    for (const auto &c : cases) {
        type_ahead(c.keys);
        std::vector<char> buffer(c.size, 'Z');
        EXPECT_EQ(stdout_of([&] { EXPECT_EQ(get_user_input(buffer.data(), c.size), buffer.data()); }), c.echo)
            << testing::PrintToString(c.keys);
        EXPECT_EQ(std::string(buffer.data()), c.line);
        EXPECT_EQ(size_t(std::count(buffer.begin(), buffer.end(), 0)), c.size - c.line.size()); // 0 after the line
    }
}

// Keys typed ahead, then the end of input; or the first wait ends without
// them (time out, SIGINT). The answer (-1: none, the time-out line and no)
// and the "(y/n) " prompts, each a fresh wait of 5 s.
TEST(Console, YesNoQuestion)
{
    const struct { const char *keys; int first_wait, answer; size_t prompts; } cases[] = {
        {"y\n", 1, 1, 1}, {"yes\n", 1, 1, 1}, {"n\n", 1, 0, 1}, {"no\n", 1, 0, 1}, {"Y\ny\n", 1, 1, 3},
        {"N\nn\n", 1, 0, 3}, {"a\nb\nc\n", 1, -1, 7}, {"", 1, -1, 1}, {"y\n", 0, -1, 1}, {"y\n", -1, -1, 1},
    };
    for (const auto &c : cases) {
        type_ahead(c.keys);
        waits.clear();
        first_wait_ends = c.first_wait;
        int answer = -2;
        std::string expected = "Q? ";
        for (size_t i = 0; i < c.prompts; i++)
            expected += "(y/n) ";
        EXPECT_EQ(stdout_of([&] { answer = yesno_question("Q? "); }),
                  expected + (c.answer < 0 ? "\nTimeout. Assuming \"no\".\n" : ""))
            << c.keys << c.first_wait;
        EXPECT_EQ(answer, std::max(c.answer, 0));
        EXPECT_EQ(waits, std::vector<int>(c.prompts, 5000));
    }
}

} // namespace
