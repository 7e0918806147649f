// Console keys, the line editor, and the readers of the operator's answers.
#include "console.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr uint8_t kCtrlA = 0x01;
constexpr uint8_t kCtrlB = 0x02;
constexpr uint8_t kCtrlC = 0x03;
constexpr uint8_t kCtrlD = 0x04;
constexpr uint8_t kCtrlF = 0x06;
constexpr uint8_t kBell = 0x07;
constexpr uint8_t kBackspace = 0x08;
constexpr uint8_t kLineFeed = 0x0A;
constexpr uint8_t kReturn = 0x0D;
constexpr uint8_t kEscape = 0x1B;
constexpr uint8_t kDelete = 0x7F;

// Whether the last uartGetC found the console gone (see uart_input_ended).
int input_ended = 0;

enum class EscapeState { kNormal, kAfterEsc, kSequence };

// One call of get_user_input. The room left in `buffer` is size - len.
struct LineEditor {
    char *buffer;
    size_t size;
    size_t len;
    size_t cursor;
    EscapeState escape;
    bool done;
};

void put_text(const char *text, size_t count)
{
    for (size_t i = 0; i < count; i++)
        (void)uartPutC(uint8_t(text[i]));
}

void put_repeated(uint8_t c, size_t count)
{
    for (size_t i = 0; i < count; i++)
        (void)uartPutC(c);
}

void insert_char(LineEditor &ed, uint8_t c)
{
    if (ed.size - ed.len <= 1) {
        (void)uartPutC(kBell);
        return;
    }
    const size_t tail = ed.len - ed.cursor;
    (void)uartPutC(c);
    put_text(ed.buffer + ed.cursor, tail);
    put_repeated(kBackspace, tail);
    memmove(ed.buffer + ed.cursor + 1, ed.buffer + ed.cursor, tail);
    ed.buffer[ed.cursor] = char(c);
    ed.cursor++;
    ed.len++;
}

// Removes the character at `at`; the bytes after the string stay 0.
void remove_char(LineEditor &ed, size_t at)
{
    memmove(ed.buffer + at, ed.buffer + at + 1, ed.len - at - 1);
    ed.len--;
    ed.buffer[ed.len] = '\0';
}

// Shows the line from the cursor on, blanks the column it no longer
// reaches, and puts the console's cursor back.
void redraw_tail(const LineEditor &ed)
{
    const size_t tail = ed.len - ed.cursor;
    put_text(ed.buffer + ed.cursor, tail);
    (void)uartPutC(' ');
    put_repeated(kBackspace, tail + 1);
}

void delete_before_cursor(LineEditor &ed)
{
    if (ed.cursor == 0)
        return;
    (void)uartPutC(kBackspace);
    ed.cursor--;
    remove_char(ed, ed.cursor);
    redraw_tail(ed);
}

void delete_at_cursor(LineEditor &ed)
{
    if (ed.cursor == ed.len)
        return;
    remove_char(ed, ed.cursor);
    redraw_tail(ed);
}

void move_left(LineEditor &ed)
{
    if (ed.cursor == 0)
        return;
    ed.cursor--;
    (void)uartPutC(kBackspace);
}

void move_right(LineEditor &ed)
{
    if (ed.cursor == ed.len)
        return;
    (void)uartPutC(uint8_t(ed.buffer[ed.cursor]));
    ed.cursor++;
}

void move_to_start(LineEditor &ed)
{
    put_repeated(kBackspace, ed.cursor);
    ed.cursor = 0;
}

void end_with_break(LineEditor &ed)
{
    put_text(" <break>\n", 9);
    ed.cursor = 0;
    ed.done = true;
}

void end_line(LineEditor &ed)
{
    (void)uartPutC(kLineFeed);
    ed.done = true;
}

bool is_printable(uint8_t c)
{
    return c >= 0x20 && c != kDelete;
}

void handle_normal(LineEditor &ed, uint8_t c)
{
    switch (c) {
    case kCtrlA: move_to_start(ed); break;
    case kCtrlB: move_left(ed); break;
    case kCtrlC: end_with_break(ed); break;
    case kCtrlD: delete_at_cursor(ed); break;
    case kCtrlF: move_right(ed); break;
    case kBackspace:
    case kDelete: delete_before_cursor(ed); break;
    case kLineFeed:
    case kReturn: end_line(ed); break;
    case kEscape: ed.escape = EscapeState::kAfterEsc; break;
    default:
        if (is_printable(c))
            insert_char(ed, c);
        else
            (void)uartPutC(kBell);
        break;
    }
}

void handle_after_escape(LineEditor &ed, uint8_t c)
{
    ed.escape = EscapeState::kNormal;
    if (c == '[')
        ed.escape = EscapeState::kSequence;
    else if (c == kBackspace || c == kDelete)
        delete_before_cursor(ed); // one character, as BS alone
    else
        handle_normal(ed, c);
}

// ESC [ ... : only the final C (right) and D (left) act, so arrow keys with
// modifiers (ESC [ 1 ; 5 D) work and the other keys do nothing.
void handle_sequence(LineEditor &ed, uint8_t c)
{
    if ((c >= '0' && c <= '9') || c == ';')
        return;
    ed.escape = EscapeState::kNormal;
    if (c == 'C')
        move_right(ed);
    else if (c == 'D')
        move_left(ed);
}

void handle_key(LineEditor &ed, uint8_t c)
{
    switch (ed.escape) {
    case EscapeState::kNormal: handle_normal(ed, c); break;
    case EscapeState::kAfterEsc: handle_after_escape(ed, c); break;
    case EscapeState::kSequence: handle_sequence(ed, c); break;
    }
}

} // namespace

uint8_t uartGetC()
{
    termios saved;
    memset(&saved, 0, sizeof saved);
    // Not a terminal: the byte is read all the same, and no settings that
    // were never read are applied.
    const bool terminal = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        termios raw = saved;
        raw.c_lflag &= ~tcflag_t(ICANON);
        raw.c_lflag &= ~tcflag_t(ECHO);
        raw.c_cc[VTIME] = 0;
        raw.c_cc[VMIN] = 1;
        (void)tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    }
    uint8_t key = 0;
    const ssize_t got = read(STDIN_FILENO, &key, 1);
    const int read_errno = errno;
    if (terminal)
        (void)tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    input_ended = got == 0 || (got < 0 && read_errno != EINTR) ? 1 : 0;
    return got == 1 ? key : 0;
}

int uart_input_ended()
{
    return input_ended;
}

int uartPutC(int c)
{
    const int result = putchar(uint8_t(c));
    fflush(stdout);
    return result;
}

char *get_user_input(char *buffer, size_t size)
{
    memset(buffer, 0, size);
    LineEditor ed = {buffer, size, 0, 0, EscapeState::kNormal, false};
    while (!ed.done) {
        const uint8_t c = uartGetC();
        // A closed console ends the line as Enter does; without this the
        // editor would ring the bell for ever.
        if (c == 0 && uart_input_ended())
            end_line(ed);
        else
            handle_key(ed, c);
    }
    return buffer;
}

// --- Operator answers --------------------------------------------------------

namespace {

constexpr int kYesNoWaitMs = 5000;

void put_prompt(const char *prompt)
{
    printf("%s", prompt);
    fflush(stdout);
}

// The time-out line, for every way the yes/no question ends without an
// answer.
int no_answer()
{
    printf("\nTimeout. Assuming \"no\".\n");
    return 0;
}

} // namespace

uint8_t ask_key(const char *prompt)
{
    put_prompt(prompt);
    return uartGetC();
}

int ask_line(const char *prompt, char *line, size_t size)
{
    put_prompt(prompt);
    (void)get_user_input(line, size);
    return uart_input_ended() ? 0 : 1;
}

int ask_first_char(const char *prompt, SigintRule rule)
{
    put_prompt(prompt);
    int first = -1;
    for (;;) {
        char c = 0;
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR && rule == kSigintIgnored)
            continue;
        if (n != 1)
            return first;
        if (first < 0)
            first = uint8_t(c);
        if (c == '\n')
            return first;
    }
}

int yesno_question(const char *prompt)
{
    printf("%s", prompt);
    for (;;) {
        printf("(y/n) ");
        fflush(stdout);
        fflush(stdin);
        pollfd console = {STDIN_FILENO, POLLIN, 0};
        if (poll(&console, 1, kYesNoWaitMs) != 1 || !(console.revents & POLLIN))
            return no_answer();
        char answer = 0;
        // End of input keeps the descriptor readable with nothing to read:
        // asking again would never end, so it counts as no answer.
        if (read(STDIN_FILENO, &answer, 1) != 1)
            return no_answer();
        if (answer == 'y')
            return 1;
        if (answer == 'n')
            return 0;
    }
}
