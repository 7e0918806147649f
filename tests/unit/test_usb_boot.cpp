// The stick image's fingerprint: only what md5sum wrote in this very call
// counts, and only as 32 lower-case hexadecimal digits, since it becomes a
// file name under the user partition.
#include "usb_boot.h"

#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

std::vector<std::string> commands;
const char *md5sum_writes = nullptr; // nullptr: no shell can be started

void write_scratch(const char *text) { std::ofstream("/tmp/img_md5string") << text; }

} // namespace

// Plays md5sum: writes what the case says, or fails as when no shell starts.
extern "C" int __wrap_system(const char *command)
{
    commands.push_back(command);
    if (!md5sum_writes)
        return -1;
    write_scratch(md5sum_writes);
    return 0;
}

namespace {

// What the command wrote, the fingerprint taken.
const std::pair<const char *, const char *> kWritten[] = {
    {"0123456789abcdef0123456789abcdef  /mnt/usb/x.img\n", "0123456789abcdef0123456789abcdef"},
    {nullptr, ""},
    {"0123456789abcdef\n", ""},
    {"0123456789ABCDEF0123456789abcdef  /mnt/usb/x.img\n", ""},
    {"../../../../../../../../tmp/evil  /mnt/usb/x.img\n", ""},
};

TEST(UsbBoot, FingerprintIsOnlyWhatMd5sumWroteForThisFile)
{
    for (const auto &[written, fingerprint] : kWritten) {
        write_scratch("fedcba9876543210fedcba9876543210  /mnt/usb/earlier.img\n");
        commands.clear();
        md5sum_writes = written;
        char md5[kMd5StringSize] = "not touched";
        EXPECT_EQ(get_md5string("/mnt/usb/x.img", md5), *fingerprint ? 1 : 0) << written;
        EXPECT_STREQ(md5, fingerprint);
        EXPECT_EQ(commands, std::vector<std::string>{
                                "/bin/busybox md5sum /mnt/usb/x.img > /tmp/img_md5string"});
    }
    remove("/tmp/img_md5string");
}

} // namespace
