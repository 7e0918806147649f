// The rescue menu and its actions. Console keys come from a file on
// descriptor 0 followed by end of input (run_to_end); system(), execv() and
// sleep() are process_stubs' recorders, and the installer and the rescue
// partition's boot are link-time stand-ins (--wrap) that print what they
// were given: no command runs and nothing is installed.
// At the virtual switch's console the system tests drive the rest: keys in
// either case, unknown keys, Ctrl-C, Reboot, the versions display
// (test_rescue_menu.py), the stick's listing and answers (test_rescue_usb.py)
// and a whole serial download (test_rescue_serial.py).
#include "install.h"
#include "launch_fixture.h"
#include "rescue.h"
#include "xmodem.h"

#include <climits>
#include <csignal>
#include <dirent.h>
#include <fstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" int __wrap__Z17processTroveImagePKchi(const char *path, uint8_t skip_same, int slot);
extern "C" int __wrap__Z24extract_image_from_flashv();

namespace {
int install_result = 1;
} // namespace

// Shows the file as it is when the installer would open it.
int __wrap__Z17processTroveImagePKchi(const char *path, uint8_t skip_same, int slot)
{
    struct stat st;
    const long size = stat(path, &st) == 0 ? long(st.st_size) : -1L;
    printf("<install %s %d %d size %ld>\n", path, skip_same, slot, size);
    return install_result;
}

// As when the rescue partition holds nothing to launch.
int __wrap__Z24extract_image_from_flashv()
{
    printf("<extract_image_from_flash>\n");
    return 0;
}

namespace {

using Strings = std::vector<std::string>;
namespace fs = std::filesystem;

const std::string kEntry = "Entering Rescue Mode.\n";
const std::string kMenu = "Please select one of the following options:\n"
                          "\tX) Use xmodem 1K to serial download an image\n"
                          "\tR) Reboot\n"
                          "\tE) Exit\n";
const std::string kPrompt = "\nOption? : ";
const std::string kStart = kEntry + kMenu + kPrompt;
const std::string kNoKey("\0\n", 2);
const std::string kPrepare = "       Change the baud rate to 115200 bps and hit the <ENTER> key\n"
                             "       before initiating the download.\n";
const std::string kRestore = "       Change the baud rate back to 9600 bps, hit the <ENTER> key\n";
const std::string kChoose = "Choose file number to install (q to quit): ";

constexpr const char *kBoard = "erasesize=65536\nmtd-uboot=131072\nmtd-devicetree=65536\n"
                               "mtd-kernel=65536\nmtd-rfs=65536\nmtd-rescue=65536\n";

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string cwd_marker()
{
    char dir[PATH_MAX];
    return std::string("<cwd ") + (getcwd(dir, sizeof dir) ? dir : "?") + ">";
}

// Ctrl-C comes as SIGINT raised before the action, or during the commands
// it runs (the erase's).
enum Sigint { kNone, kBefore, kInAction };

// Runs `action` in a child with `input` on descriptor 0, SIGINT handling
// installed if `sigint` asks for it; shows the flag and any input left
// unread at the end. A prompt that repeated for ever would fill the disk;
// the file-size limit ends such a child (and the alarm a silent one), so
// that the test fails instead.
Outcome run(const std::function<int()> &action, const std::string &input, Sigint sigint = kNone)
{
    stub_set_system_action(sigint == kInAction ? [](const char *) { return raise(SIGINT); }
                                               : std::function<int(const char *)>());
    return run_to_end(
        [&] {
            const rlimit limit = {1 << 20, 1 << 20};
            (void)setrlimit(RLIMIT_FSIZE, &limit);
            (void)alarm(300);
            if (sigint != kNone)
                (void)sig_init();
            if (sigint == kBefore)
                (void)raise(SIGINT);
            const int result = action();
            char rest[8] = {};
            printf("<flag %d rest %s>", int(sig_quit_raised), read(0, rest, sizeof rest - 1) > 0 ? rest : "");
            return result;
        },
        input);
}

class Rescue : public testing::Test {
protected:
    void SetUp() override
    {
        launch_reset_state();
        flash_reset_state();
        stub_calls_clear();
        stub_set_system_result(0);
        stub_set_system_action(nullptr);
        install_result = 1;
        board = make_board(kBoard);
        ASSERT_FALSE(board.empty());
        ASSERT_EQ(api_flash_init(), 0);
        // On tmpfs where there is one: under qemu-ppc a 32-bit readdir on
        // ext4 fails, as its 64-bit directory offsets do not fit.
        char dir[] = "/dev/shm/rescue-root-XXXXXX";
        char fallback[] = "/tmp/rescue-root-XXXXXX";
        const char *made = mkdtemp(dir);
        if (!made)
            made = mkdtemp(fallback);
        ASSERT_NE(made, nullptr);
        root = made;
        fs::create_directories(root + "/tmp");
        fs::create_directories(root + "/user");
        fs::create_directories(root + "/usr/bin");
        write_file(root + "/usr/bin/rx", "");
        fs::permissions(root + "/usr/bin/rx", fs::perms::owner_all);
        rescue_root = root.c_str();
        install_root = root.c_str();
        // A plain file stands in for the port: init_serial reads its
        // carriage return, reset_serial its line feed.
        serial = root + "/ttyS0";
        write_file(serial, "\r\n");
        serial_device = serial.c_str();
        char cwd[PATH_MAX];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        saved_cwd = cwd;
    }
    void TearDown() override
    {
        rescue_root = "";
        install_root = "";
        serial_device = "/dev/ttyS0";
        stub_set_system_action(nullptr);
        ASSERT_EQ(chdir(saved_cwd.c_str()), 0);
        simdev_detach();
        std::error_code ignored;
        fs::remove_all(board, ignored);
        fs::remove_all(root, ignored);
    }
    std::string board, root, serial, saved_cwd;
};

// --- The menu -----------------------------------------------------------------

using Menu = Rescue;

// Exit in either case returns 1 and reads no further; end of input leaves as
// Exit does, also after an unknown key or an action; a 0 byte (what a read
// interrupted by Ctrl-C gives) only repeats the prompt. A key read while
// SIGINT is pending is discarded and the flag cleared; SIGINT during an
// action does not cancel the next key.
TEST_F(Menu, ExitEndOfInputAndSigintAtTheMenu)
{
    const std::string erase = "d\nConfirm: Erase filesystem? (all saved data, configuration, keys will be lost) "
                              "y/N: \nunmount filesystem\n\nErasing filesystem for clean install\nMounting...\n"
                              "creating default filesystem\nBooting diags image...\n<extract_image_from_flash>\n";
    const std::string left = "<flag 0 rest >";
    const struct {
        std::string input;
        Sigint sigint;
        std::string want;
        size_t calls;
    } cases[] = {
        {"eX", kNone, kStart + "e\n<flag 0 rest X>", 0},
        {"EX", kNone, kStart + "E\n<flag 0 rest X>", 0},
        {"", kNone, kStart + kNoKey + left, 0},
        {std::string("\0e", 2), kNone, kStart + kNoKey + kPrompt + "e\n" + left, 0},
        {"z", kNone, kStart + "z\nunknown option \"Z\". Please try again\n" + kPrompt + kNoKey + left, 0},
        {"u", kNone, kStart + "u\nUnable to open USB directory. Quitting\n" + kMenu + kPrompt + kNoKey + left, 0},
        {"xe", kBefore, kStart + "x\n" + kPrompt + "e\n" + left, 0},
        {"dye", kInAction, kStart + erase + kMenu + kPrompt + "e\n" + left, 4},
    };
    for (const auto &c : cases) {
        const Outcome o = run(run_rescue_mode, c.input, c.sigint);
        ASSERT_TRUE(o.returned) << c.input;
        EXPECT_EQ(o.result, 1);
        EXPECT_EQ(o.out, c.want);
        EXPECT_EQ(o.calls.size(), c.calls);
    }
}

// --- Serial download ---------------------------------------------------------------

class Xmodem : public Rescue {
protected:
    std::string image() const { return root + "/tmp/image"; }
    int download(std::string *out)
    {
        int result = -1;
        *out = stdout_of([&] { result = run_xmodem_rescue(); });
        return result;
    }
    const std::string kRunning = "Running xmodem rescue.....\n";
};

// The old image is gone before the receiver runs; only a file from a
// receiver that exited 0 is installed, once the port is restored, and the
// installer's result returned.
TEST_F(Xmodem, OnlyAFileFromASuccessfulReceiverIsInstalled)
{
    struct Case {
        int status; // the receiver's, as system() gives it
        bool writes;
        int installed; // the installer's result; -1: not installed
    };
    // Received and installed (or not); exit status 1 after a partial file; no
    // shell; exit 0 but no file; killed by a signal after a partial file.
    const Case cases[] = {{0, true, 1},  {0, true, 0},  {1 << 8, true, -1},
                          {-1, false, -1}, {0, false, -1}, {SIGKILL, true, -1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.status << " " << c.writes << " " << c.installed);
        write_file(image(), std::string(500, 'S'));
        install_result = c.installed;
        bool old_seen = true;
        stub_set_system_action([&](const char *) {
            old_seen = access(image().c_str(), F_OK) == 0;
            if (c.writes)
                write_file(image(), std::string(1024, 'R'));
            printf("<rx>\n");
            return c.status;
        });
        stub_calls_clear();
        std::string out;
        EXPECT_EQ(download(&out), std::max(c.installed, 0));
        EXPECT_FALSE(old_seen);
        EXPECT_EQ(out, kRunning + kPrepare + "<rx>\n" + kRestore +
                           (c.installed >= 0 ? "<install " + image() + " 0 0 size 1024>\n"
                                             : "Serial download failed, image not installed\n"));
        EXPECT_EQ(stub_calls(), Strings{"system: " + root + "/usr/bin/rx " + image()});
    }
}

// A port that does not open: neither a transfer nor a wait (no sleep call).
TEST_F(Xmodem, PortThatDoesNotOpenMeansNoTransfer)
{
    std::string out;
    const std::string missing = root + "/no-such-port";
    serial_device = missing.c_str();
    testing::internal::CaptureStderr();
    EXPECT_EQ(download(&out), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, kRunning);
    EXPECT_EQ(err, "Can't open serial port!: No such file or directory\n");
    EXPECT_TRUE(stub_calls().empty());
}

// --- Install from the USB stick ---------------------------------------------------

class Usb : public Rescue {
protected:
    std::string stick() const { return root + "/mnt/usb"; }
    // A stick with a directory and the given files; their names in the
    // order the directory lists them.
    Strings make_stick(const Strings &files)
    {
        fs::create_directories(stick() + "/images.d");
        for (const std::string &name : files)
            write_file(stick() + "/" + name, "image " + name);
        Strings order;
        DIR *dir = opendir(stick().c_str());
        EXPECT_NE(dir, nullptr);
        while (const dirent *entry = dir ? readdir(dir) : nullptr)
            if (entry->d_type != DT_DIR)
                order.push_back(entry->d_name);
        if (dir)
            closedir(dir);
        EXPECT_EQ(order.size(), files.size());
        return order;
    }
    static std::string listing(const Strings &names)
    {
        std::string out;
        for (size_t i = 0; i < names.size(); i++)
            out += "\t" + std::to_string(i + 1) + ": " + names[i] + "\n";
        return out + kChoose;
    }
};

// The listing and the installer's result; end of input, or SIGINT while the
// line is typed (its flag left for the menu), gives up even on a number. One
// file has the longest name a file can have.
TEST_F(Usb, ChosenFileInstalledByItsWholePathOtherAnswersLeave)
{
    const Strings names = make_stick({"a.img", std::string(NAME_MAX - 4, 'n') + ".img"});
    ASSERT_EQ(names.size(), 2u);
    struct Case {
        std::string input, shown; // shown: the echo and any messages
        int chosen, result;
        Sigint sigint;
    };
    const Case cases[] = {
        {"2abc\n", "2abc\n", 2, 1, kNone},
        {" 1\n", " 1\n", 1, 0, kNone},
        {"abc\n1\n", "abc\nInvalid file number abc. Try again pleas\n1\n", 1, 1, kNone},
        {"3\n", "3\n", 0, 0, kNone},
        {"", "\n", 0, 0, kNone},
        {"1", "1\n", 0, 0, kNone},
        {"abc", "abc\n", 0, 0, kNone},
        {"1\n", "1\n", 0, 0, kBefore},
    };
    for (const Case &c : cases) {
        install_result = c.result;
        const Outcome o = run(
            [] {
                const int result = run_usb_rescue();
                printf("%s", cwd_marker().c_str());
                return result;
            },
            c.input, c.sigint);
        ASSERT_TRUE(o.returned) << c.input;
        EXPECT_EQ(o.result, c.result) << c.input;
        std::string installs;
        if (c.chosen) {
            const std::string &name = names[size_t(c.chosen - 1)];
            installs = "Installing " + name + "\n<install " + stick() + "/" + name + " 0 0 size " +
                       std::to_string(6 + name.size()) + ">\n";
        }
        EXPECT_EQ(o.out, listing(names) + c.shown + installs + "<cwd " + root + "/tmp><flag " +
                             (c.sigint == kBefore ? "1" : "0") + " rest >")
            << c.input;
    }
}

} // namespace
