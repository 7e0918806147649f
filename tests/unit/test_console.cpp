// The console's line editor.
#include "fixture.h"
#include "rescue.h"

#include <sys/resource.h>

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

// At the menu, end of input leaves as Exit does: nobody is left to choose.
// A prompt repeated for ever would run into the file-size limit instead.
TEST(Console, MenuLeavesAtEndOfInput)
{
    type_ahead("");
    rlimit old, limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    limit = {1 << 20, old.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0) << errno;
    const std::string out = stdout_of([] { EXPECT_EQ(run_rescue_mode(), 1); });
    EXPECT_EQ(out.substr(out.find("Option? : ")), std::string("Option? : \0\n", 12)); // asked once
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
}

} // namespace
