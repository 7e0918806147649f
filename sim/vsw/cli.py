"""The command line of the virtual switch: create, set, show and boot."""

import argparse
import os
import sys

from vsw.board import Board, apply_settings, create_board, parse_env_image
from vsw.bootcheck import chain_damage, checked
from vsw.common import (DEFAULT_ERASESIZE, EXIT_SETUP, PARTITION_NAMES, PPC_BUILD_DIR,
                        PPC_LAUNCHER, VPD_BOOT_SLOT, VPD_BOOTED_IMAGE, VPD_USB_BOOT,
                        VswitchError)
from vsw.config import from_init_argument, make_config
from vsw.namespace import namespace_init, status
from vsw.net import set_cable
from vsw.power import boot
from vsw import qmp
from vsw.stick import LATER, LAYOUTS, move_stick, stick_layout, stick_listing
from vsw.ppcbusybox import prepare_ppc_busybox
from vsw.ppckernel import prepare_ppc_kernel
from vsw.vm import cut_power, machine_cache, move_machine_stick
from vsw.vmkernel import prepare_kernel



def add_state_options(p, creating):
    p.add_argument("--image1", metavar="FILE", help="image file for slot 1 (/user/images/image1)")
    p.add_argument("--image2", metavar="FILE", help="image file for slot 2 (/user/images/image2)")
    p.add_argument("--rescue", metavar="FILE",
                   help="image written at offset 0 of the rescue partition")
    p.add_argument("--env", action="append", metavar="NAME=VALUE",
                   help="boot-loader environment entry (repeatable); the partition "
                        "is rewritten with exactly the entries given")
    p.add_argument("--env-file", metavar="FILE", help="environment entries, one per line")
    p.add_argument("--env-clear", action="store_true",
                   help="write an environment with no entries")
    p.add_argument("--boot-slot", type=lambda s: int(s, 0), metavar="N",
                   help=f"VPD boot slot byte ({VPD_BOOT_SLOT:#x})")
    p.add_argument("--usb-boot", type=lambda s: int(s, 0), metavar="N",
                   help=f"VPD USB-boot byte ({VPD_USB_BOOT:#x}); 213 (0xd5) allows USB boot")
    p.add_argument("--vpd", action="append", metavar="OFFSET=BYTE",
                   help="any VPD EEPROM byte (repeatable)")
    p.add_argument("--usb", metavar="DIR",
                   help="plug in a USB stick: a FAT file system made from DIR's files")
    p.add_argument("--usb-layout", choices=LAYOUTS, default="partitioned",
                   help="the --usb stick's layout: a partition table with one FAT partition "
                        "(default, as sticks are sold), the FAT file system on the bare disk, "
                        "or a partition of zeros before the FAT one")
    p.add_argument("--usb-image", metavar="FILE",
                   help="plug in a USB stick whose image is FILE (copied; from its first "
                        "sector: a partition table or a bare FAT file system)")
    p.add_argument("--boot-chain", metavar="FILE",
                   help="install the flash records of image FILE (boot loader, kernel, device "
                        "tree, root filesystem) and check them at every power-on")
    if creating:
        p.add_argument("--erasesize", type=lambda s: int(s, 0), default=DEFAULT_ERASESIZE)
        p.add_argument("--part-size", action="append", metavar="NAME=BYTES",
                       help="size of a partition (" + ", ".join(PARTITION_NAMES) + ")")
        p.add_argument("--force", action="store_true", help="replace an existing board")
    else:
        p.add_argument("--no-usb", action="store_true", help="unplug the USB stick")
        p.add_argument("--no-boot-check", action="store_true",
                       help="power on without checking the boot chain")


def cmd_create(args):
    sizes = {}
    for setting in args.part_size or []:
        name, _, value = setting.partition("=")
        if name.startswith("mtd-"):
            name = name[4:]
        if name not in PARTITION_NAMES:
            raise VswitchError(f"no partition {name!r}")
        sizes[name] = int(value, 0)
    board = create_board(args.board, args.erasesize, sizes, args.force)
    apply_settings(board, args)
    print(f"vswitch: board created at {board.path}")
    return 0


def cmd_set(args):
    board = Board(args.board)
    board.check()
    apply_settings(board, args)
    return 0


def cmd_show(args):
    board = Board(args.board)
    board.check()
    erasesize, sizes = board.geometry()
    print(f"board      {board.path}")
    print(f"flash      erase size {erasesize}; " +
          ", ".join(f"{n} {sizes[n]}" for n in PARTITION_NAMES))
    print(f"VPD        boot slot {board.vpd(VPD_BOOT_SLOT)}, booted image "
          f"{board.vpd(VPD_BOOTED_IMAGE)}, USB boot {board.vpd(VPD_USB_BOOT)}")
    env = board.read_partition("ubootenv", 0, sizes["ubootenv"])
    if env[:4] == b"\xff\xff\xff\xff":
        print("env        erased")
    else:
        good, entries = parse_env_image(env)
        print("env        checksum " + ("good" if good else "BAD") +
              "".join(f"\n           {e}" for e in entries))
    files = []
    for top, _dirs, names in os.walk(board.user):
        files += [os.path.relpath(os.path.join(top, n), board.user) for n in names]
    print("user files " + (", ".join(sorted(files)) or "none"))
    stick = "none"
    if os.path.isfile(board.usb):
        try:
            stick = ", ".join(stick_listing(board.usb)) or "empty"
            stick = f"{stick_layout(board.usb)}: {stick}"
        except VswitchError as e:
            stick = f"not a readable FAT file system ({e})"
    print("USB stick  " + stick)
    damage = chain_damage(board) if checked(board) else None
    chain = "{} partition damaged ({})".format(*damage) if damage else "good"
    print("boot chain " + (chain if checked(board) else "not checked"))
    return 0


def cmd_boot(args):
    escape = None
    if args.escape != "none":
        escape = bytes([ord(args.escape[1].upper()) - 64]) if args.escape.startswith("^") \
            else args.escape.encode()
    return boot(make_config(args), timeout=args.timeout, reboots=args.reboots, escape=escape)


def cmd_vm_kernel(args):
    if args.target == "ppc":
        vmlinux, modules = prepare_ppc_kernel()
        busybox, _links = prepare_ppc_busybox()
        print(f"vswitch: PowerPC machine kernel {vmlinux}, I2C module in {modules}, "
              f"BusyBox {busybox}")
        return 0
    vmlinux, modules = prepare_kernel(args.cache or machine_cache())
    print(f"vswitch: virtual machine kernel {vmlinux}, modules in {modules}")
    return 0


def cmd_cut(args):
    board = Board(args.board)
    board.check()
    cut_power(board)
    return 0


def cmd_cable(args):
    board = Board(args.board)
    board.check()
    set_cable(board, args.action == "plug")
    return 0


def cmd_usb(args):
    board = Board(args.board)
    board.check()
    if not os.path.isfile(board.usb):
        raise VswitchError(f"{board.path} has no USB stick")
    if qmp.running_machine(board):
        move_machine_stick(board, args.action == "plug")
    else:
        move_stick(board.path, args.action == "plug")
    return 0


def cmd_line(args):
    from vsw import line
    argv = args.program[1:] if args.program[:1] == ["--"] else args.program
    if not argv:
        raise VswitchError("line: no program to relay")
    try:
        return line.run(argv, args.fault, args.baud)
    except ValueError as e:
        raise VswitchError(f"line: {e}")


def plug_time(text):
    return text if text == LATER else float(text)


def unplug_time(text):
    return text if text == "mount" else float(text)


def reboot_count(text):
    """N, or "always" (None): as a real switch does, until powered off."""
    return None if text == "always" else int(text)


def add_boot_options(b):
    """The options of `vswitch boot`: the launcher, the machine, the console
    and the stick, the power's limits."""
    b.add_argument("--target", choices=("host", "ppc"), default="host",
                   help="the launcher's build: host (default), or ppc for the PowerPC "
                        f"build's launcher: with the device model ({PPC_BUILD_DIR}/"
                        f"{PPC_LAUNCHER}) under qemu-ppc-static on the namespaces, as "
                        "shipped on the PowerPC e500 machine with --machine vm")
    b.add_argument("--machine", choices=("ns", "vm"),
                   default=os.environ.get("SWITCH_MACHINE", "ns"),
                   help="ns: the launcher in private namespaces with the device model (default, "
                        "fast); vm: a full-system virtual machine with Debian's kernel and its "
                        "real drivers (default from SWITCH_MACHINE)")
    b.add_argument("--launcher", help="launcher binary (default: $SWITCH_BUILD_DIR/src/launcher, "
                   "or the --target build's); a PowerPC one runs under qemu-ppc-static")
    b.add_argument("--preload", help="device preload of the host's programs, or none (default: "
                   "$SWITCH_BUILD_DIR/sim/libsimdev_preload.so; none on the virtual machine)")
    b.add_argument("--target-preload", metavar="FILE",
                   default=os.path.join(PPC_BUILD_DIR, "sim", "libsimdev_preload.so"),
                   help="PowerPC device preload of a dynamically linked PowerPC launcher "
                        "(default: %(default)s)")
    b.add_argument("--timeout", type=float, help="power off after this many seconds")
    b.add_argument("--reboots", type=reboot_count, default=0, metavar="N|always",
                   help="boot again after a reboot, up to N times or always (default 0)")
    b.add_argument("--escape", default="^]",
                   help="key that powers off the board from a terminal, ^X or none")
    b.add_argument("--usb-delay", type=plug_time, default=0.0, metavar="S|later",
                   help="seconds after power-on until the USB stick is plugged in (on the "
                        "virtual machine: after the launcher started), or later: when "
                        "`vswitch usb BOARD plug` says so")
    b.add_argument("--usb-unplug", type=unplug_time, metavar="S|mount",
                   help="seconds after power-on until the USB stick is pulled out, or mount: "
                        "the moment its file system is mounted, before its handler goes on")
    b.add_argument("--usb-twin", action="store_true",
                   help="a second stick, the same image, arrives with the first as sdb, their "
                        "events played at once")
    b.add_argument("--prepare", metavar="SCRIPT",
                   help="a BusyBox sh script run as root on the switch before its start-up "
                        "and its device scan, e.g. to put down in /tmp what another user could")
    b.add_argument("--cut-at-file-size", type=lambda s: int(s, 0), metavar="BYTES",
                   help="cut the power when the launcher (or what it starts) writes a "
                        "file past BYTES bytes")
    b.add_argument("--stderr-tag", metavar="TAG",
                   help="start every line that the launcher (and what it starts) writes "
                        "to stderr with TAG on the console")
    b.add_argument("--console-link", metavar="PATH",
                   help="while the board is on, PATH is a symbolic link to the console "
                        "pty's host side, so that its line settings can be read")
    b.add_argument("--mgmt-port", choices=("plugged", "pulled"), metavar="CABLE",
                   help="give the switch a management port \"eth0\" on a lab network, "
                        "its cable plugged or pulled at power-on")
    b.add_argument("--fast-clock", type=float, metavar="N",
                   help="the launcher's sleep() lasts 1/N of its time, longer for an N below "
                        "1 (needs the preload)")
    b.add_argument("--rx", choices=["lrzsz", "missing", "not-executable"], default="lrzsz",
                   help="the switch's /usr/bin/rx: lrzsz's receiver (default), none, or a "
                        "file that may not be run")


def parser():
    p = argparse.ArgumentParser(prog="vswitch", description="The virtual switch.")
    sub = p.add_subparsers(dest="command", required=True)
    c = sub.add_parser("create", help="make a new board directory")
    c.add_argument("board")
    add_state_options(c, creating=True)
    c.set_defaults(func=cmd_create)
    s = sub.add_parser("set", help="change the state of a board")
    s.add_argument("board")
    add_state_options(s, creating=False)
    s.set_defaults(func=cmd_set)
    w = sub.add_parser("show", help="print the state of a board")
    w.add_argument("board")
    w.set_defaults(func=cmd_show)
    b = sub.add_parser("boot", help="power the board on with the console attached")
    b.add_argument("board")
    add_boot_options(b)
    b.set_defaults(func=cmd_boot)
    k = sub.add_parser("cable", help="plug or pull the management port's cable of a "
                                     "running board")
    k.add_argument("board")
    k.add_argument("action", choices=("plug", "pull"))
    k.set_defaults(func=cmd_cable)
    k = sub.add_parser("usb", help="plug or pull the USB stick of a running board")
    k.add_argument("board")
    k.add_argument("action", choices=("plug", "pull"))
    k.set_defaults(func=cmd_usb)
    v = sub.add_parser("vm-kernel", help="fetch Debian's kernel for the virtual machine and "
                                         "build its I2C module (once; reused after)")
    v.add_argument("cache", nargs="?", help="cache directory (default: build/vm, or "
                                            "$SWITCH_VM_CACHE; the PowerPC machine's: "
                                            "/var/cache/vswitch/ppc or $SWITCH_PPC_CACHE)")
    v.add_argument("--target", choices=("host", "ppc"), default="host",
                   help="ppc: build the PowerPC machine's kernel, I2C module and BusyBox")
    v.set_defaults(func=cmd_vm_kernel)
    u = sub.add_parser("cut", help="cut the power of a board running as a virtual machine")
    u.add_argument("board")
    u.set_defaults(func=cmd_cut)
    n = sub.add_parser("line", help="relay stdin and stdout to a program over a serial line "
                                    "that can be paced and faulty (see vsw/line.py)")
    n.add_argument("--baud", type=int, help="pace both directions to this rate (10 bits a byte)")
    n.add_argument("--fault", action="append", metavar="KIND@BLOCK",
                   help="drop, flip, flip-crc, repeat, skip or cancel at a block number, "
                        "or can@start, stop@eot (repeatable)")
    n.add_argument("program", nargs=argparse.REMAINDER, help="-- PROGRAM [ARGS...]")
    n.set_defaults(func=cmd_line)
    return p


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["_init"]:
        try:
            return namespace_init(*from_init_argument(argv[1]))
        except VswitchError as e:
            status("error", e)
            return 1
    args = parser().parse_args(argv)
    try:
        return args.func(args)
    except (VswitchError, OSError) as e:
        print(f"vswitch: {e}", file=sys.stderr)
        return EXIT_SETUP

