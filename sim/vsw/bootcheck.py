"""The board's own start before the launcher: the boot loader runs from its
flash partition and loads the kernel, the device tree and the root
filesystem from theirs. A power cut inside one of them leaves a board that
does not start at all, whatever the launcher could have done.

A board whose boot chain was installed (`vswitch create/set --boot-chain
FILE`) has this checked at every power-on; boards made without one hold
erased partitions and boot the launcher as before, since most boards only
serve tests of the launcher.

What the check can tell: that the kernel, device-tree and root-filesystem
partitions each begin with a whole record of their own type whose CRC
holds (the installed form of the record format), and that the boot
loader's payload carries its version header at byte 240 and holds no
erased piece. The boot-loader partition has no record header and no CRC
of its own: an install erases a sector and programs it in 1 KiB pieces, so
a cut between two of its requests leaves at least one whole 1 KiB piece of
0xFF within the payload, unless the bytes it was to receive were 0xFF too.
A cut inside an erase (the sector half erased) or inside the payload's
last write need not.

What it cannot tell: a boot loader whose bytes are wrong but not erased;
one that holds 1 KiB of 0xFF of its own (taken as damaged); records that
are each whole but of different versions (a cut between two partitions);
and whether a record's payload would actually run."""

import os
import struct
import zlib

from vsw.common import VswitchError

# The installer's type words (record bytes 8..11).
MAGIC = {"application": 0x01504754, "uboot": 0x02504754, "kernel": 0x03504754,
         "rfs": 0x04504754, "dft": 0x05504754, "diags": 0x06504754}
# Where the installer puts each flash type.
PLACE = {"uboot": "uboot", "kernel": "kernel", "dft": "devicetree", "rfs": "rfs",
         "diags": "rescue"}
# The partitions a board needs to start, in the order its boot loader uses them.
CHAIN = [("uboot", "uboot"), ("kernel", "kernel"), ("devicetree", "dft"), ("rfs", "rfs")]
UBOOT_HEADER_AT = 240
UBOOT_LIMIT = 524288
PIECE = 1024
# Present in a board directory: the boot chain is checked at power-on.
MARK = "boot-chain"


def records(data):
    """[(type name, whole record bytes)] of an image file; an unknown type
    word or a short record is refused."""
    names = {v: k for k, v in MAGIC.items()}
    out, at = [], 0
    while at < len(data):
        if at + 16 > len(data):
            raise VswitchError(f"image: {len(data) - at} stray bytes at {at}")
        length, magic = struct.unpack_from(">II", data, at + 4)
        if magic not in names or at + 16 + length > len(data):
            raise VswitchError(f"image: no whole record at byte {at}")
        out.append((names[magic], data[at:at + 16 + length]))
        at += 16 + length
    return out


def record_damage(data, kind):
    """Why a partition does not begin with a good record of `kind`, or None."""
    if len(data) < 16:
        return "no record header"
    crc, length, magic = struct.unpack_from(">III", data)
    if magic != MAGIC[kind]:
        return f"no {kind} record header (type word 0x{magic:08x})"
    if 16 + length > len(data):
        return f"record of {16 + length} bytes longer than the partition"
    # The record's CRC word is the complement of zlib's CRC-32 of bytes 4 on.
    if zlib.crc32(memoryview(data)[4:16 + length]) ^ 0xFFFFFFFF != crc:
        return "record CRC mismatch"
    return None


def uboot_damage(data):
    """Why a boot-loader partition does not hold a whole payload, or None."""
    if len(data) < UBOOT_HEADER_AT + 16:
        return "no version header at byte 240"
    length, magic = struct.unpack_from(">II", data, UBOOT_HEADER_AT + 4)
    if magic != MAGIC["uboot"]:
        return "no version header at byte 240"
    if not UBOOT_HEADER_AT + 16 <= length <= min(len(data), UBOOT_LIMIT):
        return f"version header length {length} out of range"
    view = memoryview(data)
    for at in range(0, length, PIECE):
        piece = view[at:min(at + PIECE, length)]
        if piece == b"\xff" * len(piece):
            return f"erased piece at 0x{at:x} within its {length} bytes"
    return None


def partition_damage(name, data):
    """Why the chain partition `name` holding `data` would stop the board."""
    kind = dict(CHAIN)[name]
    return uboot_damage(data) if kind == "uboot" else record_damage(data, kind)


def chain_damage(board):
    """(partition, why) of the first chain partition that would stop the
    board, or None when all of them are good."""
    for name, _ in CHAIN:
        why = partition_damage(name, board.read_partition(name))
        if why:
            return name, why
    return None


def checked(board):
    return os.path.exists(os.path.join(board.path, MARK))


def power_on(board):
    """None when the board starts (or is not checked); otherwise the boot's
    result: the board stops before anything runs."""
    if not checked(board):
        return None
    damage = chain_damage(board)
    return ("nostart", damage) if damage else None


def install_chain(board, image):
    """Writes the flash records of an image file into their partitions as
    the installer places them, and turns the power-on check on."""
    for kind, record in records(image):
        if kind not in PLACE:
            raise VswitchError(f"boot chain: a {kind} record goes into no flash partition")
        board.write_partition(PLACE[kind], 0, record[16:] if kind == "uboot" else record)
    set_checked(board, True)


def set_checked(board, on):
    path = os.path.join(board.path, MARK)
    if on:
        with open(path, "w") as f:
            f.write("the boot chain is checked at power-on\n")
    elif os.path.exists(path):
        os.remove(path)
