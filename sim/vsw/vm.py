"""The board as a full-system virtual machine (`vswitch boot --machine vm`):
QEMU runs Debian's kernel with the real drivers (MTD over our NOR module, JFFS2,
i2c-dev, the 16550 UART, xHCI with usb-storage and vfat, e1000), BusyBox as
the root filesystem's programs and the unmodified launcher. The runner
stays outside: the console is the first UART's other end, power is the
process's life, and the monitor (QMP) plugs the stick and the cable."""

import os
import shlex
import shutil
import signal
import subprocess
import tempfile
import threading
import time

from vsw import qmp, scratch
from vsw.board import Board
from vsw.common import (BUS1_FILE, DEFAULT_BUILD_DIR, EEPROM_FILE, EM_PPC, IN_BOARD,
                        PARTITION_NAMES, PPC_BUILD_DIR, VswitchError)
from vsw.console import console_pty, relay_console, replace_symlink, set_parent_death_signal
from vsw.linemirror import LineMirror
from vsw.jffs2 import prepare_user_flash, read_back_user_flash
from vsw.net import MachineLab
from vsw.rootfs import elf_machine
from vsw.stick import LATER, disk_name, stick_devices
from vsw.stick import log as board_log
from vsw.vmkernel import prepare_kernel
from vsw.ppckernel import prepare_ppc_kernel
from vsw.ppcmachine import (NOR_SECTOR, assemble_flash, check_vpd, flash_layout, ppc_parts,
                            ppc_qemu_argv, ppc_termios_to_host, write_back_flash)
from vsw.vmroot import build_initramfs, host_parts, installed_tree

# Made by scripts/build.sh; another with SWITCH_VM_CACHE.
DEFAULT_CACHE = os.path.join(os.path.dirname(DEFAULT_BUILD_DIR), "vm")
QBOOT = "/usr/share/qemu/qboot.rom"
MEMORY_MB = 512
# What `vswitch cut` leaves for the runner before it kills the machine.
CUT_MARK = ".vm-cut"


def machine_cache():
    return os.environ.get("SWITCH_VM_CACHE", DEFAULT_CACHE)


def accelerator(cache, vmlinux):
    """kvm when /dev/kvm is there and a machine actually runs on it (a
    nested one may open and then never run), else tcg. Probed once per
    cache; SWITCH_VM_ACCEL=kvm|tcg decides instead."""
    chosen = os.environ.get("SWITCH_VM_ACCEL")
    if chosen:
        return chosen
    probe = os.path.join(cache, "accel")
    try:
        with open(probe) as f:
            return f.read().strip()
    except OSError:
        pass
    accel = "tcg"
    if os.access("/dev/kvm", os.R_OK | os.W_OK):
        try:
            run = subprocess.run(["qemu-system-x86_64", "-accel", "kvm", "-M", "pc", "-m", "128",
                                  "-nodefaults", "-display", "none", "-no-reboot", "-bios", QBOOT,
                                  "-kernel", vmlinux, "-append", "console=ttyS0 panic=-1",
                                  "-serial", "stdio"], capture_output=True, timeout=15)
            if b"Kernel panic" in run.stdout:  # no root to mount: the kernel ran
                accel = "kvm"
        except subprocess.TimeoutExpired:
            pass
    with open(probe, "w") as f:
        f.write(accel + "\n")
    return accel


def qemu_argv(board, cfg, accel, vmlinux, initramfs, monitor, console_pty, kernel_log):
    argv = ["qemu-system-x86_64", "-accel", accel, "-M", "pc", "-m", str(MEMORY_MB),
            "-nodefaults", "-display", "none", "-no-reboot", "-S",
            "-kernel", vmlinux, "-initrd", initramfs,
            # The kernel's own messages go to the second UART, a file of the
            # runner's; user space has /dev/console on the first (see init).
            "-append", "console=ttyS1 quiet panic=-1",
            "-qmp", f"unix:{monitor},server=on,wait=off",
            "-chardev", f"serial,id=console,path={console_pty}", "-serial", "chardev:console",
            "-serial", f"file:{kernel_log}",
            "-chardev", "stdio,id=rig,signal=off", "-device", "virtio-serial-pci",
            "-device", "virtconsole,chardev=rig",
            "-fsdev", f"local,id=board,path={board.path},security_model=none",
            "-device", "virtio-9p-pci,fsdev=board,mount_tag=board",
            "-device", "qemu-xhci,id=xhci"]
    if os.path.exists(QBOOT):
        argv += ["-bios", QBOOT]
    return argv


def device_argv(cfg, ppc):
    """The sticks present at power-on and the management port's adapter
    (the PowerPC kernel has the e1000e's driver, not the e1000's)."""
    argv = []
    if cfg.usb and not cfg.usb_delay:
        for index in sticks(cfg):
            drive = ",readonly=on" if index else ""
            argv += ["-drive", f"if=none,id=disk{index},format=raw,file={cfg.usb}{drive}",
                     "-device", f"usb-storage,bus=xhci.0,drive=disk{index},id=stick{index},"
                                "removable=on,share-rw=on"]
    if cfg.mgmt_port:
        argv += ["-netdev", "tap,id=mgmt,ifname=lab0,script=no,downscript=no",
                 "-device", ("e1000e" if ppc else "e1000") + ",netdev=mgmt"]
    return argv


def sticks(cfg):
    """The sticks' numbers: the first, and its read-only twin with --usb-twin."""
    return [0, 1] if cfg.usb_twin else [0]


def boot_conf(board, cfg, erasesize, ppc):
    nak, cut_at_write = machine_faults(board)
    at_power_on = cfg.usb and not cfg.usb_delay
    # The PowerPC machine's bus 0 is the SoC's controller with QEMU's EEPROM.
    vpd = "" if ppc else f"vpd_file={IN_BOARD}/dev/{EEPROM_FILE} "
    values = {
        "FLASH": "nor" if ppc else "module",
        "CONSOLE_UART": "ttyS1" if ppc else "ttyS0",
        "I2C_ARGS": f"{vpd}regs_file={IN_BOARD}/dev/{BUS1_FILE} nak={','.join(nak)}",
        "ERASESIZE": erasesize,
        "FLASH_PARTITIONS": " ".join(PARTITION_NAMES),
        "CUT_AT_WRITE": cut_at_write,
        "CUT_MARK": f"{IN_BOARD}/{CUT_MARK}",
        # Init awaits the disks and partitions the kernel is to find.
        "STICK_DEVICES": " ".join(name for index in sticks(cfg) if at_power_on
                                  for name, *_ in stick_devices(cfg.usb, index)),
        "STDERR_TAG": cfg.stderr_tag or "",
        "HOSTNAME": cfg.hostname,
    }
    return "".join(f"{k}={shlex.quote(str(v))}\n" for k, v in values.items())


def plug_sticks(board, monitor, image, numbers):
    # The twin's requests go with the first's: the sticks arrive together.
    qmp.request(monitor, *[request for index in numbers for request in (
        ("blockdev-add", {"node-name": f"disk{index}", "driver": "raw",
                          "read-only": bool(index),
                          "file": {"driver": "file", "filename": image}}),
        ("device_add", {"driver": "usb-storage", "bus": "xhci.0",
                        "drive": f"disk{index}", "id": f"stick{index}",
                        "removable": True, "share-rw": True}))])
    log_sticks(board, numbers, "USB stick plugged in", " as {}")


def pull_sticks(board, monitor, numbers):
    qmp.request(monitor, *[("device_del", {"id": f"stick{index}"}) for index in numbers])
    log_sticks(board, numbers, "USB stick pulled out", " ({})")


def move_machine_stick(board, plug):
    """`vswitch usb BOARD plug|pull` on a running virtual machine: the first
    stick only."""
    running = qmp.running_machine(board)
    if running is None:
        raise VswitchError(f"{board.path} is not running as a virtual machine")
    if plug:
        plug_sticks(board, running[1], board.usb, [0])
    else:
        pull_sticks(board, running[1], [0])


def machine_faults(board):
    """The fault rules of the board that the machine serves: the chips that
    do not answer ("nak BUS ADDR", as BUS-ADDR) and the flash write at which
    the power is cut ("cut-at-write N", counted over the whole machine; 0:
    none). Any other rule needs the device model."""
    nak, cut_at_write = [], 0
    try:
        with open(os.path.join(board.dev, "faults")) as f:
            rules = [line.strip() for line in f if line.strip()[:1] not in ("", "#")]
    except FileNotFoundError:
        rules = []
    for rule in rules:
        words = rule.split()
        try:
            if words[0] == "nak" and len(words) == 3:
                nak.append(f"{int(words[1])}-{int(words[2], 16):02x}")
                continue
            if words[0] == "cut-at-write" and len(words) == 2 and int(words[1]) > 0:
                cut_at_write = int(words[1])
                continue
        except ValueError:
            pass
        raise VswitchError(f"the virtual machine serves only the fault rules nak and "
                           f"cut-at-write, not '{rule}' (in {board.dev}/faults)")
    return nak, cut_at_write


def stick_events(board, cfg, monitor, launched):
    """Plugs the stick in `usb_delay` seconds and pulls it `usb_unplug`
    seconds after the launcher has started, through the monitor: the
    namespaces' power-on is the launcher's start, and here the kernel's own
    start comes first and takes seconds."""
    delay, unplug = cfg.usb_delay or 0, cfg.usb_unplug
    if not launched.wait(600):
        return
    start = time.monotonic()
    try:
        if cfg.usb and delay > 0:
            time.sleep(delay)
            plug_sticks(board, monitor, cfg.usb, sticks(cfg))
        if cfg.usb and unplug is not None:
            time.sleep(max(0.0, unplug - (time.monotonic() - start)))
            pull_sticks(board, monitor, sticks(cfg))
    except (VswitchError, OSError) as e:
        board_log(board.path, f"USB stick event failed: {e}")


def log_sticks(board, numbers, what, which):
    """The board log's line of each stick, the twin's naming its disk, as
    the namespaces' runner writes them."""
    for index in numbers:
        board_log(board.path, what + (which.format(disk_name(index)) if index else ""))


def boot_machine(board, cfg, console, deadline):
    """One power-on of the board as a virtual machine. Returns (kind, detail)
    as the namespaces' boot does."""
    ppc = cfg.target == "ppc"
    if ppc:
        vmlinux, modules = prepare_ppc_kernel()
        erasesize = NOR_SECTOR
    else:
        vmlinux, modules = prepare_kernel(machine_cache())
        erasesize, _sizes = board.geometry()
    prepare_user_flash(board, erasesize, big_endian=ppc)
    # A cut is this power-on's only when `vswitch cut` (or a cut-at-write
    # rule) marks it during the boot.
    if os.path.exists(os.path.join(board.path, CUT_MARK)):
        os.unlink(os.path.join(board.path, CUT_MARK))
    work = scratch.make("vsw-")  # short: a socket path has 108 bytes
    monitor = os.path.join(work, "qmp")
    flash = os.path.join(work, "flash.bin") if ppc else None
    master, slave = console_pty(console)
    link = cfg.console_link
    mirror = None
    lab = proc = None
    errors = tempfile.TemporaryFile("w+", dir=work)
    try:
        argv = machine_argv(board, cfg, work, vmlinux, modules, erasesize, monitor,
                            os.ttyname(slave), flash)
        if cfg.mgmt_port:
            lab = MachineLab(board, cfg.busybox, cfg.mgmt_port == "plugged")
            lab.start()
            argv = ["nsenter", f"--net={lab.namespace()}", "--"] + argv
        board.append_log("vswitch: power on")
        if cfg.usb and not cfg.usb_delay:
            log_sticks(board, sticks(cfg), "USB stick plugged in", " as {}")
        proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=errors, preexec_fn=set_parent_death_signal)
        if link:
            mirror = LineMirror(console_pty(console), proc.stdin.fileno(), link + ".target",
                                ppc_termios_to_host if ppc else None)
            replace_symlink(mirror.path, link)
        launched = start_machine(board, cfg, proc, monitor, lab)
        # QEMU holds the console's slave now: once it ends, the master
        # reads what is left and then the end.
        os.close(slave)
        slave = None

        def report(words):
            if words[:1] == ["started"]:
                launched.set()
            elif mirror:
                mirror.report(words)
        result = relay_console(console, master, proc.stdout.fileno(), deadline, report,
                               mirror.output if mirror else None)
    finally:
        power_off_machine(board, proc, lab)
        os.close(master)
        if slave is not None:
            os.close(slave)
        if mirror:
            mirror.close()
        if link and os.path.islink(link):
            os.unlink(link)
        if flash and os.path.exists(flash):
            write_back_flash(board, flash)
        read_back_user_flash(board, big_endian=ppc)
    return machine_end(board, proc, errors, work, result)


def machine_argv(board, cfg, work, vmlinux, modules, erasesize, monitor, console, flash):
    """The root filesystem made for this power-on and QEMU's command line."""
    ppc = flash is not None
    initramfs = os.path.join(work, "initramfs")
    kernel_log = os.path.join(work, "kernel.console")
    product = installed_tree(PPC_BUILD_DIR if ppc else cfg.build, work, strip=ppc)
    parts = ppc_parts(cfg, work, product) if ppc else host_parts(cfg, work)
    build_initramfs(initramfs, cfg, product, modules, boot_conf(board, cfg, erasesize, ppc),
                    parts)
    if ppc:
        assemble_flash(board, flash)
        argv = ppc_qemu_argv(board, cfg, vmlinux, initramfs, monitor, console, kernel_log,
                             flash, machine_faults(board)[0])
    else:
        argv = qemu_argv(board, cfg, accelerator(machine_cache(), vmlinux), vmlinux, initramfs,
                         monitor, console, kernel_log)
    return argv + device_argv(cfg, ppc)


def start_machine(board, cfg, proc, monitor, lab):
    """Lets the machine that QEMU holds stopped run: names it for `vswitch
    cut` and `vswitch cable`, connects the lab, and plays the stick's events
    once the launcher has started. Returns the event to set then."""
    qmp.name_machine(board, proc.pid, monitor)
    if lab is not None:
        qmp.request(monitor, ("set_link", {"name": "mgmt", "up": lab.plugged}))
        lab.connect_tap()
    qmp.request(monitor, ("cont", {}))
    launched = threading.Event()
    if cfg.usb and cfg.usb_delay != LATER and (cfg.usb_delay or cfg.usb_unplug is not None):
        threading.Thread(target=stick_events, args=(board, cfg, monitor, launched),
                         daemon=True).start()
    return launched


def power_off_machine(board, proc, lab):
    if proc is not None:
        if proc.poll() is None:
            proc.kill()
        proc.wait()
    try:
        os.unlink(os.path.join(board.path, qmp.MACHINE_FILE))
    except FileNotFoundError:
        pass
    if lab is not None:
        lab.stop()


def machine_end(board, proc, errors, work, result):
    """How the boot ended: a cut, the machine's report, or what QEMU or the
    kernel last said when there was none."""
    cut = os.path.join(board.path, CUT_MARK)
    if os.path.exists(cut):
        os.unlink(cut)
        result = ("cut", None)
    elif result is None:
        errors.seek(0)
        why = errors.read().strip().splitlines() or kernel_tail(work)
        result = (("reboot", None) if proc.returncode == 0 and not why else
                  ("error", f"the machine ended without a report: {why[-1:] or proc.returncode}"))
    errors.close()
    scratch.remove(work)
    return result


def kernel_tail(work):
    """The kernel's last words, when it died before init could report."""
    try:
        with open(os.path.join(work, "kernel.console"), errors="replace") as f:
            return [line.strip() for line in f.read().splitlines() if line.strip()][-1:]
    except OSError:
        return []


def cut_power(board):
    """A power cut of a running virtual machine: its process is killed, so
    every flash, VPD and slot-file write that reached the board's files
    stays and nothing after it lands."""
    running = qmp.running_machine(board)
    try:
        # Held from here on, the process cannot be another's between the
        # check and the kill.
        pidfd = os.pidfd_open(running[0]) if running else -1
    except ProcessLookupError:
        pidfd = -1
    try:
        if pidfd < 0 or qmp.running_machine(board) != running:
            raise VswitchError(f"{board.path} is not running as a virtual machine")
        open(os.path.join(board.path, CUT_MARK), "w").close()
        signal.pidfd_send_signal(pidfd, signal.SIGKILL)
    finally:
        if pidfd >= 0:
            os.close(pidfd)


def machine_checks(cfg):
    ppc = cfg.target == "ppc"
    machine = elf_machine(cfg.launcher)  # None for a script, which runs on either
    if machine is not None and ppc != (machine == EM_PPC):
        raise VswitchError(f"{cfg.launcher} is not a launcher for the "
                           f"{'PowerPC' if ppc else 'x86'} machine (--target)")
    if cfg.fast_clock or cfg.cut_at_file_size is not None:
        raise VswitchError("--fast-clock and --cut-at-file-size need the device model "
                           "(the namespaces' machine); the virtual machine has real time "
                           "and `vswitch cut`")
    if cfg.preload:
        raise VswitchError("--preload: the virtual machine's programs meet the kernel's own "
                           "devices, not the device model")
    if cfg.usb_unplug == "mount":
        raise VswitchError("--usb-unplug mount needs the namespaces' machine; the virtual "
                           "machine's stick is pulled at a time (--usb-unplug S)")
    board = Board(cfg.board)
    _nak, cut_at_write = machine_faults(board)
    if ppc:
        if cut_at_write:
            raise VswitchError("cut-at-write needs the x86 machine's flash module; the PowerPC "
                               "machine's NOR is QEMU's, cut with `vswitch cut`")
        flash_layout(board)
        check_vpd(board)
    qemu = "qemu-system-ppc" if ppc else "qemu-system-x86_64"
    for tool in (qemu, "nsenter"):
        if not shutil.which(tool):
            raise VswitchError(f"{tool} not found (install {qemu.replace('_64', '')}, "
                               "util-linux)")
