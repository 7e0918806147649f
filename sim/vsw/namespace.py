"""Inside the switch's namespaces: PID 1 (the runner's init), which builds
the root filesystem, starts the launcher on the console and reports how
the boot ended on its status pipe."""

import fcntl
import os
import resource
import shutil
import signal
import socket
import sys
import termios
import threading

from vsw.common import (BOARD_LOG, IN_BOARD, IN_EMULATOR, IN_LAUNCHER, IN_PRELOAD, IN_RUN,
                        IN_TARGET_ROOT, MS_PRIVATE, MS_REC, STATUS_PREFIX, sys_mount)
from vsw.rootfs import build_rootfs
from vsw.stick import stick_events


NAMESPACES = ("mnt", "pid", "net", "uts", "ipc")
START_UP = "/etc/init.d/rcS"
IN_PREPARE = IN_RUN + "/prepare"


def namespace_ids():
    return {ns: os.readlink(f"/proc/self/ns/{ns}") for ns in NAMESPACES}


def status(*words):
    sys.stdout.write(STATUS_PREFIX + " ".join(str(w) for w in words) + "\n")
    sys.stdout.flush()


class PowerRequest(Exception):
    """A program on the switch asked init to reboot, halt or power off."""


POWER_ASKS = {signal.SIGTERM: "reboot", signal.SIGUSR1: "halt", signal.SIGUSR2: "poweroff"}


def namespace_init(cfg, power_on):
    """PID 1 of the switch's namespaces: builds the root filesystem in RAM,
    starts the launcher on the console and reports how the boot ended. Every
    mount made here dies with the namespace."""
    host = cfg.host_namespaces
    mine = namespace_ids()
    same = [ns for ns in NAMESPACES if mine[ns] == host[ns]]
    if os.getpid() != 1 or same:
        status("error", "refusing to boot: namespaces not private:",
               " ".join(same) or "not PID 1")
        return 1
    # Nothing mounted from here on may propagate back to the host.
    sys_mount("none", "/", None, MS_REC | MS_PRIVATE)

    root = power_on.root
    build_rootfs(root, cfg, power_on.pty)
    socket.sethostname(cfg.hostname)

    # BusyBox's reboot, halt and poweroff ask init with these signals.
    asked = []

    def on_ask(signum, frame):
        asked.append(POWER_ASKS[signum])
        raise PowerRequest()

    for sig in POWER_ASKS:
        signal.signal(sig, on_ask)
    if power_on.net_ready_fd is not None and not management_port_ready(power_on.net_ready_fd):
        status("error", "the management port was not set up")
        return 1
    if cfg.usb:
        stick_events(root, cfg)
    run_start_up(root, cfg, power_on.pty_fd)
    launcher, relay = start_launcher(root, cfg, power_on.pty_fd)
    status("started", launcher)
    outcome = None
    try:
        while outcome is None:
            try:
                pid, wstatus = os.waitpid(-1, 0)
            except ChildProcessError:
                break
            if pid == launcher:
                outcome = wstatus
    except PowerRequest:
        pass
    for sig in POWER_ASKS:
        signal.signal(sig, lambda signum, frame: asked.append(POWER_ASKS[signum]))
    power_off(relay)
    report_end(root, cfg, asked, outcome)
    return 0


def start_launcher(root, cfg, console_fd):
    """Starts the launcher on the console; returns its PID and the relay
    thread of its tagged stderr (None without a tag)."""
    if cfg.stderr_tag is None:
        return start_console_program(root, cfg, console_fd, None), None
    # The launcher's stderr goes through a pipe whose lines reach the
    # console marked, so that a test can tell the two streams apart.
    read_end, stderr_fd = os.pipe()
    launcher = start_console_program(root, cfg, console_fd, stderr_fd)
    os.close(stderr_fd)
    relay = threading.Thread(target=relay_tagged, daemon=True,
                             args=(read_end, console_fd, cfg.stderr_tag))
    relay.start()
    return launcher, relay


def power_off(relay):
    """Everything else in this PID namespace goes at once."""
    try:
        os.kill(-1, signal.SIGKILL)
    except ProcessLookupError:
        pass
    while True:
        try:
            os.waitpid(-1, 0)
        except ChildProcessError:
            break
    if relay is not None:
        relay.join(5)  # everything is killed: the pipe's writers are gone


def report_end(root, cfg, asked, outcome):
    """Tells the runner how the boot ended: a power request, or how the
    launcher (or the application that replaced it) ended."""
    if asked:
        with open(os.path.join(cfg.board, BOARD_LOG), "a") as log:
            log.write(f"vswitch: init was asked to {asked[0]}\n")
        status(asked[0])
        return
    app = os.path.exists(os.path.join(root, IN_RUN.lstrip("/"), "application"))
    who = "application" if app else "launcher"
    if outcome is None:
        status("ended", who, "unknown")
    elif (cfg.cut_at_file_size is not None and os.WIFSIGNALED(outcome)
          and os.WTERMSIG(outcome) == signal.SIGXFSZ):
        status("powercut", cfg.cut_at_file_size)
    elif os.WIFSIGNALED(outcome):
        status("ended", who, "signal", os.WTERMSIG(outcome))
    else:
        status("ended", who, "status", os.WEXITSTATUS(outcome))


def management_port_ready(fd):
    """Waits for the runner's word that "eth0" is in this namespace, so that
    the launcher finds the port as a board has it from power-on."""
    try:
        return os.read(fd, 1) == b"1"
    finally:
        os.close(fd)


def relay_tagged(read_end, console_fd, tag):
    """Copies what the launcher writes to stderr onto the console, with the
    tag at the start of every line, until the last writer is gone. A line
    goes out whole, in one write, once its end has come: a program that
    writes a line in pieces (lrzsz does) would otherwise have the console's
    other bytes fall inside its tagged line."""
    tag = tag.encode()
    partial = b""
    while True:
        try:
            data = os.read(read_end, 65536)
        except InterruptedError:
            continue
        lines = (partial + data).splitlines(keepends=True)
        partial = lines.pop() if data and lines and not lines[-1].endswith(b"\n") else b""
        if lines:
            os.write(console_fd, b"".join(tag + line for line in lines))
        if not data:
            break
    os.close(read_end)


def run_start_up(root, cfg, console_fd):
    """The root filesystem's start-up script, on the console, run to its end
    before the launcher starts, as BusyBox's init runs its sysinit entry;
    the runner's preparation (boot --prepare) first."""
    if cfg.prepare:
        shutil.copyfile(cfg.prepare, root + IN_PREPARE)
        run_script(root, cfg, console_fd, IN_PREPARE)
    run_script(root, cfg, console_fd, START_UP)


def run_script(root, cfg, console_fd, script):
    pid = os.fork()
    if pid == 0:
        try:
            for fd in (0, 1, 2):
                os.dup2(console_fd, fd)
            os.chroot(root)
            os.chdir("/")
            os.execve("/bin/sh", ["/bin/sh", script], {
                "PATH": "/sbin:/bin:/usr/sbin:/usr/bin", "HOME": "/", "SHELL": "/bin/sh",
                "TERM": cfg.term or "vt100"})
        finally:
            os._exit(127)
    os.waitpid(pid, 0)


def launcher_command(cfg):
    """(program, argv) that starts the launcher: a PowerPC one under the
    emulator, which hands the programs it starts to the kernel, so that the
    board's own programs stay native."""
    if not cfg.emulator:
        return IN_LAUNCHER, [IN_LAUNCHER]
    root = ["-L", IN_TARGET_ROOT] if cfg.target_preload else []
    return IN_EMULATOR, [IN_EMULATOR, *root, IN_LAUNCHER]


def start_console_program(root, cfg, slave, stderr_fd):
    pid = os.fork()
    if pid:
        return pid
    try:
        os.setsid()
        fcntl.ioctl(slave, termios.TIOCSCTTY, 0)
        for fd in (0, 1, 2):
            os.dup2(slave, fd)
        if stderr_fd is not None:
            os.dup2(stderr_fd, 2)
        os.closerange(3, 65536)
        # Python ignores SIGPIPE and SIGXFSZ; an exec would keep that.
        for sig in range(1, signal.NSIG):
            try:
                signal.signal(sig, signal.SIG_DFL)
            except (OSError, ValueError):
                pass
        signal.pthread_sigmask(signal.SIG_SETMASK, [])
        if cfg.cut_at_file_size is not None:
            # A power cut at a byte of a file being written: the write that
            # reaches the limit stores the bytes up to it, the next one
            # kills the writer (SIGXFSZ), and init then takes the rest.
            limit = cfg.cut_at_file_size
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
        os.chroot(root)
        os.chdir("/")
        env = {
            "PATH": "/sbin:/bin:/usr/sbin:/usr/bin",
            "HOME": "/root",
            "TERM": cfg.term or "vt100",
            "SIMDEV_BOARD": IN_BOARD + "/dev",
        }
        if cfg.preload:
            env["LD_PRELOAD"] = IN_PRELOAD
        if cfg.fast_clock:
            env["SIMDEV_FAST_CLOCK"] = str(cfg.fast_clock)
        os.execve(*launcher_command(cfg), env)
    except BaseException as e:  # noqa: BLE001 - the child must never return
        try:
            os.write(2, f"vswitch: cannot start {IN_LAUNCHER}: {e}\r\n".encode())
        finally:
            os._exit(127)


