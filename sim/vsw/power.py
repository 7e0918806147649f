"""Power: the runner outside the board. It powers the board on (a new set
of namespaces running init, or the virtual machine), relays the console to
the user's terminal or pipe, and reports how each boot ended, booting again
after a reboot when asked."""

import fcntl
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from vsw.board import Board
from vsw.bootcheck import power_on
from vsw.common import (EM_PPC, EXIT_ENDED, EXIT_OPERATOR, EXIT_REBOOT, EXIT_SETUP,
                        EXIT_TIMEOUT, VSWITCH_PY, VswitchError)
from vsw.console import (Console, console_pty, relay_console, replace_symlink,
                         set_parent_death_signal)
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


def boot(board_path, launcher, preload, timeout=None, reboots=0, escape=b"\x1d",
         usb_delay=0.0, hostname="vswitch", stderr_tag=None, console_link=None,
         mgmt_port=None, fast_clock=None, usb_unplug=None, cut_at_file_size=None,
         target_preload=None, rx="lrzsz", usb_twin=False, machine="ns", build=None,
         prepare=None):
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
        "prepare": os.path.abspath(prepare) if prepare else None,
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


