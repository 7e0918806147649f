// launch_image: unpacking and starting the application.
#include "launch_image.h"

#include "board.h"
#include "console.h"
#include "i2c.h"
#include "rescue.h"

#include <cstdio>
#include <unistd.h>

namespace {

constexpr const char *kMarkerPath = "/tmp/home/bin/distro-id";
constexpr const char *kDebuggerPath = "/tmp/gdb";
constexpr const char *kWrapperPath = "/bin/backtrace";

bool file_exists(const char *path)
{
    return access(path, F_OK) == 0;
}

// The unpack: one shell script, so that the change of directory holds for
// tar and rm.
void unpack_archive()
{
    snprintf(stringbuff, sizeof stringbuff, "cd /tmp \ntar mxzf %s \nrm %s\n", kArchivePath,
             kArchivePath);
    if (run_command(stringbuff) == -1) {
        boot_error("Failed to gunzip Application OS.\n");
        board_reset();
    }
}

// The compatibility check: a tree without the marker is either a failed
// unpack or an image for another system; the operator may go to the rescue
// menu first.
void check_compatibility_marker()
{
    if (file_exists(kMarkerPath))
        return;
    printf("WARNING: Suspected incompatible application image detected during unpacking\n");
    const uint8_t key =
        ask_key("Would you like to enter recovery mode to download a new image? y/N: ");
    if (key == 'y' || key == 'Y')
        (void)run_rescue_mode();
}

// A diagnostics image: its program takes the application's place.
void install_diagnostics()
{
    printf("install diags image\n");
    (void)run_command("mkdir -p /tmp/home/bin");
    (void)run_command("mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip");
}

// The operator's shell, when the boot settings ask for one.
void operator_shell()
{
    printf("Dropping into shell\n");
    (void)run_command("/bin/sh\n");
    printf("Dropping out of shell\n");
}

// A mode run by the shell: the board is reset when it ends, whatever its
// exit status.
[[noreturn]] void run_then_reset()
{
    (void)run_command(stringbuff);
    board_reset();
}

// The normal start: the process becomes the backtrace wrapper, which starts
// the application and inherits the open flash descriptors.
[[noreturn]] void exec_wrapper()
{
    fflush(stdout);
    char *const argv[] = {const_cast<char *>(kWrapperPath), nullptr};
    (void)execv(kWrapperPath, argv);
    boot_error("Failed to start Application OS.\n");
    board_reset();
}

// The start modes in order: the first mode whose condition holds.
[[noreturn]] void start_application()
{
    if (gdbserver_enable && memchk_enable) {
        snprintf(stringbuff, sizeof stringbuff,
                 "LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :%d /tmp/home/bin/mp.elf.strip\n",
                 gdbport);
        run_then_reset();
    }
    if (gdbserver_enable) {
        snprintf(stringbuff, sizeof stringbuff, "/bin/gdbserver :%d /tmp/home/bin/mp.elf.strip\n",
                 gdbport);
        run_then_reset();
    }
    if (gdb_enable && file_exists(kDebuggerPath)) {
        printf("*** Launching under GDB ***\n");
        snprintf(stringbuff, sizeof stringbuff, "/tmp/gdb /tmp/home/bin/mp.elf.strip");
        run_then_reset();
    }
    if (gdb_enable) {
        printf("**** GDB mode selected but GDB not available. Please install GDB image ***\n");
        exec_wrapper();
    }
    if (memchk_enable) {
        snprintf(stringbuff, sizeof stringbuff,
                 "LD_PRELOAD=libduma.so.0.0.0 /tmp/home/bin/mp.elf.strip\n");
        run_then_reset();
    }
    exec_wrapper();
}

} // namespace

void launch_image(uint8_t diagnostics)
{
    (void)sleep(1);
    unpack_archive();
    check_compatibility_marker();
    (void)api_i2c_close();
    if (diagnostics)
        install_diagnostics();
    if (shell_enable)
        operator_shell();
    start_application();
}
