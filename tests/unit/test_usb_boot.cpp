// The stick image's fingerprint: only what md5sum wrote in this very call
// counts, and only as 32 lower-case hexadecimal digits, since it becomes a
// file name under the user partition.
#include "process_stubs.h"
#include "usb_boot.h"

#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>

namespace {

void write_scratch(const char *text)
{
    std::ofstream("/tmp/img_md5string") << text;
}

// What the command wrote (nullptr: no shell started), the fingerprint taken.
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
        stub_calls_clear();
        stub_set_system_action(
            [w = written](const char *) { return w ? (write_scratch(w), 0) : -1; });
        char md5[kMd5StringSize] = "not touched";
        EXPECT_EQ(get_md5string("/mnt/usb/x.img", md5), *fingerprint ? 1 : 0) << written;
        EXPECT_STREQ(md5, fingerprint);
        EXPECT_EQ(stub_calls(), std::vector<std::string>{
                                    "system: /bin/busybox md5sum /mnt/usb/x.img > /tmp/img_md5string"});
    }
    stub_set_system_action(nullptr);
    remove("/tmp/img_md5string");
}

} // namespace
