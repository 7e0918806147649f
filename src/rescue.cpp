// The rescue menu and its actions.
#include "rescue.h"

#include "board.h"
#include "console.h"
#include "image.h"
#include "install.h"
#include "rescue_partition.h"
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
#include <unistd.h>
#include <vector>

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
        const uint8_t key = ask_key("\nOption? : ");
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
// 0 when the operator gave up: q or Q (quit too), or end of input, where
// nobody is left to answer and a line never confirmed with Enter starts no
// install. The prompt is not printed again after an invalid line.
int read_file_number(int *number)
{
    const char *prompt = "Choose file number to install (q to quit): ";
    char line[128];
    for (;; prompt = "") {
        if (!ask_line(prompt, line, sizeof line))
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
    char mount[128];
    snprintf(mount, sizeof mount, "%s &> /dev/null", kMountUserCommand);
    run_erase_step("Mounting...", mount);
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
        const uint32_t id = record_head(header).header.id;
        printf("\t%s: %d.%d.%d.%d\n", line.label, int(id >> 24), int((id >> 16) & 255),
               int((id >> 8) & 255), int(id & 255));
    }
    return 0;
}

int run_standalone_diags()
{
    const uint8_t key =
        ask_key("Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ");
    printf("\n");
    if (key != 0 && toupper(key) == 'Y')
        erase_user_filesystem();
    puts("Booting diags image...");
    (void)extract_image_from_flash();
    return 1;
}
