// The USB module on its own: the yes/no question, and the stick's own image
// failing, with its fingerprint, which becomes a file name under the user
// partition. system() (playing md5sum) and poll() are link-time stand-ins
// that record what the module asked for.
#include "extract.h"
#include "fixture.h"
#include "usb_boot.h"

#include <cerrno>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

namespace {

Strings commands;
const char *md5sum_writes = nullptr; // nullptr: no shell can be started
std::vector<int> waits;
int first_wait_ends = 1; // 1: as the console says; 0: time out; -1: SIGINT

// The module's fixed paths under /tmp and /mnt land in tmpfs mounts of this
// process's own mount namespace, never in the build machine's.
const bool kPrivateRoot = unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                          mount("tmpfs", "/tmp", "tmpfs", 0, nullptr) == 0 &&
                          mount("tmpfs", "/mnt", "tmpfs", 0, nullptr) == 0 && mkdir("/mnt/usb", 0755) == 0;

} // namespace

extern "C" {
int __real_poll(pollfd *fds, nfds_t count, int timeout);

int __wrap_system(const char *command)
{
    commands.push_back(command);
    if (md5sum_writes)
        std::ofstream("/tmp/img_md5string") << md5sum_writes;
    return md5sum_writes ? 0 : -1;
}

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

// Keys typed ahead, then the end of input; or the first wait ends without
// them (time out, SIGINT). The answer (-1: none, the time-out line and no)
// and the "(y/n) " prompts, each a fresh wait of 5 s.
TEST(UsbBoot, YesNoQuestion)
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

// The stick's own image that does not open, fails its CRC, or has no
// bootable record: its own error. It is listed before its record is read
// (the last command), under only what md5sum wrote for it in this very
// call, as 32 lower-case hexadecimal digits; without that, warnings.
TEST(UsbBoot, OwnImageFailures)
{
    ASSERT_TRUE(kPrivateRoot) << "a private /tmp and /mnt need root";
    Bytes bad = make_record(IMAGE_APPLICATION, {1, 2, 3});
    bad.back() ^= 1;
    const char *md5 = "0123456789abcdef0123456789abcdef  /mnt/usb/QLX5270_OS.img\n";
    const char *crc = "USB image CRC failed.";
    const std::string listed = "touch /user/images/rejected/0123456789abcdef0123456789abcdef";
    const std::string md5sum = "/bin/busybox md5sum /mnt/usb/QLX5270_OS.img > /tmp/img_md5string";
    const struct { Bytes image; const char *md5sum_writes, *err; std::string last; } cases[] = {
        {{}, md5, "Failed to open application image from USB.\n", ""},
        {bad, md5, crc, listed},
        {make_record(IMAGE_KERNEL, {1}), md5, "Error: USB image corrupted or belongs to another switch type.\n", listed},
        {bad, nullptr, crc, md5sum},
        {bad, "0123456789abcdef\n", crc, md5sum},
        {bad, "0123456789ABCDEF0123456789abcdef  /mnt/usb/QLX5270_OS.img\n", crc, md5sum},
        {bad, "../../../../../../../../tmp/evil  /mnt/usb/QLX5270_OS.img\n", crc, md5sum},
    };
    for (const auto &c : cases) {
        remove("/mnt/usb/QLX5270_OS.img");
        if (!c.image.empty())
            std::ofstream("/mnt/usb/QLX5270_OS.img").write(reinterpret_cast<const char *>(c.image.data()), c.image.size());
        std::ofstream("/tmp/img_md5string") << "fedcba9876543210fedcba9876543210  /mnt/usb/earlier.img\n";
        commands.clear();
        md5sum_writes = c.md5sum_writes;
        int result = 1;
        testing::internal::CaptureStderr();
        const std::string shown = stdout_of([&] { result = extract_image(3); });
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
        EXPECT_EQ(shown, c.last == md5sum ? "Warning: Cannot determine if image is in rejected list!\n"
                                            "Warning: Cannot add image to rejected list!\n"
                                          : "");
        EXPECT_EQ(commands.empty() ? "" : commands.back(), c.last) << c.md5sum_writes;
        EXPECT_EQ(result, 0);
    }
}

} // namespace
