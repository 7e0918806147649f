"""Power: the runner outside the board. It powers the board on (a new set
of namespaces running init, or the virtual machine), relays the console to
the user's terminal or pipe, and reports how each boot ended, booting again
after a reboot when asked."""

import dataclasses
import fcntl
import os
import signal
import subprocess
import sys
import tempfile
import time

from vsw import scratch
from vsw.board import Board
from vsw.bootcheck import power_on
from vsw.common import (EXIT_ENDED, EXIT_OPERATOR, EXIT_REBOOT, EXIT_SETUP, EXIT_TIMEOUT,
                        VSWITCH_PY, VswitchError)
from vsw.config import PowerOn, init_argument
from vsw.console import (Console, console_pty, relay_console, replace_symlink,
                         set_parent_death_signal)
from vsw.net import LabNetwork
from vsw.rootfs import build_duma
from vsw.stick import remove_stick_port
from vsw.vm import boot_machine


def boot_once(board, cfg, console, deadline):
    """One power-on of the board. Returns (kind, detail): kind is reboot,
    ended, timeout, operator or error."""
    master, slave = console_pty(console)
    link = cfg.console_link
    if link:
        # The host side of the console, for an onlooker that reads its line
        # settings (the speed a terminal would have to match); it is the
        # switch's serial port, so nothing else should read or write it.
        replace_symlink(os.ttyname(slave), link)
    root = tempfile.mkdtemp(prefix="vswitch-root-")
    net = ready = None
    if cfg.mgmt_port:
        net = LabNetwork(board, cfg.busybox, cfg.mgmt_port == "plugged")
        ready = os.pipe()
    power_on = PowerOn(root=root, pty=os.ttyname(slave), pty_fd=slave,
                       net_ready_fd=None if ready is None else ready[0])
    cmd = ["unshare", "--mount", "--pid", "--net", "--uts", "--ipc", "--fork",
           "--mount-proc", "--propagation", "private", "--kill-child=SIGKILL",
           sys.executable, "-I", "-S", VSWITCH_PY, "_init", init_argument(cfg, power_on)]
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
        remove_stick_port(board.path)
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


def boot(cfg, timeout=None, reboots=0, escape=b"\x1d"):
    """Boots the board of `cfg` (a BootConfig), and again after each reboot
    up to `reboots` times (None: after every reboot). Returns the exit
    status of the last boot."""
    board = Board(cfg.board)
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
    cache = scratch.make("vswitch-cache-")
    try:
        on_ppc = cfg.machine == "vm" and cfg.target == "ppc"
        cfg = dataclasses.replace(cfg, duma=build_duma(
            cache, "powerpc-linux-gnu-gcc" if on_ppc else "cc"))
        with console:
            if console.escape is not None:
                console.say("vswitch: console attached; Ctrl-] powers the board off")
            return power_cycles(board, cfg, console, deadline, timeout, reboots)
    finally:
        scratch.remove(cache)


def power_cycles(board, cfg, console, deadline, timeout, reboots):
    """Powers the board on until a boot ends otherwise than by a reboot, or
    the reboots asked for are spent; each end told on the console and in
    the board log. Returns the last boot's exit status."""
    cycle = 0
    while True:
        start = boot_machine if cfg.machine == "vm" else boot_once
        result = power_on(board) or start(board, cfg, console, deadline)
        code, text = describe(result, timeout)
        board.append_log("vswitch: " + text)
        console.say("vswitch: " + text)
        if result[0] != "reboot" or (reboots is not None and cycle >= reboots):
            return code
        cycle += 1
        of = f" of {reboots}" if reboots is not None else ""
        console.say(f"vswitch: power on again ({cycle}{of})")
