// Install figures on the virtual switch, booted in the launcher's place: it
// starts the board as the launcher does (board_bring_up), installs one
// image file with the installer's arguments typed on the console ("<path>
// <skip> <slot>"), and prints the install's time, a plain copy's time of
// the same file and the peak memory.
#include "install.h"
#include "launch.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// A field of /proc/self/status in KiB ("VmHWM", "RssFile"), or -1.
long status_kib(const char *field)
{
    FILE *f = fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    char line[256];
    long kib = -1;
    const size_t n = strlen(field);
    while (fgets(line, sizeof line, f))
        if (strncmp(line, field, n) == 0 && line[n] == ':' &&
            sscanf(line + n + 1, "%ld", &kib) == 1)
            break;
    fclose(f);
    return kib;
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The baseline for the install's time: the same file read and written to
// /tmp in 64 KiB pieces. Bytes copied, or -1.
long plain_copy(const char *from, const char *to)
{
    const int in = open(from, O_RDONLY);
    const int out = open(to, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    long total = in >= 0 && out >= 0 ? 0 : -1;
    std::vector<char> buffer(65536);
    while (total >= 0) {
        const ssize_t n = read(in, buffer.data(), buffer.size());
        if (n <= 0 || write(out, buffer.data(), size_t(n)) != n) {
            total = n == 0 ? total : -1;
            break;
        }
        total += n;
    }
    if (in >= 0)
        close(in);
    if (out >= 0)
        close(out);
    return total;
}

} // namespace

int main()
{
    board_bring_up();
    printf("install bench: path skip slot? ");
    fflush(stdout);
    char line[512] = "";
    if (!fgets(line, sizeof line, stdin))
        return 100;
    char path[400] = "";
    int skip = 0;
    int slot = 0;
    if (sscanf(line, "%399s %d %d", path, &skip, &slot) != 3) {
        printf("install bench: want \"path skip slot\"\n");
        return 101;
    }
    const long rss_before = status_kib("VmHWM");
    const auto start = std::chrono::steady_clock::now();
    const int result = processTroveImage(path, uint8_t(skip), slot);
    const double install_s = seconds_since(start);
    const long rss_after = status_kib("VmHWM");
    // The device model maps the partitions' backing files, so the flash
    // pages it touched count in VmHWM as file pages; on the board they are
    // flash, not memory.
    const long file_after = status_kib("RssFile");
    const auto copy_start = std::chrono::steady_clock::now();
    const long copied = plain_copy(path, "/tmp/plain-copy");
    const double copy_s = seconds_since(copy_start);
    unlink("/tmp/plain-copy");
    printf("bench install_s=%.3f copy_s=%.3f copied=%ld vmhwm_before_kib=%ld "
           "vmhwm_after_kib=%ld rssfile_after_kib=%ld\n",
           install_s, copy_s, copied, rss_before, rss_after, file_after);
    printf("install bench: result %d\n", result);
    fflush(stdout);
    return result;
}
