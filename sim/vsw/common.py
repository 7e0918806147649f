"""Names shared by the virtual switch's modules: the board's flash map and
VPD fields, paths inside the switch, the runner's exit statuses."""

import ctypes
import os

SIM_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The runner starts init as this file, inside the new namespaces.
VSWITCH_PY = os.path.join(SIM_DIR, "vswitch.py")
ROOTFS_SRC = os.path.join(SIM_DIR, "rootfs")
# The product's own root-filesystem files (what `cmake --install` puts there).
PRODUCT_ROOTFS = os.path.join(os.path.dirname(SIM_DIR), "src", "rootfs")
DEFAULT_BUILD_DIR = os.path.join(os.path.dirname(SIM_DIR), "build", "host")
# The cross build for the switch's CPU (--target ppc) and its launcher with
# the device model linked in.
PPC_BUILD_DIR = os.path.join(os.path.dirname(SIM_DIR), "build", "ppc")
PPC_LAUNCHER = os.path.join("sim", "launcher-vswitch")
# Debian's cross C library for the PowerPC target (libc6-powerpc-cross).
PPC_SYSROOT = "/usr/powerpc-linux-gnu"
EM_PPC = 20

# Flash map of the switch (the device model's defaults, in node order).
PARTITIONS = [
    ("uboot", 524288),
    ("ubootenv", 131072),
    ("devicetree", 262144),
    ("kernel", 3145728),
    ("rfs", 15728640),
    ("rescue", 10485760),
    ("user-char", 16777216),
]
PARTITION_NAMES = [name for name, _ in PARTITIONS]
DEFAULT_ERASESIZE = 131072

EEPROM_FILE = "i2c-0-54.bin"
EEPROM_SIZE = 8192
BUS1_FILE = "i2c-1-20.bin"
BUS1_SIZE = 256
VPD_BOOT_SLOT = 0x100
VPD_BOOTED_IMAGE = 0x13A
VPD_USB_BOOT = 0x13B

BOARD_MARK = "vswitch-board"
BOARD_LOG = "board.log"

# Paths inside the switch's root filesystem.
IN_BOARD = "/.vswitch"
IN_RUN = "/run/vswitch"
IN_LAUNCHER = "/sbin/launcher"
IN_PRELOAD = "/usr/lib/vswitch/libsimdev_preload.so"
IN_RX = "/usr/lib/vswitch/rx"
IN_DUMA = "/usr/lib/libduma.so.0.0.0"
# The stick's FAT driver (vfat.py, with fusepy and libfuse beside it) and
# the Python that runs it.
IN_VFAT = "/usr/lib/vswitch/vfat.py"
IN_PYTHON = "/usr/lib/vswitch/python3"
# A PowerPC launcher runs under this emulator; a dynamically linked one
# finds its loader, C library and device preload under this root (qemu -L).
IN_EMULATOR = "/usr/lib/vswitch/qemu-ppc"
IN_TARGET_ROOT = "/usr/lib/vswitch/powerpc"

# Final lines of a boot, and the exit status of `vswitch boot` for each.
EXIT_REBOOT = 0
EXIT_ENDED = 1
EXIT_SETUP = 2
EXIT_TIMEOUT = 124
EXIT_OPERATOR = 125

STATUS_PREFIX = "@vswitch "


class VswitchError(Exception):
    """A failure reported to the user as one line, without a traceback."""



# System calls that the standard library lacks.
libc = ctypes.CDLL(None, use_errno=True)
MS_RDONLY, MS_NOSUID, MS_NODEV, MS_NOEXEC = 1, 2, 4, 8
MS_REMOUNT, MS_BIND, MS_REC, MS_PRIVATE = 32, 4096, 16384, 1 << 18
MNT_DETACH = 2
PR_SET_PDEATHSIG = 1


def sys_mount(source, target, fstype, flags, data=None):
    if libc.mount(source.encode() if source else None, target.encode(),
                  fstype.encode() if fstype else None, ctypes.c_ulong(flags),
                  data.encode() if data else None) != 0:
        err = ctypes.get_errno()
        raise VswitchError(f"mount {source} on {target}: {os.strerror(err)}")
