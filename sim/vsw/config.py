"""The configuration of one `vswitch boot`, made once from its options
before the board powers on: every path resolved, every setting checked,
and then frozen. The power loop, the namespaces' init (which gets it as
JSON), both machines' root filesystems, the stick and the virtual machine
all read this one record; what a single power-on adds (the root's mount
point, the console pty) travels beside it in a record of its own."""

import dataclasses
import json
import os
import shutil
from dataclasses import dataclass

from vsw.board import Board
from vsw.common import DEFAULT_BUILD_DIR, EM_PPC, PPC_BUILD_DIR, PPC_LAUNCHER, VswitchError
from vsw.namespace import namespace_ids
from vsw.rootfs import elf_dependencies, elf_machine, stick_driver
from vsw.stick import LATER
from vsw.vm import machine_checks


@dataclass(frozen=True)
class BootConfig:
    board: str                    # the board directory, absolute
    machine: str                  # "ns" (namespaces) or "vm" (the virtual machine)
    build: str                    # the host build ($SWITCH_BUILD_DIR)
    launcher: str                 # the program booted as /sbin/launcher
    emulator: str | None          # qemu-ppc-static, for a PowerPC launcher
    target_preload: str | None    # the PowerPC device preload of a dynamic one
    preload: str | None           # the device preload of the host's programs
    busybox: str
    rx: str | None                # the host's lrzsz receiver
    rx_mode: str                  # the switch's rx: lrzsz, missing, not-executable
    usb: str | None               # the stick's image, when one is plugged in
    usb_delay: float | str        # seconds until it is plugged in (0: at power-on), or "later"
    usb_unplug: float | str | None  # seconds until it is pulled, or "mount"
    usb_twin: bool                # a second stick, sdb, with the first
    stick_driver: dict | None     # the host's files of the stick's FAT driver
    cut_at_file_size: int | None
    stderr_tag: str | None
    console_link: str | None
    mgmt_port: str | None         # "plugged" or "pulled"
    fast_clock: float | None      # sleeps last 1/N of their time, longer below 1
    term: str | None
    host_namespaces: dict         # the runner's own, which the switch's must not be
    hostname: str = "vswitch"
    duma: str | None = None       # the DUMA stand-in library, built for the boot
    prepare: str | None = None    # a script run as root before the start-up
    target: str = "host"          # the CPU: "host", or "ppc" (qemu-ppc, or the PowerPC machine)


@dataclass(frozen=True)
class PowerOn:
    """What the runner makes for one power-on in namespaces, for its init."""
    root: str                     # an empty directory: the root's mount point
    pty: str                      # the console pty's slave, by name
    pty_fd: int                   # and as init inherits it
    net_ready_fd: int | None      # where the runner says "eth0" is there


def init_argument(cfg, power_on):
    return json.dumps({"config": dataclasses.asdict(cfg),
                       "power_on": dataclasses.asdict(power_on)})


def from_init_argument(text):
    fields = json.loads(text)
    return BootConfig(**fields["config"]), PowerOn(**fields["power_on"])


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


def host_tools():
    """The host's BusyBox, once util-linux's unshare is known to be there."""
    if not shutil.which("unshare"):
        raise VswitchError("unshare not found (install util-linux)")
    busybox = shutil.which("busybox")
    if not busybox:
        raise VswitchError("busybox not found (install busybox-static)")
    if elf_dependencies(busybox)[0]:
        raise VswitchError(f"{busybox} is not statically linked (install busybox-static)")
    return busybox


def make_config(args):
    """The configuration of `vswitch boot` with these options (the board,
    the launcher and its preloads, the stick's and the console's settings,
    the machine), its paths resolved and checked."""
    if os.geteuid() != 0:
        raise VswitchError("booting needs root (mounts and namespaces)")
    board = Board(args.board)
    board.check()
    busybox = host_tools()
    build = os.environ.get("SWITCH_BUILD_DIR", DEFAULT_BUILD_DIR)
    # The PowerPC machine boots the launcher as shipped; under qemu-ppc the
    # one with the device model linked in.
    ppc_launcher = "src/launcher" if args.machine == "vm" else PPC_LAUNCHER
    default_launcher = (os.path.join(PPC_BUILD_DIR, ppc_launcher) if args.target == "ppc"
                        else os.path.join(build, "src", "launcher"))
    launcher = find_program(args.launcher or default_launcher, "launcher")
    # The device model's preload serves the namespaces' machine only.
    preload = args.preload or (os.path.join(build, "sim", "libsimdev_preload.so")
                               if args.machine == "ns" else "none")
    stick = os.path.isfile(board.usb)
    rx = shutil.which("rx")
    cfg = BootConfig(
        board=board.path, machine=args.machine, build=build, launcher=launcher,
        emulator=None if args.machine == "vm" else target_emulator(launcher),
        target_preload=(None if args.machine == "vm" else
                        target_preload_for(launcher, args.target_preload)),
        preload=None if preload == "none" else os.path.abspath(preload),
        busybox=busybox, rx=os.path.realpath(rx) if rx else None, rx_mode=args.rx,
        usb=board.usb if stick else None, usb_delay=args.usb_delay,
        usb_unplug=args.usb_unplug, usb_twin=args.usb_twin,
        # This kernel has no FAT driver: the stick is mounted through FUSE.
        stick_driver=stick_driver() if stick else None,
        cut_at_file_size=args.cut_at_file_size, stderr_tag=args.stderr_tag,
        console_link=os.path.abspath(args.console_link) if args.console_link else None,
        mgmt_port=args.mgmt_port, fast_clock=args.fast_clock, term=os.environ.get("TERM"),
        host_namespaces=namespace_ids(),
        prepare=os.path.abspath(args.prepare) if args.prepare else None,
        target=args.target)
    check_config(cfg, preload)
    return cfg


def check_config(cfg, preload):
    if cfg.machine == "vm":
        machine_checks(cfg)
    if cfg.preload and not os.path.isfile(cfg.preload):
        raise VswitchError(f"device preload not found at {preload}")
    if cfg.fast_clock is not None and not 0.0001 <= cfg.fast_clock <= 1000000:
        raise VswitchError("the fast clock's factor must be from 0.0001 to 1000000")
    if cfg.fast_clock and not (cfg.preload or cfg.emulator):
        raise VswitchError("a fast clock needs the device preload")
    if cfg.usb_delay == LATER and cfg.usb_unplug is not None:
        raise VswitchError("a stick plugged in later (vswitch usb) is pulled out that way too")
    if cfg.mgmt_port and not (shutil.which("ip") and shutil.which("nsenter")):
        raise VswitchError("a management port needs ip (iproute2) and nsenter (util-linux)")
