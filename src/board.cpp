// The board's shared services: the boot state, the slots' files, reset,
// shell commands, the SIGINT flag and boot errors.
#include "board.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

int32_t gdb_enable = 0;
int32_t gdbserver_enable = 0;
int32_t gdbport = 1234;
uint8_t shell_enable = 0;
uint8_t memchk_enable = 0;
int32_t rescue_enable = 0;
int32_t standalone_diags = 0;
uint8_t tried_alt_image = 0;
volatile std::sig_atomic_t sig_quit_raised = 0;
uint8_t usb_boot_enabled = 0;
char stringbuff[kStringBuffSize] = "";

namespace {

constexpr int kDefaultGdbPort = 1234;

} // namespace

void launch_reset_state()
{
    gdb_enable = 0;
    gdbserver_enable = 0;
    gdbport = kDefaultGdbPort;
    shell_enable = 0;
    memchk_enable = 0;
    rescue_enable = 0;
    standalone_diags = 0;
    tried_alt_image = 0;
    sig_quit_raised = 0;
    usb_boot_enabled = 0;
    memset(stringbuff, 0, sizeof stringbuff);
}

const char *slot_file_path(int slot)
{
    switch (slot) {
    case 1: return "/user/images/image1";
    case 2: return "/user/images/image2";
    default: return "/mnt/usb/QLX5270_OS.img";
    }
}

int other_slot(int slot)
{
    return slot == 1 ? 2 : 1;
}

int run_command(const char *command)
{
    fflush(stdout);
    return system(command);
}

void boot_error(const char *format, ...)
{
    fflush(stdout);
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
}

void shell_step()
{
    if (shell_enable)
        (void)run_command("/bin/sh\n");
}

void sig_handler(int)
{
    sig_quit_raised = 1;
}

int sig_init()
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = sig_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a waiting console read returns early
    return sigaction(SIGINT, &action, nullptr);
}

void board_reset()
{
    (void)sleep(1);
    if (run_command("reboot") == -1)
        boot_error("System reboot failed, please power-cycle.\n");
    exit(0);
}
