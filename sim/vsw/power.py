"""Power and console: the runner outside the namespaces. It makes the
console pty, powers the board on (a new set of namespaces running init),
relays the console to the user's terminal or pipe, and reports how each
boot ended, booting again after a reboot when asked."""

import fcntl
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import time
import tty

from vsw.board import Board
from vsw.bootcheck import power_on
from vsw.common import (EM_PPC, EXIT_ENDED, EXIT_OPERATOR, EXIT_REBOOT, EXIT_SETUP,
                        EXIT_TIMEOUT, STATUS_PREFIX, VSWITCH_PY, VswitchError)
from vsw.common import PR_SET_PDEATHSIG, libc
from vsw.namespace import namespace_ids
from vsw.net import LabNetwork
from vsw.rootfs import build_duma, elf_dependencies, elf_machine, stick_driver
from vsw.vm import boot_machine, machine_checks

def find_program(path, what):
    if not path or not os.path.isfile(path) or not os.access(path, os.X_OK):
        raise VswitchError(f"{what} not found at {path}")
    return os.path.abspath(path)


def target_emulator(launcher):
    """The emulator that runs a PowerPC launcher (None for a host program):
    qemu-user-static's, which needs no libraries in the switch's root and
    takes no preload meant for the host's programs."""
    if elf_machine(launcher) != EM_PPC:
        return None
    path = shutil.which("qemu-ppc-static")
    if not path:
        raise VswitchError("qemu-ppc-static not found (install qemu-user-static): "
                           "a PowerPC launcher runs under it")
    if elf_dependencies(path)[0]:
        raise VswitchError(f"{path} is not statically linked")
    return os.path.realpath(path)


def target_preload_for(launcher, target_preload):
    """The device preload of a dynamically linked PowerPC launcher (None
    for a static one, which has the device model linked in)."""
    if elf_machine(launcher) != EM_PPC or not elf_dependencies(launcher)[0]:
        return None
    if not target_preload or not os.path.isfile(target_preload):
        raise VswitchError(f"a dynamically linked PowerPC launcher needs the PowerPC "
                           f"device preload: not found at {target_preload}")
    if elf_machine(target_preload) != EM_PPC:
        raise VswitchError(f"{target_preload} is not a PowerPC library")
    return os.path.abspath(target_preload)



class Console:
    """Relays the runner's stdin and stdout to the board's pty master. When
    stdin is a terminal it is put in raw mode, so that every key, Ctrl-C
    included, reaches the switch as a byte."""

    def __init__(self, escape):
        self.stdin = sys.stdin.fileno()
        self.stdout = sys.stdout.fileno()
        self.is_tty = os.isatty(self.stdin)
        self.escape = escape
        self.saved = None
        self.stdin_open = True
        self.at_line_start = True

    def __enter__(self):
        if self.is_tty:
            self.saved = termios.tcgetattr(self.stdin)
            tty.setraw(self.stdin)
        return self

    def __exit__(self, *exc):
        self.restore()

    def restore(self):
        if self.saved is not None:
            termios.tcsetattr(self.stdin, termios.TCSAFLUSH, self.saved)
            self.saved = None

    def write(self, data):
        if data:
            self.at_line_start = data.endswith(b"\n")
        while data:
            try:
                n = os.write(self.stdout, data)
            except BlockingIOError:
                select.select([], [self.stdout], [])
                continue
            data = data[n:]

    def say(self, text):
        """A line of the runner's own, at the start of a line of the console."""
        prefix = b"" if self.at_line_start else b"\r\n"
        self.write(prefix + text.encode() + b"\r\n")

    def window_size(self):
        if not self.is_tty:
            return None
        try:
            return fcntl.ioctl(self.stdin, termios.TIOCGWINSZ, b"\0" * 8)
        except OSError:
            return None


def console_pty(console):
    """A new pty pair whose slave starts in the cooked mode that a serial
    console at 9600 baud has after a reset."""
    master, slave = os.openpty()
    attrs = termios.tcgetattr(slave)
    attrs[0] = termios.ICRNL | termios.IXON | termios.BRKINT
    attrs[1] = termios.OPOST | termios.ONLCR
    attrs[2] = termios.CS8 | termios.CREAD | termios.HUPCL | termios.CLOCAL
    attrs[3] = (termios.ISIG | termios.ICANON | termios.ECHO | termios.ECHOE |
                termios.ECHOK | termios.ECHOCTL | termios.ECHOKE | termios.IEXTEN)
    attrs[4] = attrs[5] = termios.B9600
    termios.tcsetattr(slave, termios.TCSANOW, attrs)
    size = console.window_size()
    if size:
        fcntl.ioctl(master, termios.TIOCSWINSZ, size)
    return master, slave


def set_parent_death_signal():
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


def boot_once(board, cfg, console, deadline):
    """One power-on of the board. Returns (kind, detail): kind is reboot,
    ended, timeout, operator or error."""
    master, slave = console_pty(console)
    link = cfg.get("console_link")
    if link:
        # The host side of the console, for an onlooker that reads its line
        # settings (the speed a terminal would have to match); it is the
        # switch's serial port, so nothing else should read or write it.
        replace_symlink(os.ttyname(slave), link)
    root = tempfile.mkdtemp(prefix="vswitch-root-")
    cfg = dict(cfg, root=root, pty=os.ttyname(slave), pty_fd=slave)
    net = ready = None
    if cfg.get("mgmt_port"):
        net = LabNetwork(board, cfg["busybox"], cfg["mgmt_port"] == "plugged")
        ready = os.pipe()
        cfg["net_ready_fd"] = ready[0]
    cmd = ["unshare", "--mount", "--pid", "--net", "--uts", "--ipc", "--fork",
           "--mount-proc", "--propagation", "private", "--kill-child=SIGKILL",
           sys.executable, "-I", "-S", VSWITCH_PY, "_init", json.dumps(cfg)]
    board.append_log("vswitch: power on")
    inherited = (slave,) if ready is None else (slave, ready[0])
    proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, pass_fds=inherited,
                            preexec_fn=set_parent_death_signal)
    os.close(slave)
    try:
        if net is not None:
            os.close(ready[0])
            connect_network(net, proc.pid, ready[1], console)
        result = relay_console(console, master, proc.stdout.fileno(), deadline)
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.wait()
        os.close(master)
        if net is not None:
            net.stop()
        if link and os.path.islink(link):
            os.unlink(link)
        try:
            os.rmdir(root)
        except OSError:
            pass
    if result is None:
        code = proc.returncode
        if code == -signal.SIGHUP:
            # reboot(2) in a PID namespace ends its init with SIGHUP.
            result = ("reboot", None)
        else:
            result = ("error", f"the namespace ended without a report (status {code})")
    return result



def status_result(text):
    """How a status line of init ends the boot, or None."""
    words = text[len(STATUS_PREFIX):].split()
    if words[0] in ("reboot", "halt", "poweroff", "ended", "powercut"):
        return (words[0], words[1:])
    if words[0] == "error":
        return ("error", " ".join(words[1:]))
    return None


def relay_console(console, master, status_fd, deadline, on_report=None, on_output=None):
    """Relays the console between the user and the board's pty master until
    the machine's status channel closes (or the deadline, or the operator's
    escape key). Status lines that do not end the boot go to `on_report`
    (their words); `on_output` hears of every piece of console output.
    Returns how the boot ended, or None when init said nothing."""
    os.set_blocking(master, False)
    pending_in = b""
    status_buf = b""
    result = None
    master_open = True
    status_open = True
    ended_at = None
    while master_open or status_open:
        now = time.monotonic()
        if ended_at is not None and now - ended_at > 5:
            break  # init is gone; whatever still holds the pty is not ours
        wait = 0.5
        if deadline is not None:
            if now >= deadline and result is None:
                return ("timeout", None)
            wait = min(wait, max(0.0, deadline - now))
        readers = [fd for fd, on in ((master, master_open), (status_fd, status_open)) if on]
        if console.stdin_open and result is None:
            readers.append(console.stdin)
        writers = [master] if pending_in and master_open else []
        readable, writable, _ = select.select(readers, writers, [], wait)
        if master in readable:
            try:
                data = os.read(master, 65536)
            except BlockingIOError:
                data = None
            except OSError:
                data = b""
            if data == b"":
                master_open = False
            elif data:
                console.write(data)
                if on_output is not None:
                    on_output()
        if console.stdin in readable:
            data = os.read(console.stdin, 4096)
            if not data:
                console.stdin_open = False
            elif console.escape is not None and console.escape in data:
                return ("operator", None)
            else:
                pending_in += data
        if master in writable:
            try:
                n = os.write(master, pending_in)
                pending_in = pending_in[n:]
            except BlockingIOError:
                pass
        if status_fd in readable:
            data = os.read(status_fd, 65536)
            if not data:
                status_open = False
                ended_at = time.monotonic()
            status_buf += data
            while b"\n" in status_buf:
                line, status_buf = status_buf.split(b"\n", 1)
                text = line.decode(errors="replace").rstrip("\r")
                if text.startswith(STATUS_PREFIX):
                    ending = status_result(text)
                    if ending is None and on_report is not None:
                        on_report(text[len(STATUS_PREFIX):].split())
                    result = ending or result
                elif text:
                    console.say("vswitch: " + text)
    return result

def connect_network(net, switch_pid, ready, console):
    """Gives the switch its management port before init starts the
    launcher; when that fails init hears nothing and reports the boot as
    failed."""
    try:
        net.start()
        net.connect(switch_pid)
        os.write(ready, b"1")
    except (VswitchError, OSError) as e:
        console.say(f"vswitch: management network: {e}")
    finally:
        os.close(ready)


def replace_symlink(target, link):
    if os.path.islink(link):
        os.unlink(link)
    elif os.path.exists(link):
        raise VswitchError(f"{link} exists and is not a symbolic link")
    os.symlink(target, link)


def describe(result, timeout):
    kind, detail = result
    if kind == "reboot":
        return EXIT_REBOOT, "board asked for a reboot"
    if kind in ("halt", "poweroff"):
        return EXIT_ENDED, f"board asked to {kind}"
    if kind == "ended":
        who, how = detail[0], detail[1:]
        if how[0] == "status":
            text = f"{who} exited with status {how[1]}"
        elif how[0] == "signal":
            text = f"{who} was killed by signal {how[1]}"
        else:
            text = f"{who} exited"
        return EXIT_ENDED, text
    if kind == "nostart":
        return EXIT_ENDED, "board would not start: {} partition damaged ({})".format(*detail)
    if kind == "powercut":
        return EXIT_ENDED, f"power cut as a file reached {detail[0]} bytes"
    if kind == "cut":
        return EXIT_ENDED, "power cut"
    if kind == "timeout":
        return EXIT_TIMEOUT, f"no end within {timeout:g} seconds; board powered off"
    if kind == "operator":
        return EXIT_OPERATOR, "board powered off by the operator"
    return EXIT_SETUP, f"boot failed: {detail}"


def boot(board_path, launcher, preload, timeout=None, reboots=0, escape=b"\x1d",
         usb_delay=0.0, hostname="vswitch", stderr_tag=None, console_link=None,
         mgmt_port=None, fast_clock=None, usb_unplug=None, cut_at_file_size=None,
         target_preload=None, rx="lrzsz", usb_twin=False, machine="ns", build=None):
    """Boots the board, and again after each reboot up to `reboots` times
    (None: after every reboot). `rx` is what the switch has as /usr/bin/rx:
    "lrzsz" (the stand-in that runs lrzsz's receiver), "missing" or
    "not-executable" (the stand-in without its execute bits), as on a root
    filesystem built without it. `usb_unplug` is seconds after power-on, or
    "mount": the moment the stick's file system is mounted. Returns the exit
    status of the last boot."""
    if os.geteuid() != 0:
        raise VswitchError("booting needs root (mounts and namespaces)")
    board = Board(board_path)
    board.check()
    if not shutil.which("unshare"):
        raise VswitchError("unshare not found (install util-linux)")
    busybox = shutil.which("busybox")
    if not busybox:
        raise VswitchError("busybox not found (install busybox-static)")
    if elf_dependencies(busybox)[0]:
        raise VswitchError(f"{busybox} is not statically linked (install busybox-static)")
    launcher = find_program(launcher, "launcher")
    cfg = {
        "board": board.path,
        "launcher": launcher,
        "emulator": target_emulator(launcher),
        "target_preload": target_preload_for(launcher, target_preload),
        "preload": None if preload in (None, "none") else os.path.abspath(preload),
        "busybox": busybox,
        "rx": os.path.realpath(shutil.which("rx")) if shutil.which("rx") else None,
        "rx_mode": rx,
        "usb": board.usb if os.path.isfile(board.usb) else None,
        "usb_delay": usb_delay,
        "usb_unplug": usb_unplug,
        "usb_twin": usb_twin,
        # This kernel has no FAT driver: the stick is mounted through FUSE.
        "stick_driver": stick_driver() if os.path.isfile(board.usb) else None,
        "cut_at_file_size": cut_at_file_size,
        "stderr_tag": stderr_tag,
        "console_link": os.path.abspath(console_link) if console_link else None,
        "mgmt_port": mgmt_port,
        "fast_clock": fast_clock,
        "hostname": hostname,
        "term": os.environ.get("TERM"),
        "host_namespaces": namespace_ids(),
    }
    cfg["build"] = build
    if machine == "vm":
        machine_checks(cfg)
    if cfg["preload"] and not os.path.isfile(cfg["preload"]):
        raise VswitchError(f"device preload not found at {preload}")
    if fast_clock is not None and fast_clock < 1:
        raise VswitchError("the fast clock's factor must be 1 or more")
    if fast_clock and not (cfg["preload"] or cfg["emulator"]):
        raise VswitchError("a fast clock needs the device preload")
    if mgmt_port and not (shutil.which("ip") and shutil.which("nsenter")):
        raise VswitchError("a management port needs ip (iproute2) and nsenter (util-linux)")
    lock = open(os.path.join(board.path, ".lock"), "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        raise VswitchError(f"{board.path} is already running")
    console = Console(escape if os.isatty(sys.stdin.fileno()) else None)
    if escape is None:
        console.escape = None
    deadline = time.monotonic() + timeout if timeout else None

    def hang_up(signum, frame):
        raise SystemExit(EXIT_OPERATOR)

    # A closed terminal or a kill ends the board and still cleans up.
    signal.signal(signal.SIGHUP, hang_up)
    signal.signal(signal.SIGTERM, hang_up)
    with tempfile.TemporaryDirectory(prefix="vswitch-cache-") as cache:
        cfg["duma"] = build_duma(cache)
        with console:
            if console.escape is not None:
                console.say("vswitch: console attached; Ctrl-] powers the board off")
            cycle = 0
            while True:
                start = boot_machine if machine == "vm" else boot_once
                result = power_on(board) or start(board, cfg, console, deadline)
                code, text = describe(result, timeout)
                board.append_log("vswitch: " + text)
                console.say("vswitch: " + text)
                if result[0] != "reboot" or (reboots is not None and cycle >= reboots):
                    return code
                cycle += 1
                of = f" of {reboots}" if reboots is not None else ""
                console.say(f"vswitch: power on again ({cycle}{of})")


