"""The power-cut benchmark's images and boards: the image of a switch's
size in the versions the updates bring, the board that carries the oldest,
and one power-on or one install on the virtual switch (root, host build)."""

import os
import random
import re
import shutil
import struct
import sys
from dataclasses import dataclass
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests" / "system"))

from conftest import (APP_ENDED, APP_SCRIPT, BOOT_SLOT, DIAG_SCRIPT, LAUNCHER,  # noqa: E402
                      PRELOAD, Terminal, devices_log, driver, make_image, set_faults, tar_gz,
                      version_id, vswitch)
from vsw import bootcheck  # noqa: E402  (sim/, put on the path by conftest)

KIB, MIB = 1024, 1 << 20
SECTOR = 128 * KIB
PIECE = 64 * KIB  # the installer writes a slot file in pieces of this size
ORDER = ["uboot", "kernel", "dft", "rfs", "diags", "application"]
# Payload bytes per record; the kernel record fills its 3 MiB partition.
SIZES = {"uboot": 512 * KIB, "kernel": 3 * MIB - 16, "dft": 64 * KIB, "rfs": 12 * MIB,
         "diags": 2 * MIB, "application": 4 * MIB}
# The flash partitions an install writes, in its order, with what they hold.
PARTS = ["uboot", "kernel", "devicetree", "rfs", "rescue"]
PART_NAMES = {"uboot": "boot loader", "kernel": "kernel", "devicetree": "device tree",
              "rfs": "root filesystem", "rescue": "diagnostics"}
OLD = "1.0.0.1"
# The image file in the board directory, as the switch sees it.
IMAGE_FILE = "install.img"
IN_SWITCH = "/.vswitch/" + IMAGE_FILE
WAIT = 1800
FLASH_LINE = re.compile(r"mtd-(\S+) (erase|write|read) 0x([0-9a-f]+) (\S+)$")
VPD_WRITE = re.compile(r"i2c-0 write 0x54 ([0-9a-f]{2}) ([0-9a-f]{2}) ([0-9a-f]{2})$")
# Where in a changed record's payload the one changed byte lies. In the
# partition's first sector, which also holds the header whose CRC and
# version change with it, the record differs in that sector only: the best
# case. Anywhere else (the common case) it differs in that sector and the
# header's: two sectors.
HEADER_SECTOR_BYTE = 4096
OTHER_SECTOR_BYTE = {"rfs": 5 * MIB + 4096, "kernel": MIB + 4096}


# ------------------------------------------------------------------ images

def payloads(version, seed):
    rnd = random.Random(seed)
    uboot = bytearray(rnd.randbytes(SIZES["uboot"]))
    uboot[240:256] = struct.pack(">IIII", 0, SIZES["uboot"], bootcheck.MAGIC["uboot"],
                                 version_id(version))
    pad = {kind: rnd.randbytes(SIZES[kind] - 64 * KIB) for kind in ("diags", "application")}
    return {
        "uboot": bytes(uboot),
        "kernel": rnd.randbytes(SIZES["kernel"]),
        "dft": rnd.randbytes(SIZES["dft"]),
        "rfs": rnd.randbytes(SIZES["rfs"]),
        "diags": tar_gz({"mpdiag.elf.strip": (DIAG_SCRIPT.format(name=f"diags-{version}",
                                                                 status=7).encode(), 0o755),
                         "pad.bin": (pad["diags"], 0o644)}),
        "application": tar_gz({
            "home/bin/mp.elf.strip": (APP_SCRIPT.format(name=f"app-{version}",
                                                        status=7).encode(), 0o755),
            "home/bin/distro-id": (b"bench\n", 0o644),
            "home/pad.bin": (pad["application"], 0o644)}),
    }


@dataclass
class Update:
    """One update as a field engineer installs it over the one before."""
    number: int
    label: str
    name: str       # for file names
    image: bytes
    slot: int       # the slot its application goes into
    app: str        # the application it brings, as it announces itself
    old_app: str    # the application the board started before it


def with_new(records, kind, version, payload):
    return [(k, version, payload) if k == kind else (k, v, p) for k, v, p in records]


def one_byte_changed(records, kind, version, at):
    """The records with one byte of `kind`'s payload changed and a new
    version."""
    payload = bytearray(dict((k, p) for k, _, p in records)[kind])
    payload[at] ^= 0xFF
    return with_new(records, kind, version, bytes(payload))


def updates(tmp):
    """(the image the board carries first, [the updates in order]). Each
    application goes into the slot the board does not boot, as an engineer
    answers the install's slot question."""
    old = [(k, OLD, p) for k, p in payloads(OLD, 1).items()]
    whole = [(k, "2.0.0.2", p) for k, p in payloads("2.0.0.2", 2).items()]
    app = with_new(whole, "application", "3.0.0.3", payloads("3.0.0.3", 3)["application"])
    rfs = one_byte_changed(app, "rfs", "4.0.0.4", HEADER_SECTOR_BYTE)
    rfs2 = one_byte_changed(rfs, "rfs", "5.0.0.5", OTHER_SECTOR_BYTE["rfs"])
    kernel = one_byte_changed(rfs2, "kernel", "6.0.0.6", HEADER_SECTOR_BYTE)
    kernel2 = one_byte_changed(kernel, "kernel", "7.0.0.7", OTHER_SECTOR_BYTE["kernel"])
    steps = [("a whole new image (every record changed)", "whole-image", whole, "app-2.0.0.2"),
             ("a new application only", "application", app, "app-3.0.0.3"),
             ("a root filesystem changed in its header's sector (best case)",
              "rfs-header-sector", rfs, "app-3.0.0.3"),
             ("a root filesystem changed in another sector (common case)",
              "rfs-other-sector", rfs2, "app-3.0.0.3"),
             ("a kernel changed in its header's sector (best case)", "kernel-header-sector",
              kernel, "app-3.0.0.3"),
             ("a kernel changed in another sector (common case)", "kernel-other-sector",
              kernel2, "app-3.0.0.3"),
             ("the same image again", "same-image", kernel2, "app-3.0.0.3")]
    olds = [f"app-{OLD}"] + [app for _, _, _, app in steps]
    return image_of(tmp, old), [Update(i, label, name, image_of(tmp, recs), 1 + i % 2, app,
                                       olds[i - 1])
                                for i, (label, name, recs, app) in enumerate(steps, 1)]


def image_of(tmp, records):
    order = {k: i for i, k in enumerate(ORDER)}
    return make_image(tmp, sorted(records, key=lambda r: order[r[0]]))


def records(image):
    return dict(bootcheck.records(image))


# ------------------------------------------------------------------ boards

def slot_path(board, slot):
    return os.path.join(board.user, "images", f"image{slot}")


class Saved:
    """A board's flash, VPD and user files, put back at will."""

    def __init__(self, board, where):
        self.flash = {p: board.read_partition(p) for p in vswitch.PARTITION_NAMES}
        self.vpd = board.vpd(0, vswitch.EEPROM_SIZE)
        self.user = str(where)
        shutil.rmtree(self.user, ignore_errors=True)
        shutil.copytree(board.user, self.user, symlinks=True)

    def restore(self, board, flash=None, vpd=None):
        for part, data in dict(self.flash, **(flash or {})).items():
            board.write_partition(part, 0, data)
        with open(os.path.join(board.dev, vswitch.EEPROM_FILE), "wb") as f:
            f.write(vpd or self.vpd)
        shutil.rmtree(board.user)
        shutil.copytree(self.user, board.user, symlinks=True)

    def slot_file(self, slot):
        path = os.path.join(self.user, "images", f"image{slot}")
        return open(path, "rb").read() if os.path.exists(path) else None


def old_board(tmp, name, old_image, **vpd):
    """A board carrying the older image: its flash records installed, its
    application in slot 1 (which the VPD names), the boot chain checked."""
    board = vswitch.create_board(str(tmp / name))
    recs = bootcheck.records(old_image)
    bootcheck.install_chain(board, b"".join(r for kind, r in recs if kind != "application"))
    os.makedirs(os.path.join(board.user, "images"))
    with open(slot_path(board, 1), "wb") as f:
        f.write(dict(recs)["application"])
    board.set_vpd(BOOT_SLOT, 1)
    for offset, value in vpd.items():
        board.set_vpd(int(offset, 0), value)
    return board


def power_on(board, tmp, launcher=LAUNCHER, args=(), send=None):
    """One boot to its end; (console text, final line, exit status)."""
    # Both logs start afresh: a file-size cut must fall in the slot file.
    open(os.path.join(board.dev, "devices.log"), "w").close()
    open(board.log, "w").close()
    t = Terminal(board, tmp, launcher, PRELOAD, args=list(args), timeout=WAIT, tag=False)
    try:
        if send:
            t.expect(send[0], timeout=WAIT)
            t.send(send[1])
        final = t.finish(timeout=WAIT)
    finally:
        t.kill()
    return t.out(), final


def install(board, tmp, image, slot, faults=(), args=()):
    """The install driver installs `image` as the rescue menu's install
    does (skip-if-same off, the application into `slot`); the console
    text, the final line and the device log of the boot."""
    with open(os.path.join(board.path, IMAGE_FILE), "wb") as f:
        f.write(image)
    set_faults(board, *faults)
    try:
        out, final = power_on(board, tmp, driver("install_driver"), args=args,
                              send=("install driver: path skip slot? ", f"{IN_SWITCH} 0 {slot}\r"))
    finally:
        set_faults(board)
    return out, final, devices_log(board)


def answer(out, final):
    """What a power-on came to: "does NOT start", the application that the
    launcher started ("app-2.0.0.2"), or what else ended it."""
    if final[0].startswith("board would not start"):
        return "does NOT start"
    m = re.search(r"^APP (\S+) ", out, re.M)
    if m and final == APP_ENDED:
        return m.group(1)
    return f"no application ({final[0]})"


def flash_requests(lines, verbs=("erase", "write")):
    """[(partition, verb, offset, length)] of the device log's flash requests
    that succeeded, in order."""
    out = []
    for line in lines:
        m = FLASH_LINE.match(line)
        if m and m.group(2) in verbs:
            out.append((m.group(1), m.group(2), int(m.group(3), 16), int(m.group(4), 0)))
    return out


def vpd_writes(lines):
    """[(line number, offset, value)] of the device log's VPD byte writes."""
    out = []
    for i, line in enumerate(lines):
        m = VPD_WRITE.match(line)
        if m:
            out.append((i, int(m.group(1) + m.group(2), 16), int(m.group(3), 16)))
    return out
