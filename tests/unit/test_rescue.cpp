// The rescue menu and its actions. Console keys come from a file on
// descriptor 0 followed by end of input (run_to_end); system(), execv() and
// sleep() are process_stubs' recorders, and the installer and the rescue
// partition's boot are link-time stand-ins (--wrap) that print what they
// were given: no command runs and nothing is installed.
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
    if (stat(path, &st) == 0)
        printf("<install %s %d %d size %ld>\n", path, skip_same, slot, long(st.st_size));
    else
        printf("<install %s %d %d missing>\n", path, skip_same, slot);
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
const std::string kConfirm =
    "Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: \n";
const std::string kChoose = "Choose file number to install (q to quit): ";

constexpr const char *kBoard = "erasesize=65536\nmtd-uboot=131072\nmtd-devicetree=65536\n"
                               "mtd-kernel=65536\nmtd-rfs=65536\nmtd-rescue=65536\n";

bool ends_with(const std::string &text, const std::string &end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

size_t count_of(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        n++;
    return n;
}

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string cwd_marker()
{
    char dir[PATH_MAX];
    return std::string("<cwd ") + (getcwd(dir, sizeof dir) ? dir : "?") + ">";
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
        stub_set_system_result(0);
        launch_reset_state();
        flash_reset_state();
        ASSERT_EQ(chdir(saved_cwd.c_str()), 0);
        simdev_detach();
        std::error_code ignored;
        fs::remove_all(board, ignored);
        fs::remove_all(root, ignored);
    }
    // Runs `action` in a child with `input` on descriptor 0. A prompt that
    // repeated for ever would fill the disk; the file-size limit ends such a
    // child (and the alarm a silent one), so that the test fails instead.
    static Outcome run(const std::function<int()> &action, const std::string &input)
    {
        return run_to_end(
            [&] {
                const rlimit limit = {1 << 20, 1 << 20};
                (void)setrlimit(RLIMIT_FSIZE, &limit);
                (void)alarm(300);
                return action();
            },
            input);
    }
    static Outcome menu(const std::string &input)
    {
        return run([] { return run_rescue_mode(); }, input);
    }
    std::string board, root, serial, saved_cwd;
};

// --- The menu -----------------------------------------------------------------

using Menu = Rescue;

TEST_F(Menu, ExitReturnsOneWithoutReadingFurther)
{
    for (const char *keys : {"eX", "EX"}) {
        const Outcome o = run(
            [] {
                const int result = run_rescue_mode();
                char rest[8] = {};
                printf("<rest %s>", read(0, rest, sizeof rest - 1) > 0 ? rest : "");
                return result;
            },
            keys);
        ASSERT_TRUE(o.returned) << keys;
        EXPECT_EQ(o.result, 1);
        EXPECT_EQ(o.out, kStart + keys[0] + "\n<rest X>");
        EXPECT_TRUE(o.calls.empty());
    }
}

TEST_F(Menu, EveryActionKeyWorksInEitherCaseAndTheMenuComesBack)
{
    struct Case {
        char key;
        const char *after; // what the action is seen to do first
        const char *more;  // keys the action reads
    };
    // No stick, so U stops at once; D is answered n.
    const Case cases[] = {{'x', "Running xmodem rescue.....\n", ""},
                          {'u', "Unable to open USB directory. Quitting\n", ""},
                          {'h', "Installed images versions: \n", ""},
                          {'d', kConfirm.c_str(), "n"}};
    for (const Case &c : cases) {
        for (const char key : {c.key, char(toupper(c.key))}) {
            const Outcome o = menu(std::string(1, key) + c.more + "e");
            ASSERT_TRUE(o.returned) << key;
            EXPECT_EQ(o.result, 1);
            EXPECT_EQ(o.out.compare(0, kStart.size() + 2, kStart + key + "\n"), 0) << o.out;
            EXPECT_EQ(o.out.compare(kStart.size() + 2, strlen(c.after), c.after), 0) << o.out;
            // The menu again, without the entry line, then the Exit.
            EXPECT_TRUE(ends_with(o.out, kMenu + kPrompt + "e\n")) << o.out;
            EXPECT_EQ(count_of(o.out, kEntry), 1u);
            EXPECT_EQ(count_of(o.out, "unknown option"), 0u);
        }
    }
}

TEST_F(Menu, RebootWaitsASecondThenResetsTheBoard)
{
    for (const char *keys : {"r", "Re"}) {
        const Outcome o = menu(keys);
        ASSERT_TRUE(o.exited) << keys;
        EXPECT_EQ(o.exit_status, 0);
        EXPECT_EQ(o.out, kStart + keys[0] + "\n");
        // The menu's own second, then board_reset's.
        EXPECT_EQ(o.calls, (Strings{"sleep: 1", "sleep: 1", "system: reboot"}));
    }
}

TEST_F(Menu, UnknownKeyIsNamedUpperCasedAndOnlyThePromptRepeats)
{
    const Outcome o = menu("z1e");
    ASSERT_TRUE(o.returned);
    EXPECT_EQ(o.out, kStart + "z\nunknown option \"Z\". Please try again\n" + kPrompt +
                         "1\nunknown option \"1\". Please try again\n" + kPrompt + "e\n");
}

TEST_F(Menu, ZeroKeyRepeatsThePromptSilently)
{
    const Outcome o = menu(std::string("\0e", 2));
    ASSERT_TRUE(o.returned);
    EXPECT_EQ(o.out, kStart + kNoKey + kPrompt + "e\n");
}

TEST_F(Menu, KeyReadWhileSigintIsPendingIsDiscardedAndTheFlagCleared)
{
    const Outcome o = run(
        [] {
            (void)sig_init();
            (void)raise(SIGINT);
            const int result = run_rescue_mode();
            printf("<flag %d>", int(sig_quit_raised));
            return result;
        },
        "xe");
    ASSERT_TRUE(o.returned);
    EXPECT_EQ(o.out, kStart + "x\n" + kPrompt + "e\n<flag 0>");
    EXPECT_TRUE(o.calls.empty());
}

TEST_F(Menu, SigintDuringAnActionDoesNotCancelTheNextKey)
{
    // Ctrl-C while the erase runs its commands.
    stub_set_system_action([](const char *) { return raise(SIGINT); });
    const Outcome o = run(
        [] {
            (void)sig_init();
            const int result = run_rescue_mode();
            printf("<flag %d>", int(sig_quit_raised));
            return result;
        },
        "dye");
    ASSERT_TRUE(o.returned);
    EXPECT_EQ(o.calls.size(), 4u);
    EXPECT_TRUE(ends_with(o.out, "<extract_image_from_flash>\n" + kMenu + kPrompt + "e\n<flag 0>"))
        << o.out;
}

TEST_F(Menu, EndOfInputLeavesTheMenuAsExitDoes)
{
    Outcome o = menu("");
    ASSERT_TRUE(o.returned);
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.out, kStart + kNoKey);
    EXPECT_TRUE(o.calls.empty());
    // Also after an unknown key and after an action.
    o = menu("zh");
    ASSERT_TRUE(o.returned);
    EXPECT_EQ(o.result, 1);
    EXPECT_TRUE(ends_with(o.out, kMenu + kPrompt + kNoKey)) << o.out;
}

// --- Installed versions --------------------------------------------------------

using Versions = Rescue;

TEST_F(Versions, SixLinesFromTheInstalledHeadersMissingSlotAsZeros)
{
    auto header = [](uint32_t magic, uint32_t id) {
        std::vector<uint8_t> stored(IMAGE_HEADER_SIZE);
        const ImageHeader h = {0x11111111u, 64, magic, id};
        header_encode(&h, stored.data());
        return stored;
    };
    auto poke = [](const char *dev, uint32_t offset, const std::vector<uint8_t> &bytes) {
        ASSERT_EQ(simdev_poke(dev, offset, bytes.data(), uint32_t(bytes.size())), 0);
    };
    poke("mtd-uboot", kUbootHeaderOffset, header(IMAGE_UBOOT, 0x01020304));
    poke("mtd-rfs", 0, header(IMAGE_RFS, 0x0A0B0C0D));
    poke("mtd-kernel", 0, header(IMAGE_KERNEL, 0xFFFEFDFC));
    poke("mtd-devicetree", 0, header(IMAGE_DFT, 0x00000001));
    // The rescue partition's diagnostics image is not listed.
    poke("mtd-rescue", 0, header(IMAGE_DIAGS, 0x09090909));
    fs::create_directories(root + "/user/images");
    const std::vector<uint8_t> slot1 = header(IMAGE_APPLICATION, 0x80818283);
    write_file(root + "/user/images/image1", std::string(slot1.begin(), slot1.end()));

    int result = -1;
    EXPECT_EQ(stdout_of([&] { result = run_image_display(); }),
              "Installed images versions: \n"
              "\tBoot image  : 1.2.3.4\n"
              "\tRFS image   : 10.11.12.13\n"
              "\tKernel image: 255.254.253.252\n"
              "\tDFT image   : 0.0.0.1\n"
              "\tOS image 1  : 128.129.130.131\n"
              "\tOS image 2  : 0.0.0.0\n");
    EXPECT_EQ(result, 0);
}

// --- Serial download ---------------------------------------------------------------

class Xmodem : public Rescue {
protected:
    std::string image() const { return root + "/tmp/image"; }
    std::string rx() const { return "system: /usr/bin/rx " + image(); }
    int download(std::string *out)
    {
        int result = -1;
        *out = stdout_of([&] { result = run_xmodem_rescue(); });
        return result;
    }
    const std::string kRunning = "Running xmodem rescue.....\n";
};

TEST_F(Xmodem, ReceivedFileIsInstalledAfterThePortIsRestored)
{
    stub_set_system_action([this](const char *) {
        write_file(image(), std::string(1024, 'R'));
        printf("<rx>\n");
        return 0;
    });
    for (const int installed : {1, 0}) {
        install_result = installed;
        stub_calls_clear();
        std::string out;
        EXPECT_EQ(download(&out), installed);
        EXPECT_EQ(out, kRunning + kPrepare + "<rx>\n" + kRestore + "<install " + image() +
                           " 0 0 size 1024>\n");
        EXPECT_EQ(stub_calls(), Strings{rx()});
    }
}

TEST_F(Xmodem, OldImageIsRemovedBeforeTheTransfer)
{
    write_file(image(), std::string(500, 'S'));
    bool old_seen = true;
    stub_set_system_action([&](const char *) {
        old_seen = access(image().c_str(), F_OK) == 0;
        return 1 << 8; // exit status 1: nothing received
    });
    std::string out;
    EXPECT_EQ(download(&out), 0);
    EXPECT_FALSE(old_seen);
    EXPECT_EQ(out, kRunning + kPrepare + kRestore);
    EXPECT_FALSE(fs::exists(image()));
}

TEST_F(Xmodem, OnlyAFileFromASuccessfulReceiverIsInstalled)
{
    struct Case {
        int status;
        bool writes;
    };
    // Exit status 1 after a partial file; no shell; exit 0 but no file;
    // killed by a signal after a partial file.
    for (const Case c : {Case{1 << 8, true}, Case{-1, false}, Case{0, false}, Case{SIGKILL, true}}) {
        stub_set_system_action([&](const char *) {
            if (c.writes)
                write_file(image(), "partial");
            return c.status;
        });
        std::string out;
        EXPECT_EQ(download(&out), 0) << c.status;
        EXPECT_EQ(out, kRunning + kPrepare + kRestore) << c.status;
    }
}

TEST_F(Xmodem, PortThatDoesNotOpenMeansNoTransferAndNoWait)
{
    write_file(image(), std::string(500, 'S'));
    const std::string missing = root + "/no-such-port";
    serial_device = missing.c_str();
    testing::internal::CaptureStderr();
    std::string out;
    EXPECT_EQ(download(&out), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, kRunning);
    EXPECT_EQ(err.compare(0, 25, "Can't open serial port!: "), 0) << err;
    EXPECT_TRUE(stub_calls().empty());
}

TEST_F(Xmodem, OldImageThatCannotBeRemovedStopsTheDownload)
{
    fs::create_directories(image() + "/inside");
    std::string out;
    EXPECT_EQ(download(&out), 0);
    EXPECT_EQ(out, kRunning + "Unable to remove old " + image() + " (err " + std::to_string(EISDIR) +
                       "). Quitting\n");
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
    std::string installs(const std::string &name) const
    {
        return "Installing " + name + "\n<install " + stick() + "/" + name + " 0 0 size " +
               std::to_string(6 + name.size()) + ">\n";
    }
    static Outcome usb(const std::string &input)
    {
        return run(
            [] {
                const int result = run_usb_rescue();
                printf("%s", cwd_marker().c_str());
                return result;
            },
            input);
    }
    std::string in_tmp() const { return "<cwd " + root + "/tmp>"; }
};

TEST_F(Usb, FilesAreListedInDirectoryOrderAndTheChosenOneInstalled)
{
    const Strings names = make_stick({"a.img", "b.img"});
    ASSERT_EQ(names.size(), 2u);
    for (const char *line : {"2\n", " 2\n", "2abc\n"}) {
        const Outcome o = usb(line);
        ASSERT_TRUE(o.returned) << line;
        EXPECT_EQ(o.result, 1);
        EXPECT_EQ(o.out, listing(names) + line + installs(names[1]) + in_tmp());
    }
    install_result = 0;
    const Outcome o = usb("1\n");
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out, listing(names) + "1\n" + installs(names[0]) + in_tmp());
}

TEST_F(Usb, QuitLeavesWithoutInstalling)
{
    const Strings names = make_stick({"a.img"});
    ASSERT_EQ(names.size(), 1u);
    for (const char *line : {"q\n", "quit\n", "Q7\n"}) {
        const Outcome o = usb(line);
        ASSERT_TRUE(o.returned) << line;
        EXPECT_EQ(o.result, 0);
        EXPECT_EQ(o.out, listing(names) + line + in_tmp());
    }
}

TEST_F(Usb, LineWithoutNumberIsReportedAndAnotherLineRead)
{
    const Strings names = make_stick({"a.img"});
    ASSERT_EQ(names.size(), 1u);
    const Outcome o = usb("abc\n\n1\n");
    ASSERT_TRUE(o.returned);
    EXPECT_EQ(o.out, listing(names) + "abc\nInvalid file number abc. Try again pleas\n" +
                         "\nInvalid file number . Try again pleas\n" + "1\n" + installs(names[0]) +
                         in_tmp());
}

TEST_F(Usb, NumberOutOfRangeReturnsWithoutMessage)
{
    const Strings names = make_stick({"a.img", "b.img"});
    ASSERT_EQ(names.size(), 2u);
    for (const char *line : {"0\n", "-1\n", "3\n"}) {
        const Outcome o = usb(line);
        ASSERT_TRUE(o.returned) << line;
        EXPECT_EQ(o.result, 0);
        EXPECT_EQ(o.out, listing(names) + line + in_tmp());
    }
}

TEST_F(Usb, EndOfInputGivesUpEvenOnAnUnfinishedNumber)
{
    const Strings names = make_stick({"a.img"});
    ASSERT_EQ(names.size(), 1u);
    for (const char *input : {"", "1", "abc"}) {
        const Outcome o = usb(input);
        ASSERT_TRUE(o.returned) << input;
        EXPECT_EQ(o.result, 0);
        EXPECT_EQ(o.out, listing(names) + input + "\n" + in_tmp());
    }
}

TEST_F(Usb, SigintWhileTheLineIsTypedGivesUpAndLeavesTheFlag)
{
    const Strings names = make_stick({"a.img"});
    ASSERT_EQ(names.size(), 1u);
    const Outcome o = run(
        [] {
            (void)sig_init();
            (void)raise(SIGINT);
            const int result = run_usb_rescue();
            printf("<flag %d>", int(sig_quit_raised));
            return result;
        },
        "1\n");
    ASSERT_TRUE(o.returned);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out, listing(names) + "1\n<flag 1>");
}

TEST_F(Usb, LongestFileNameInstallsByItsWholePath)
{
    const std::string name = std::string(NAME_MAX - 4, 'n') + ".img";
    const Strings names = make_stick({name});
    ASSERT_EQ(names.size(), 1u);
    const Outcome o = usb("1\n");
    ASSERT_TRUE(o.returned);
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.out, listing(names) + "1\n" + installs(name) + in_tmp());
}

TEST_F(Usb, NoStickMeansNoListing)
{
    const Outcome o = usb("1\n");
    ASSERT_TRUE(o.returned);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out, "Unable to open USB directory. Quitting\n" + cwd_marker());
}

// --- Erase and diagnostics ----------------------------------------------------------

using Diags = Rescue;

TEST_F(Diags, YesErasesEachStepAfterItsMessageThenBootsDiagnostics)
{
    stub_set_system_action([](const char *command) {
        printf("<%s>\n", command);
        return 0;
    });
    for (const char *key : {"y", "Y"}) {
        const Outcome o = run([] { return run_standalone_diags(); }, key);
        ASSERT_TRUE(o.returned) << key;
        EXPECT_EQ(o.result, 1);
        EXPECT_EQ(o.out, kConfirm + "unmount filesystem\n</bin/umount /user &> /dev/null>\n" +
                             "\nErasing filesystem for clean install\n" +
                             "<flash_eraseall /dev/mtd-user-char>\n" + "Mounting...\n" +
                             "</bin/mount -o sync -t jffs2 /dev/mtd-user /user &> /dev/null>\n" +
                             "creating default filesystem\n<mkdir /user/images &> /dev/null>\n" +
                             "Booting diags image...\n<extract_image_from_flash>\n");
        EXPECT_EQ(o.calls.size(), 4u);
    }
}

TEST_F(Diags, AnyOtherAnswerErasesNothingAndBootsDiagnostics)
{
    for (const std::string &key : Strings{"n", "\r", "x", std::string(1, '\0'), ""}) {
        const Outcome o = run([] { return run_standalone_diags(); }, key);
        ASSERT_TRUE(o.returned);
        EXPECT_EQ(o.result, 1);
        EXPECT_EQ(o.out, kConfirm + "Booting diags image...\n<extract_image_from_flash>\n");
        EXPECT_TRUE(o.calls.empty());
    }
}

} // namespace
