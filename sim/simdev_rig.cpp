// What a program booted on the virtual switch gets from the rig beyond the
// devices, the same through either way in (preload.cpp for host builds,
// wrap_switch.cpp for a PowerPC build under qemu-ppc): the board taken from
// SIMDEV_BOARD, descriptors inherited across exec, the device log of its
// shell commands, SIGINT handler and sleeps, the fail-system fault, the
// board log of the network commands, the console's flush rule and the fast
// clock;
// and the one request that the emulator cannot pass on.
// Each way in calls these around the C library's own call, so that both
// builds of a program run on the same rig.
#include "simdev_dispatch.h"
#include "simdev_internal.h"
#include "simdev_rig.h"
#include "simdev_sys.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

const char *board_setting()
{
    const char *board = getenv("SIMDEV_BOARD");
    return board && *board ? board : nullptr;
}

// Whether the process holds a descriptor into the board directory, which
// it can only have inherited across exec from an emulated open.
bool inherits_board_fd(const char *board)
{
    char real[PATH_MAX];
    if (!realpath(board, real))
        return false;
    std::string prefix = std::string(real) + "/";
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return false;
    bool found = false;
    while (struct dirent *e = readdir(dir)) {
        char target[PATH_MAX];
        std::string link = std::string("/proc/self/fd/") + e->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && strncmp(target, prefix.c_str(), prefix.size()) == 0)
            found = true;
    }
    closedir(dir);
    return found;
}

// SIMDEV_FAST_CLOCK=N makes every sleep() of this process last 1/N of its
// time, so that tests of long fixed waits need not wait them out; an N below
// 1 makes a pause long, for a test that must act during it. It is taken out
// of the environment at start-up: programs that this one starts keep real
// time.
double fast_clock = 1;

void take_fast_clock()
{
    const char *setting = getenv("SIMDEV_FAST_CLOCK");
    if (!setting)
        return;
    const double factor = strtod(setting, nullptr);
    if (factor >= 0.0001 && factor <= 1000000)
        fast_clock = factor;
    unsetenv("SIMDEV_FAST_CLOCK");
}

// A shell command as one log line: its line ends shown as \n.
std::string command_line(const char *command)
{
    std::string line = "system ";
    for (const char *c = command ? command : "(null)"; *c; c++)
        line += *c == '\n' ? std::string("\\n") : std::string(1, *c);
    return line;
}

// BusyBox's shell runs its own applets before it searches the path, so no
// logging wrapper on the path sees a bare "ifconfig" or "route": their
// command lines reach the board log from here, as a wrapper would write
// them (up to the first line end).
bool runs_unwrapped_applet(const char *command)
{
    for (const char *name : {"ifconfig", "route"}) {
        const size_t n = strlen(name);
        if (strncmp(command, name, n) == 0 && strchr(" \n", command[n]))
            return true;
    }
    return false;
}

// The board log lies beside the device model's directory; it is only
// appended to, never made, so a program outside a board writes nothing.
void log_board_command(const char *command)
{
    const char *board = board_setting();
    if (!board)
        return;
    const std::string path = std::string(board) + "/../board.log";
    simsys::Fd log(simsys::open(path.c_str(), O_WRONLY | O_APPEND));
    if (log.fd < 0)
        return;
    const std::string line = std::string(command, strcspn(command, "\n")) + "\n";
    (void)!simsys::write(log.fd, line.data(), line.size());
}

const char *disposition(const struct sigaction *act)
{
    if (act->sa_handler == SIG_IGN)
        return "ignore";
    return act->sa_handler == SIG_DFL ? "default" : "handler";
}

// UNIX 98 pty slaves have majors 136 to 143.
bool is_pty_slave(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    const unsigned int major_number = major(st.st_rdev);
    return major_number >= 136 && major_number <= 143;
}

} // namespace

bool simdev_board_ready()
{
    static bool tried = false;
    if (simdev_is_attached())
        return true;
    if (tried)
        return false;
    tried = true;
    const char *board = board_setting();
    if (!board || simdev_attach(board) != 0)
        return false;
    simdev_model().log_in_memory = false;
    return true;
}

bool simdev_board_named()
{
    return board_setting() != nullptr;
}

void simdev_process_start()
{
    const char *board = board_setting();
    if (board && inherits_board_fd(board) && simdev_board_ready())
        simdev_adopt_inherited();
    take_fast_clock();
}

bool simdev_system_refused(const char *command)
{
    if (!simdev_board_ready())
        return false;
    const std::string line = command_line(command);
    if (simdev_model().faults.fail_system) {
        (void)simdev_fail(line, EAGAIN);
        return true;
    }
    simdev_log_line(line);
    if (command && runs_unwrapped_applet(command))
        log_board_command(command);
    return false;
}

void simdev_note_sigaction(int signum, const struct sigaction *act)
{
    if (signum == SIGINT && act && simdev_board_ready())
        simdev_log_line(std::string("sigaction SIGINT ") + disposition(act));
}

// The switch's console is a pty standing in for a UART. On a UART, tcdrain
// waits until the transmitter has sent every byte, so an output flush right
// after it finds nothing to discard. A pty slave has no transmit queue to
// wait on (tcdrain returns at once), yet its output flush throws away
// whatever the console's reader has not taken yet: lines printed just
// before a flush would vanish from the console, which no UART does. On the
// board's console, written bytes count as sent, so the output half of a
// flush discards nothing and the input half goes on as asked. A flush
// without a drain therefore loses no output here, unlike on a UART.
int simdev_console_flush(int fd, int queue_selector)
{
    if (!board_setting() || !is_pty_slave(fd))
        return queue_selector;
    if (queue_selector == TCOFLUSH)
        return -1;
    return queue_selector == TCIOFLUSH ? TCIFLUSH : queue_selector;
}

// A wait is part of the behaviour too: logged, tests see its length
// without timing it, under the fast clock as well.
void simdev_note_sleep(unsigned int seconds)
{
    if (simdev_board_ready())
        simdev_log_line("sleep " + std::to_string(seconds));
}

bool simdev_clock_is_fast()
{
    return fast_clock != 1;
}

// An interrupted sleep reports the seconds left on the caller's own scale,
// rounded up, as sleep() does.
unsigned int simdev_fast_sleep(unsigned int seconds)
{
    // Bounded, so that a long pause still fits a 32-bit time_t.
    const double nanos = std::fmin(seconds * 1e9 / fast_clock, 1e18);
    timespec want = {time_t(nanos / 1e9), long(std::fmod(nanos, 1e9))};
    timespec left = {0, 0};
    if (nanosleep(&want, &left) == 0)
        return 0;
    const double left_nanos = double(left.tv_sec) * 1e9 + double(left.tv_nsec);
    return unsigned(std::ceil(left_nanos * fast_clock / 1e9));
}

// qemu-user fails a request it does not translate (I2C_SLAVE, SIOCETHTOOL)
// with ENOSYS, which no kernel does, and before it looks at the
// descriptor. A kernel answers EBADF for a descriptor that is not open,
// whatever the request: a bus that failed to open shows that error on a
// board. The switch's management port is one end of a veth pair, whose
// ethtool link always reads as its IFF_RUNNING flag does, so under the
// emulator the link is read from the interface flags instead.
int simdev_emulator_ioctl(int fd, unsigned long request, void *arg)
{
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
        return -1;
    auto *interface = static_cast<ifreq *>(arg);
    auto *value = request == SIOCETHTOOL && interface
                      ? reinterpret_cast<ethtool_value *>(interface->ifr_data) : nullptr;
    if (!value || value->cmd != ETHTOOL_GLINK) {
        errno = ENOSYS;
        return -1;
    }
    ifreq flags = *interface;
    if (simsys::ioctl(fd, SIOCGIFFLAGS, &flags) < 0)
        return -1;
    value->data = (flags.ifr_flags & IFF_RUNNING) ? 1 : 0;
    return 0;
}
