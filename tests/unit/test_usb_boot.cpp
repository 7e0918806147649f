// The USB module on its own: the stick's own image failing, with its
// fingerprint, which becomes a file name under the user partition. system()
// (playing md5sum) is a link-time stand-in that records what the module
// asked for.
#include "extract.h"
#include "fixture.h"
#include "usb_boot.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

namespace {

Strings commands;
const char *md5sum_writes = nullptr; // nullptr: no shell can be started

// The module's fixed paths under /tmp and /mnt land in tmpfs mounts of this
// process's own mount namespace, never in the build machine's.
const bool kPrivateRoot = unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                          mount("tmpfs", "/tmp", "tmpfs", 0, nullptr) == 0 &&
                          mount("tmpfs", "/mnt", "tmpfs", 0, nullptr) == 0 && mkdir("/mnt/usb", 0755) == 0;

} // namespace

extern "C" int __wrap_system(const char *command)
{
    commands.push_back(command);
    if (md5sum_writes)
        std::ofstream("/tmp/img_md5string") << md5sum_writes;
    return md5sum_writes ? 0 : -1;
}

namespace {

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
