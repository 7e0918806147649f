// USB boot: the wait for the stick, the boot-loader update, the slot
// replacements, and the rejected-image list.
#include "usb_boot.h"
#include "stdio_file.h"

#include "board.h"
#include "console.h"
#include "install.h"

#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char *kReadySign = "/tmp/usb";
constexpr const char *kBootImage = "/mnt/usb/QLX5270_Boot.img";
constexpr const char *kOwnImage = "/mnt/usb/QLX5270_OS.img";
constexpr int kMountTests = 10;
constexpr const char *kMd5Scratch = "/tmp/img_md5string";
constexpr const char *kRejectedDir = "/user/images/rejected";
constexpr int kMd5Length = kMd5StringSize - 1;
// Room for "/user/images/rejected/" and a fingerprint.
constexpr size_t kMarkerSize = 64;

// The replacement images, in the order they are installed: slot 1 last, so
// that it wins when both are replaced.
struct Replacement {
    int slot;
    const char *name;
    const char *path;
};
const Replacement kReplacements[] = {
    {2, "QLX5270_replace2_OS.img", "/mnt/usb/QLX5270_replace2_OS.img"},
    {1, "QLX5270_replace1_OS.img", "/mnt/usb/QLX5270_replace1_OS.img"},
};

bool exists(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0;
}

// A signal cuts sleep() short; the wait for the stick keeps its length.
void sleep_fully(unsigned seconds)
{
    while (seconds > 0)
        seconds = sleep(seconds);
}

bool is_md5_text(const char *text)
{
    for (int i = 0; i < kMd5Length; i++)
        if (!((text[i] >= '0' && text[i] <= '9') || (text[i] >= 'a' && text[i] <= 'f')))
            return false;
    return true;
}

// "/user/images/rejected/<fingerprint>" of the file, or 0 when no
// fingerprint could be made.
int marker_path(const char *path, char *marker)
{
    char md5[kMd5StringSize];
    if (!get_md5string(path, md5))
        return 0;
    snprintf(marker, kMarkerSize, "%s/%s", kRejectedDir, md5);
    return 1;
}

// The rejected-list question of a replacement: 1 to go on with it.
int replacement_accepted(const Replacement &r)
{
    if (!usb_is_image_rejected(r.path))
        return 1;
    if (!yesno_question("Replacement USB image is in rejected list.\n"
                        "Would you still like to load it? "))
        return 0;
    printf("Continuing with replacement USB image...\n");
    return 1;
}

} // namespace

int usb_mount()
{
    if (!usb_boot_enabled)
        return 0;
    printf("Attempting to mount file system on USB flash drive; this can take up to %d "
           "seconds.\n",
           kMountTests);
    fflush(stdout);
    sleep_fully(1);
    for (int test = 0; test < kMountTests; test++) {
        if (exists(kReadySign)) {
            printf("USB mounted and ready!\n");
            return 0;
        }
        printf(".");
        fflush(stdout);
        sleep_fully(1);
    }
    printf("USB mount timed out\n");
    return -1;
}

int usb_update_boot()
{
    if (!exists(kBootImage)) {
        printf("No boot image found on USB.\n");
        return 0;
    }
    printf("Boot image found on USB.\n");
    if (processTroveImage(kBootImage, 1, 0))
        board_reset();
    return 0;
}

int usb_which_image()
{
    int result = 0;
    for (const Replacement &r : kReplacements) {
        if (!exists(r.path))
            continue;
        printf("USB image (file '%s') replacement for image%d found\n", r.name, r.slot);
        if (!replacement_accepted(r))
            return 0;
        if (processTroveImage(r.path, 1, r.slot)) {
            printf("Image%d has been successfully replaced\n", r.slot);
            result = r.slot;
        }
    }
    if (result != 0) {
        printf("USB replacement image: board will boot with image%d.\n", result == 1 ? 1 : 2);
        return result;
    }
    if (exists(kOwnImage))
        return 3;
    printf("No valid image found on USB\n");
    return 0;
}

int get_md5string(const char *path, char *fingerprint)
{
    fingerprint[0] = '\0';
    // A fingerprint left by an earlier file must never pass for this one,
    // as it would if the shell could not be started.
    (void)unlink(kMd5Scratch);
    std::vector<char> command(strlen(path) + 64);
    snprintf(command.data(), command.size(), "/bin/busybox md5sum %s > %s", path, kMd5Scratch);
    (void)run_command(command.data());
    File scratch(fopen(kMd5Scratch, "r"));
    if (!scratch)
        return 0;
    // The fingerprint names a file: only md5sum's own digits may make it.
    if (fread(fingerprint, 1, kMd5Length, scratch.get()) != size_t(kMd5Length) ||
        !is_md5_text(fingerprint)) {
        fingerprint[0] = '\0';
        return 0;
    }
    fingerprint[kMd5Length] = '\0';
    return 1;
}

int usb_is_image_rejected(const char *path)
{
    char marker[kMarkerSize];
    if (!marker_path(path, marker)) {
        printf("Warning: Cannot determine if image is in rejected list!\n");
        return 0;
    }
    return exists(marker) ? 1 : 0;
}

void usb_add_image_to_reject_list(const char *path)
{
    char marker[kMarkerSize];
    if (!marker_path(path, marker)) {
        printf("Warning: Cannot add image to rejected list!\n");
        return;
    }
    if (exists(marker))
        return;
    (void)run_command("mkdir -p /user/images/rejected");
    char command[kMarkerSize + 8];
    snprintf(command, sizeof command, "touch %s", marker);
    (void)run_command(command);
}
