// Console keys, the line editor, and the rescue menu with its actions.
#include "rescue.h"

#include "board.h"
#include "extract.h"
#include "image.h"
#include "install.h"
#include "xmodem.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

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

// --- The rescue menu and its actions -----------------------------------------

const char *rescue_root = "";

namespace {

// "/tmp/image", "/tmp", "/mnt/usb" under rescue_root; long enough for any
// prefix a test uses.
constexpr size_t kRootedPathSize = 512;

struct RootedPath {
    char text[kRootedPathSize];
};

RootedPath rooted(const char *path)
{
    RootedPath out;
    snprintf(out.text, sizeof out.text, "%s%s", rescue_root, path);
    return out;
}

struct DirCloser {
    void operator()(DIR *dir) const { closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

// Entries are looked up through the open directory, so a change of the
// working directory that fails harms nothing here.
void change_directory(const char *path)
{
    (void)!chdir(rooted(path).text);
}

// --- menu ---

bool is_choice(int key)
{
    switch (key) {
    case 'X':
    case 'U':
    case 'H':
    case 'R':
    case 'D':
    case 'E': return true;
    default: return false;
    }
}

void print_menu()
{
    puts("Please select one of the following options:");
    printf("\t%c) Use xmodem 1K to serial download an image\n", 'X');
    printf("\t%c) Reboot\n", 'R');
    printf("\t%c) Exit\n", 'E');
}

// The upper-cased key of a choice, or 0 once the console's input has
// ended: every further read would end at once, and the prompt would repeat
// for ever.
int read_choice()
{
    for (;;) {
        printf("\nOption? : ");
        fflush(stdout);
        const uint8_t key = uartGetC();
        printf("%c\n", key);
        if (sig_quit_raised) {
            sig_quit_raised = 0;
            continue;
        }
        if (key == 0) {
            if (uart_input_ended())
                return 0;
            continue;
        }
        const int choice = toupper(key);
        if (is_choice(choice))
            return choice;
        printf("unknown option \"%c\". Please try again\n", choice);
    }
}

// --- serial download ---

// Silence on the line after a failed transfer before the port is restored.
constexpr int kSenderQuietSeconds = 2;

// A file of that name from an earlier step (the rescue partition's install
// stages its record there) must not pass for a download. 1 when the name
// is free.
int remove_old_download(const char *path)
{
    if (unlink(path) == 0 || errno == ENOENT)
        return 1;
    printf("Unable to remove old %s (err %d). Quitting\n", path, errno);
    return 0;
}

bool command_succeeded(int status)
{
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool regular_file_exists(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// --- USB stick ---

// Files are listed and counted by the same rule in both walks. An entry
// whose status cannot be read is skipped: it could be a directory, and an
// entry that cannot be examined would not install either.
bool is_listed(DIR *dir, const dirent *entry)
{
    struct stat st;
    if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    return !S_ISDIR(st.st_mode);
}

void list_usb_files(DIR *dir)
{
    int number = 0;
    while (const dirent *entry = readdir(dir)) {
        if (is_listed(dir, entry))
            printf("\t%d: %s\n", ++number, entry->d_name);
    }
}

// The operator's file number, judged from the line that was typed: a Ctrl-C
// only rang the bell, so a number confirmed after it is still the choice.
// 0 when the operator gave up: q or Q (quit too), no line at all while
// SIGINT is pending, or end of input, where nobody is left to answer and a
// line never confirmed with Enter starts no install.
int read_file_number(int *number)
{
    char line[128];
    for (;;) {
        if (!get_user_input(line, sizeof line)) {
            if (sig_quit_raised)
                return 0;
            continue;
        }
        if (uart_input_ended())
            return 0;
        if (line[0] == 'q' || line[0] == 'Q')
            return 0;
        if (sscanf(line, "%d", number) == 1)
            return 1;
        printf("Invalid file number %s. Try again pleas\n", line);
    }
}

// The full path of the number'th listed file of the open stick directory,
// sized to the name; empty when there are fewer files.
std::vector<char> usb_file_path(DIR *dir, const char *dir_path, int number)
{
    int count = 0;
    while (const dirent *entry = readdir(dir)) {
        if (!is_listed(dir, entry) || ++count != number)
            continue;
        printf("Installing %s\n", entry->d_name);
        std::vector<char> path(strlen(dir_path) + 1 + strlen(entry->d_name) + 1);
        snprintf(path.data(), path.size(), "%s%c%s", dir_path, '/', entry->d_name);
        return path;
    }
    return {};
}

// --- installed versions ---

struct VersionLine {
    const char *label;
    uint32_t type;
    int slot;
};

const VersionLine kVersionLines[] = {
    {"Boot image  ", IMAGE_UBOOT, 0},       {"RFS image   ", IMAGE_RFS, 0},
    {"Kernel image", IMAGE_KERNEL, 0},      {"DFT image   ", IMAGE_DFT, 0},
    {"OS image 1  ", IMAGE_APPLICATION, 1}, {"OS image 2  ", IMAGE_APPLICATION, 2},
};

// --- erase and diagnostics ---

void run_erase_step(const char *message, const char *command)
{
    puts(message);
    (void)run_command(command);
}

void erase_user_filesystem()
{
    run_erase_step("unmount filesystem", "/bin/umount /user &> /dev/null");
    run_erase_step("\nErasing filesystem for clean install", "flash_eraseall /dev/mtd-user-char");
    run_erase_step("Mounting...", "/bin/mount -o sync -t jffs2 /dev/mtd-user /user &> /dev/null");
    run_erase_step("creating default filesystem", "mkdir /user/images &> /dev/null");
}

} // namespace

int run_rescue_mode()
{
    puts("Entering Rescue Mode.");
    for (;;) {
        print_menu();
        switch (read_choice()) {
        case 'X': (void)run_xmodem_rescue(); break;
        case 'U': (void)run_usb_rescue(); break;
        case 'H': (void)run_image_display(); break;
        case 'R':
            (void)sleep(1);
            board_reset();
        case 'D': (void)run_standalone_diags(); break;
        default: return 1; // Exit, or no console left to choose
        }
        // A Ctrl-C meant for the action must not cancel the next choice.
        sig_quit_raised = 0;
    }
}

int run_xmodem_rescue()
{
    puts("Running xmodem rescue.....");
    const RootedPath image = rooted("/tmp/image");
    if (!remove_old_download(image.text))
        return 0;
    const RootedPath rx = rooted("/usr/bin/rx");
    bool received = false;
    if (access(rx.text, X_OK) == 0) {
        const int fd = init_serial();
        if (fd < 0)
            return 0; // no port: no transfer, and no wait for Enter on it
        char command[2 * kRootedPathSize];
        snprintf(command, sizeof command, "%s %s", rx.text, image.text);
        received = command_succeeded(run_command(command)) && regular_file_exists(image.text);
        // After a failed transfer the sender may still be sending; at the
        // console's own settings its bytes would be keys and signals.
        if (!received) {
            flushRX(fd);
            drain_until_quiet(kSenderQuietSeconds, fd);
        }
        // Restored before the install, whose questions need the console's
        // own settings.
        reset_serial(fd);
    } else {
        // A root filesystem without rx can still be repaired over the line.
        puts("/usr/bin/rx not available, using the built-in xmodem 1K receiver");
        const int bytes = Xmodem1K(image.text);
        if (bytes < 0)
            return 0; // the port or the file did not open, as already said
        received = bytes > 0;
    }
    // A failed transfer may hold only the leading records of an image, and
    // installing those alone would mix versions.
    if (!received) {
        puts("Serial download failed, image not installed");
        return 0;
    }
    return processTroveImage(image.text, 0, 0);
}

int run_usb_rescue()
{
    const RootedPath usb = rooted("/mnt/usb");
    Dir dir(opendir(usb.text));
    if (!dir) {
        puts("Unable to open USB directory. Quitting");
        return 0;
    }
    change_directory("/mnt/usb");
    list_usb_files(dir.get());
    printf("Choose file number to install (q to quit): ");
    fflush(stdout);
    int number = 0;
    const int chosen = read_file_number(&number);
    change_directory("/tmp");
    dir.reset();
    if (!chosen || number <= 0)
        return 0;

    dir.reset(opendir(usb.text));
    if (!dir) {
        puts("Unable to re-open USB directory. Quitting");
        return 0;
    }
    change_directory("/mnt/usb");
    const std::vector<char> path = usb_file_path(dir.get(), usb.text, number);
    change_directory("/tmp");
    dir.reset();
    if (path.empty())
        return 0;
    return processTroveImage(path.data(), 0, 0);
}

int run_image_display()
{
    puts("Installed images versions: ");
    for (const VersionLine &line : kVersionLines) {
        uint8_t header[IMAGE_HEADER_SIZE];
        (void)read_flash_image_header(line.type, header, line.slot);
        const uint32_t id = load_be32(header + 12);
        printf("\t%s: %d.%d.%d.%d\n", line.label, int(id >> 24), int((id >> 16) & 255),
               int((id >> 8) & 255), int(id & 255));
    }
    return 0;
}

int run_standalone_diags()
{
    printf("Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ");
    fflush(stdout);
    const uint8_t key = uartGetC();
    printf("\n");
    if (key != 0 && toupper(key) == 'Y')
        erase_user_filesystem();
    puts("Booting diags image...");
    (void)extract_image_from_flash();
    return 1;
}
