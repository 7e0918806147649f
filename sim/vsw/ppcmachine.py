"""The board as a PowerPC e500 machine (`vswitch boot --machine vm --target
ppc`): QEMU's ppce500 with an e500mc core (the classic FPU that Debian's
cross compiler and C library use) runs our kernel (vsw/ppckernel.py) and
the launcher as a switch carries it: the cross build installed stripped,
dynamically linked against Debian's PowerPC C library. The flash is real
NOR on the platform bus, driven by Linux's physmap-of and CFI drivers; the
VPD is QEMU's AT24C EEPROM on the SoC's own I2C controller; the console is
the SoC's 16550.

The flash is one image of 64 KiB sectors, assembled from the board's
partition files at power-on (each partition at the next offset, in node
order) and split back into them after power-off, so that `vswitch show`,
the tests and the benchmarks read the same files whichever machine ran."""

import os
import termios

from vsw.common import EEPROM_FILE, PARTITION_NAMES, PPC_BUILD_DIR, PPC_SYSROOT, VswitchError
from vsw.ppcbusybox import prepare_ppc_busybox
from vsw.ppckernel import PPC_DIR
from vsw.vmroot import HELPERS, MachineParts, build_helper

NOR_SECTOR = 65536
# The name physmap-of gives QEMU's flash (its address on the platform bus),
# which the kernel's mtdparts= must name.
NOR_NAME = "f00000000.nor"
EEPROM_BYTES = 8192
PPC_CC = "powerpc-linux-gnu-gcc"
PPC_LAUNCHER_BUILT = os.path.join(PPC_BUILD_DIR, "src", "launcher")


def flash_layout(board):
    """[(name, offset, size)] of the partitions in the NOR image and the
    image's size: QEMU wants a power of two, the rest stays erased."""
    _erasesize, sizes = board.geometry()
    layout, offset = [], 0
    for name in PARTITION_NAMES:
        size = sizes[name]
        if size == 0:
            raise VswitchError(f"the PowerPC machine's kernel takes its partitions from "
                               f"mtdparts=, which refuses one of no size ({name})")
        if size % NOR_SECTOR:
            raise VswitchError(f"the PowerPC machine's NOR has 64 KiB sectors: partition "
                               f"{name} of {size} bytes is not a whole number of them")
        layout.append((name, offset, size))
        offset += size
    total = NOR_SECTOR
    while total < offset:
        total *= 2
    return layout, total


def assemble_flash(board, path):
    layout, total = flash_layout(board)
    with open(path, "wb") as out:
        for name, offset, size in layout:
            data = board.read_partition(name)[:size]
            out.seek(offset)
            out.write(data + b"\xff" * (size - len(data)))
        out.truncate(total)
        out.seek(layout[-1][1] + layout[-1][2])
        out.write(b"\xff" * (total - out.tell()))


def write_back_flash(board, path):
    """Each partition file gets what its part of the NOR image holds."""
    layout, _total = flash_layout(board)
    with open(path, "rb") as image:
        for name, offset, _size in layout:
            target = board.partition_file(name)
            image.seek(offset)
            data = image.read(os.path.getsize(target))
            with open(target, "r+b") as f:
                f.write(data)


def mtdparts(board):
    layout, _total = flash_layout(board)
    return "mtdparts=" + NOR_NAME + ":" + ",".join(
        f"{size}@{offset}({name[:-5] if name.endswith('-char') else name})"
        for name, offset, size in layout)


def check_vpd(board):
    path = os.path.join(board.dev, EEPROM_FILE)
    if os.path.getsize(path) != EEPROM_BYTES:
        raise VswitchError(f"{path}: QEMU's EEPROM needs a file of {EEPROM_BYTES} bytes")
    return path


def ppc_qemu_argv(board, cfg, vmlinux, initramfs, monitor, console_pty, kernel_log,
                  flash, absent):
    """QEMU's command line; `absent` names the chips that are not fitted."""
    argv = ["qemu-system-ppc", "-M", "ppce500", "-cpu", "e500mc", "-m", "512",
            "-nodefaults", "-display", "none", "-no-reboot", "-S",
            "-kernel", vmlinux, "-initrd", initramfs,
            # The kernel's early progress goes to the first UART whatever the
            # console= (its udbg follows the device tree's stdout-path): that
            # UART is the runner's file, and init names the second, the
            # console pty, /dev/ttyS0 (see CONSOLE_UART). The e1000e runs on
            # one interrupt: with MSI-X, its link vector never fired here for a
            # pulled cable, and the driver kept reporting the link up.
            "-append", f"console=ttyS0 quiet panic=-1 e1000e.IntMode=1 {mtdparts(board)}",
            "-qmp", f"unix:{monitor},server=on,wait=off",
            "-serial", f"file:{kernel_log}",
            "-chardev", f"serial,id=console,path={console_pty}", "-serial", "chardev:console",
            "-chardev", "stdio,id=rig,signal=off", "-device", "virtio-serial-pci",
            "-device", "virtconsole,chardev=rig",
            "-fsdev", f"local,id=board,path={board.path},security_model=none",
            "-device", "virtio-9p-pci,fsdev=board,mount_tag=board",
            "-device", "qemu-xhci,id=xhci",
            "-drive", f"if=pflash,format=raw,file={flash}"]
    if "0-54" not in absent:
        argv += ["-drive", f"if=none,id=vpd,format=raw,file={check_vpd(board)}",
                 "-device", f"at24c-eeprom,bus=i2c,address=0x54,rom-size={EEPROM_BYTES},"
                            "drive=vpd"]
    return argv


def ppc_parts(cfg, work, product_tree):
    """The PowerPC root filesystem's programs: BusyBox built for it, its
    flash_eraseall and rx applets in place of mtd-utils' and lrzsz's, the
    helpers cross-built, Debian's PowerPC C library."""
    busybox, links = prepare_ppc_busybox()
    with open(links) as f:
        applets = [line.strip().lstrip("/") for line in f if line.strip()]
    launcher = cfg.launcher
    shipped = product_tree and os.path.join(product_tree, "sbin", "launcher")
    if shipped and os.path.exists(shipped) and os.path.samefile(cfg.launcher,
                                                                PPC_LAUNCHER_BUILT):
        launcher = shipped
    return MachineParts(
        busybox=busybox, applets=applets,
        helpers={h: build_helper(h, work, PPC_CC) for h in HELPERS},
        programs={"/usr/sbin/flash_eraseall": os.path.join(PPC_DIR, "flash_eraseall"),
                  "/usr/lib/vswitch/rx": os.path.join(PPC_DIR, "rx")},
        sysroot=PPC_SYSROOT, launcher=launcher)


# The PowerPC ABI's termios, as the machine's ttywatch reports it: flag bits
# and control-character slots by name, for the onlooker's pty on this host.
PPC_LFLAG = {"ECHOKE": 0x1, "ECHOE": 0x2, "ECHOK": 0x4, "ECHO": 0x8, "ECHONL": 0x10,
             "ECHOPRT": 0x20, "ECHOCTL": 0x40, "ISIG": 0x80, "ICANON": 0x100,
             "IEXTEN": 0x400, "TOSTOP": 0x400000, "NOFLSH": 0x80000000}
PPC_IFLAG = {"IGNBRK": 0x1, "BRKINT": 0x2, "IGNPAR": 0x4, "PARMRK": 0x8, "INPCK": 0x10,
             "ISTRIP": 0x20, "INLCR": 0x40, "IGNCR": 0x80, "ICRNL": 0x100, "IXON": 0x200,
             "IXOFF": 0x400, "IXANY": 0x800, "IMAXBEL": 0x2000, "IUTF8": 0x4000}
PPC_OFLAG = {"OPOST": 0x1, "ONLCR": 0x2, "OCRNL": 0x8, "ONOCR": 0x10, "ONLRET": 0x20}
PPC_CFLAG = {"CSTOPB": 0x400, "CREAD": 0x800, "PARENB": 0x1000, "PARODD": 0x2000,
             "HUPCL": 0x4000, "CLOCAL": 0x8000}
PPC_CSIZE = {0x000: "CS5", 0x100: "CS6", 0x200: "CS7", 0x300: "CS8"}
PPC_SPEEDS = ["B0", "B50", "B75", "B110", "B134", "B150", "B200", "B300", "B600", "B1200",
              "B1800", "B2400", "B4800", "B9600", "B19200", "B38400", "B57600", "B115200",
              "B230400", "B460800"]
PPC_CC_SLOTS = ["VINTR", "VQUIT", "VERASE", "VKILL", "VEOF", "VMIN", "VEOL", "VTIME",
                "VEOL2", "VSWTC", "VWERASE", "VREPRINT", "VSUSP", "VSTART", "VSTOP",
                "VLNEXT", "VDISCARD"]


def translate_bits(value, table):
    host = 0
    for name, bit in table.items():
        if value & bit and hasattr(termios, name):
            host |= getattr(termios, name)
    return host


def ppc_termios_to_host(iflag, oflag, cflag, lflag, ispeed, ospeed, cc):
    """The same settings in this host's termios numbers."""
    def speed(value):
        return getattr(termios, PPC_SPEEDS[value]) if value < len(PPC_SPEEDS) else termios.B0

    host_cc = [0] * termios.NCCS
    for slot, name in enumerate(PPC_CC_SLOTS):
        if slot < len(cc) and hasattr(termios, name):
            host_cc[getattr(termios, name)] = cc[slot]
    cflags = translate_bits(cflag, PPC_CFLAG) | getattr(termios, PPC_CSIZE[cflag & 0x300])
    return [translate_bits(iflag, PPC_IFLAG), translate_bits(oflag, PPC_OFLAG),
            cflags | speed(ospeed), translate_bits(lflag, PPC_LFLAG),
            speed(ispeed), speed(ospeed), host_cc]
