#include "fuzz_support.h"

#include "board.h"
#include "flash.h"
#include "i2c.h"
#include "install.h"
#include "rescue.h"
#include "simclock.h"
#include "simdev.h"
#include "xmodem.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// Every command "runs" and succeeds, changing nothing; the exec fails as
// when /bin/backtrace is missing; a reboot or a launch ends the input.
// Sleeps move a virtual clock on (simclock.h) instead of waiting.
extern "C" int __wrap_system(const char *) { return 0; }
extern "C" int __wrap_execv(const char *, char *const[]) { return -1; }
extern "C" [[noreturn]] void __wrap__Z11board_resetv() { throw BootEnded(); }
extern "C" [[noreturn]] void __wrap__Z12launch_imageh(uint8_t) { throw BootEnded(); }
// Standard input is a file, never a terminal: say so without asking the
// kernel at every key.
extern "C" int __wrap_tcgetattr(int, struct termios *)
{
    errno = ENOTTY;
    return -1;
}

namespace {

// Small partitions of 1 KiB sectors keep each input's flash work small.
constexpr const char *kBoardConf =
    "erasesize=1024\nmtd-uboot=8192\nmtd-ubootenv=2048\nmtd-devicetree=4096\n"
    "mtd-kernel=8192\nmtd-rfs=8192\nmtd-rescue=8192\nmtd-user-char=1024\n";

void write_whole(const std::string &path, const void *data, size_t size)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f || fwrite(data, 1, size, f) != size || fclose(f) != 0)
        abort();
}

std::string make_root()
{
    // In RAM where the machine has it: every input writes files.
    char dir[] = "/dev/shm/fuzz-switch-XXXXXX";
    if (!mkdtemp(dir))
        abort();
    const std::string root = dir;
    for (const char *sub : {"/board", "/tmp", "/user", "/user/images", "/mnt", "/mnt/usb"})
        (void)mkdir((root + sub).c_str(), 0755);
    write_whole(root + "/board/board.conf", kBoardConf, strlen(kBoardConf));
    if (simdev_attach((root + "/board").c_str()) != 0)
        abort();
    simdev_log_off();
    (void)api_flash_init();
    (void)api_i2c_init();
    install_root = rescue_root = strdup(root.c_str());
    simclock_start();
    // The console's output, flushed a character at a time, goes nowhere
    // without a system call for each.
    cookie_io_functions_t discard = {nullptr, [](void *, const char *, size_t n) { return ssize_t(n); },
                                     nullptr, nullptr};
    stdout = fopencookie(nullptr, "w", discard);
    serial_device = "/nonexistent/ttyS0"; // no transfer can start
    return root;
}

} // namespace

const std::string &fuzz_root()
{
    static const std::string root = make_root();
    return root;
}

void fuzz_reset_board()
{
    (void)fuzz_root();
    static const std::vector<uint8_t> erased(8192, 0xFF);
    for (const char *dev : {"mtd-uboot", "mtd-devicetree", "mtd-kernel", "mtd-rfs", "mtd-rescue"})
        (void)simdev_poke(dev, 0, erased.data(), simdev_mtd_size(dev));
    (void)simdev_poke("i2c-0-54", 0, erased.data(), 8192);
    launch_reset_state();
}

void fuzz_stdin(const uint8_t *data, size_t size)
{
    // Served from memory: a key costs no system call. The descriptor
    // itself is /dev/null, so that a poll() finds it readable, as a file.
    static const bool null_stdin = [] {
        const int fd = open("/dev/null", O_RDONLY);
        return fd >= 0 && dup2(fd, STDIN_FILENO) == STDIN_FILENO && close(fd) == 0;
    }();
    if (!null_stdin)
        abort();
    simdev_set_console_input(data, size);
}

std::string fuzz_file(const char *name, const uint8_t *data, size_t size)
{
    const std::string path = fuzz_root() + "/" + name;
    write_whole(path, data, size);
    return path;
}
