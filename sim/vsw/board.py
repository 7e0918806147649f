"""The board directory: a switch's persistent state (flash partitions, VPD
EEPROM, user files, USB stick, board log) and the settings that `vswitch
create` and `vswitch set` write into it."""

import os
import shutil
import struct
import subprocess
import tempfile
import zlib

from vsw.common import (BOARD_LOG, BOARD_MARK, DEFAULT_ERASESIZE, EEPROM_FILE, EEPROM_SIZE,
                        BUS1_FILE, BUS1_SIZE, PARTITIONS, PARTITION_NAMES, VPD_BOOT_SLOT,
                        VPD_USB_BOOT, VswitchError)
from vsw.bootcheck import install_chain, set_checked
from vsw.stick import make_stick_from_dir



class Board:
    """A board directory: the switch's persistent state.

      vswitch-board     marks the directory as a board
      dev/              the device model's directory (SIMDEV_BOARD)
      user/             files of the JFFS2 user partition (/user when mounted)
      usb.img           the USB stick's image from its first sector, when one
                        is plugged in
      board.log         commands run by the stand-ins, and the runner's lines
    """

    def __init__(self, path):
        self.path = os.path.abspath(path)
        self.dev = os.path.join(self.path, "dev")
        self.user = os.path.join(self.path, "user")
        self.usb = os.path.join(self.path, "usb.img")
        self.log = os.path.join(self.path, BOARD_LOG)

    def exists(self):
        return os.path.isfile(os.path.join(self.path, BOARD_MARK))

    def check(self):
        if not self.exists():
            raise VswitchError(f"{self.path} is not a board (no {BOARD_MARK} file)")

    # Geometry, from board.conf over the model's defaults.
    def geometry(self):
        erasesize = DEFAULT_ERASESIZE
        sizes = dict(PARTITIONS)
        conf = os.path.join(self.dev, "board.conf")
        if os.path.exists(conf):
            with open(conf) as f:
                for line in f:
                    name, sep, value = line.strip().partition("=")
                    if not sep:
                        continue
                    if name == "erasesize":
                        erasesize = int(value, 0)
                    elif name.startswith("mtd-") and name[4:] in sizes:
                        sizes[name[4:]] = int(value, 0)
        return erasesize, sizes

    def partition_file(self, name):
        if name not in PARTITION_NAMES:
            raise VswitchError(f"no partition {name!r}")
        return os.path.join(self.dev, f"mtd-{name}.bin")

    def read_partition(self, name, offset=0, length=None):
        with open(self.partition_file(name), "rb") as f:
            f.seek(offset)
            return f.read() if length is None else f.read(length)

    def write_partition(self, name, offset, data):
        size = self.geometry()[1][name]
        if offset + len(data) > size:
            raise VswitchError(
                f"{len(data)} bytes at {offset} do not fit partition {name} ({size} bytes)")
        with open(self.partition_file(name), "r+b") as f:
            f.seek(offset)
            f.write(data)

    def vpd(self, offset, length=1):
        with open(os.path.join(self.dev, EEPROM_FILE), "rb") as f:
            f.seek(offset)
            data = f.read(length)
        return data[0] if length == 1 else data

    def set_vpd(self, offset, value):
        if not 0 <= offset < EEPROM_SIZE or not 0 <= value <= 255:
            raise VswitchError(f"VPD byte {offset:#x}={value} out of range")
        with open(os.path.join(self.dev, EEPROM_FILE), "r+b") as f:
            f.seek(offset)
            f.write(bytes([value]))

    def log_lines(self):
        try:
            with open(self.log, errors="replace") as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def append_log(self, line):
        with open(self.log, "a") as f:
            f.write(line + "\n")


def create_board(path, erasesize=DEFAULT_ERASESIZE, sizes=None, force=False):
    """Makes a board with erased flash, an erased VPD EEPROM, a bus-1 device
    with zeroed registers and an empty user partition."""
    board = Board(path)
    if os.path.exists(board.path) and os.listdir(board.path):
        if not force:
            raise VswitchError(f"{board.path} exists and is not empty (use --force)")
        if not board.exists():
            raise VswitchError(f"{board.path} is not a board; refusing to replace it")
        shutil.rmtree(board.path)
    all_sizes = dict(PARTITIONS)
    all_sizes.update(sizes or {})
    if erasesize <= 0:
        raise VswitchError("erase size must be positive")
    for name, size in all_sizes.items():
        if size <= 0 or size % erasesize:
            raise VswitchError(
                f"partition {name}: {size} bytes is not a multiple of the erase size {erasesize}")
    os.makedirs(board.dev)
    os.makedirs(board.user)
    with open(os.path.join(board.dev, "board.conf"), "w") as f:
        f.write(f"erasesize={erasesize}\n")
        for name in PARTITION_NAMES:
            f.write(f"mtd-{name}={all_sizes[name]}\n")
    for name in PARTITION_NAMES:
        fill_file(board.partition_file(name), all_sizes[name], 0xFF)
    fill_file(os.path.join(board.dev, EEPROM_FILE), EEPROM_SIZE, 0xFF)
    fill_file(os.path.join(board.dev, BUS1_FILE), BUS1_SIZE, 0x00)
    open(board.log, "a").close()
    with open(os.path.join(board.path, BOARD_MARK), "w") as f:
        f.write("virtual switch board, made by sim/vswitch\n")
    return board


def fill_file(path, size, byte):
    block = bytes([byte]) * 65536
    with open(path, "wb") as f:
        left = size
        while left:
            n = min(left, len(block))
            f.write(block[:n])
            left -= n


def make_env_image(entries, size):
    """An environment partition image made by u-boot-tools' mkenvimage: the
    CRC-32 word of the PowerPC board (big-endian), then NUL-ended entries."""
    tool = shutil.which("mkenvimage")
    if not tool:
        raise VswitchError("mkenvimage not found (install u-boot-tools)")
    for entry in entries:
        if "=" not in entry or "\n" in entry:
            raise VswitchError(f"bad environment entry {entry!r} (want NAME=VALUE)")
    with tempfile.TemporaryDirectory(prefix="vswitch-env-") as tmp:
        text = os.path.join(tmp, "env.txt")
        out = os.path.join(tmp, "env.bin")
        with open(text, "w") as f:
            f.write("".join(e + "\n" for e in entries))
        result = subprocess.run([tool, "-b", "-s", str(size), "-o", out, text],
                                capture_output=True, text=True)
        if result.returncode != 0:
            raise VswitchError("mkenvimage failed: " + result.stderr.strip())
        with open(out, "rb") as f:
            return f.read()


def parse_env_image(data):
    """(checksum good, [entries]) of an environment partition image."""
    stored = struct.unpack(">I", data[:4])[0]
    good = stored == zlib.crc32(data[4:])
    entries = []
    for raw in data[4:].split(b"\0"):
        if not raw:
            break
        entries.append(raw.decode("latin-1"))
    return good, entries


def apply_settings(board, args):
    """Writes the state that create and set take on the command line."""
    if args.image1 or args.image2:
        os.makedirs(os.path.join(board.user, "images"), exist_ok=True)
    for slot, source in (("image1", args.image1), ("image2", args.image2)):
        if source:
            shutil.copyfile(source, os.path.join(board.user, "images", slot))
    if args.rescue:
        with open(args.rescue, "rb") as f:
            board.write_partition("rescue", 0, f.read())
    entries = list(args.env or [])
    if args.env_file:
        with open(args.env_file) as f:
            entries += [line.rstrip("\n") for line in f if line.strip()]
    if entries or args.env_clear:
        size = board.geometry()[1]["ubootenv"]
        board.write_partition("ubootenv", 0, make_env_image(entries, size))
    if args.boot_slot is not None:
        board.set_vpd(VPD_BOOT_SLOT, args.boot_slot)
    if args.usb_boot is not None:
        board.set_vpd(VPD_USB_BOOT, args.usb_boot)
    for setting in args.vpd or []:
        offset, _, value = setting.partition("=")
        try:
            board.set_vpd(int(offset, 0), int(value, 0))
        except ValueError:
            raise VswitchError(f"bad --vpd {setting!r} (want OFFSET=BYTE)")
    if getattr(args, "no_usb", False) and os.path.exists(board.usb):
        os.remove(board.usb)
    if args.usb:
        make_stick_from_dir(board.usb, args.usb, args.usb_layout)
    if args.usb_image:
        shutil.copyfile(args.usb_image, board.usb)
    if args.boot_chain:
        with open(args.boot_chain, "rb") as f:
            install_chain(board, f.read())
    if getattr(args, "no_boot_check", False):
        set_checked(board, False)

