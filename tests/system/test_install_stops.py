"""The installer on the virtual switch, run by the install driver with the
arguments that only the USB boot steps give it (skip-if-same, a slot chosen
by the caller) and its result shown: where an install stops and what it
says, and skip-if-same over a whole install and after power cuts."""

import os
import pathlib
import re
import struct
import zlib

import pytest

from conftest import (APP_ENDED, BOOT_SLOT, EXTRACTING, FLASH, PPC_VM, app_image, devices_log,
                      driver_install, expected_partition, fill_partitions, flip, full_image,
                      installed_form, make_image, model_only, records_of, set_faults, started,
                      user_file)

UNKNOWN = struct.pack(">IIII", 0, 8, 0x07504754, 1) + b"x" * 8
KERNEL = ("kernel", "7.0.0.1", b"k" * 20000)
DFT = ("dft", "7.0.0.1", b"d" * 2000)
APP = ("application", "7.0.0.1", b"a" * 3000)
KERNEL_DONE = "Installing Kernel:      \b\b\b\b000%\b\b\b\b100%\n"
SLOT1 = "Installing Application: Installing image as image1: "
NEW = ("/mnt/usb/new.img", 1, 2)  # the stick's new.img, skip-if-same on, into slot 2


def no_flash(board):
    """The kernel partition, on which the flash geometry is measured, of size 0."""
    conf = pathlib.Path(board.dev, "board.conf")
    conf.write_text(re.sub(r"mtd-kernel=\d+", "mtd-kernel=0", conf.read_text()))
    os.truncate(board.partition_file("kernel"), 0)


def slot1(board):
    return os.path.join(board.user, "images", "image1")


def piece(p, tmp_path):
    if isinstance(p, bytes):
        return p
    record = make_image(tmp_path, [(p[0].rstrip("!"), *p[1:])])
    return flip(record, 100) if p[0].endswith("!") else record


# Pieces of the file (a record to make, "!" after the type for one whose
# payload is damaged; or bytes), the slot given, what follows the
# "Extracting images" line ({kind} is that record's CRC as computed), the
# result, and what the board has different. The kernel is written where it
# shows 100%; no other partition, slot file or VPD byte changes.
STOPS = {
    "empty file": ([], 0, "", 0, None),
    "unknown type first": ([UNKNOWN, KERNEL], 0, "", 0, None),
    "unknown type ends the file": ([KERNEL, UNKNOWN, DFT], 0, KERNEL_DONE, 1, None),
    "bad crc of the second record": ([KERNEL, ("rfs!", "7.0.0.1", b"r" * 20000), DFT], 0,
        KERNEL_DONE + "Installing Root Filesystem: Bad crc for RFS: 0x{rfs:08x}, voiding "
        "download\n", 0, None),
    "no flash": ([DFT], 0, "Installing Device Tree: DFT image update failed\n", 0, no_flash),
    "slot file not creatable": ([APP], 1, SLOT1 + "Image1 update failed (err 21)\n", 0,
                                lambda board: os.makedirs(slot1(board))),
    "slot file not writable": ([APP], 1, SLOT1 + "    Image1 update failed (err 28)\n", 0,
                               lambda board: (os.makedirs(os.path.dirname(slot1(board))),
                                              os.symlink("/dev/full", slot1(board)))),
}


@pytest.mark.parametrize("case", STOPS)
def test_where_an_install_stops_and_what_it_says(case, make_board, terminal, tmp_path):
    pieces, slot, shown, result, change = STOPS[case]
    if change is no_flash and PPC_VM:
        pytest.skip("the PowerPC machine's kernel refuses a partition of no size")
    image = b"".join(piece(p, tmp_path) for p in pieces)
    board = make_board(usb={"x.img": image})
    (change or (lambda board: None))(board)
    before = fill_partitions(board)
    t = driver_install(terminal, board, "/mnt/usb/x.img", 0, slot)
    crcs = {kind: zlib.crc32(record[4:]) ^ 0xFFFFFFFF for kind, _, record in records_of(image)}
    assert t.out() == ("NO FLASH !\n" if change is no_flash else "") + (
        f"install driver: path skip slot? /mnt/usb/x.img 0 {slot}\n{EXTRACTING}"
        f"{shown.format(**crcs)}install driver: result {result}\n")
    for part, data in before.items():
        kernel = part == "kernel" and shown.startswith(KERNEL_DONE)
        assert board.read_partition(part) == (
            expected_partition(data, "kernel", records_of(image)[0][2]) if kernel else data), part
    assert board.vpd(BOOT_SLOT) == 0xFF


def test_power_cuts_leave_the_records_before_whole_and_an_install_with_skip_if_same_repairs(
        make_board, terminal, tmp_path):
    model_only("device log")  # at once: its boots are judged by the log
    image = full_image(tmp_path)
    records = records_of(image)
    flash = [(kind, FLASH[kind][0], record) for kind, _, record in records[:-1]]
    old_app = app_image(tmp_path, "old", version="1.0.0.1")

    def old_board(name):
        board = make_board(name=name, image1=old_app, boot_slot=1, usb={"new.img": image})
        return board, fill_partitions(board)

    def in_place(board, kind, part, record):
        data = installed_form(kind, record)
        return board.read_partition(part, 0, len(data)) == data

    def flash_writes(board):
        return [line.split()[0][4:] for line in devices_log(board)
                if line.startswith("mtd-") and " write " in line]

    # A whole install, then the same again: every record the same, nothing
    # written, result 0.
    board, before = old_board("whole")
    assert driver_install(terminal, board, *NEW).out().endswith("install driver: result 1\n")
    for kind, part, record in flash:
        assert board.read_partition(part) == expected_partition(before[part], kind, record)
    assert user_file(board, "images/image2") == records[-1][2] and board.vpd(BOOT_SLOT) == 2
    writes = flash_writes(board)
    skip = "Image has same version as existing image. Skipping update...\n"
    assert driver_install(terminal, board, *NEW).out().endswith(
        EXTRACTING + "".join(FLASH[kind][1] + skip for kind, _, _ in flash)
        + "Installing Application: Installing image as image2: Image2 has same version as "
        "existing image. Skipping update...\ninstall driver: result 0\n")
    assert flash_writes(board) == writes

    # A cut at the third write into each partition: its record cut short,
    # but for the diagnostics record, which one write holds.
    sector = board.geometry()[0]
    for index, (kind, part, record) in enumerate(flash):
        n = writes.index(part) + 3
        board, before = old_board(f"cut-{part}")
        set_faults(board, f"cut-at-write {n}")
        t = driver_install(terminal, board, *NEW)
        assert t.finish()[0] == "launcher was killed by signal 9"
        cut = [line for line in devices_log(board) if line.endswith("-> power-cut")]
        assert cut[0].startswith(f"mtd-{part} write")
        # Records before it complete, those after it untouched, and so is its
        # partition past the sectors the record occupies.
        for i, (k, p, r) in enumerate(flash):
            now, end = board.read_partition(p), -(-len(installed_form(k, r)) // sector) * sector
            if i == index:
                assert now[end:] == before[p][end:], part
            else:
                assert now == (expected_partition(before[p], k, r) if i < index else before[p]), p
        assert not os.path.exists(os.path.join(board.user, "images", "image2"))
        assert board.vpd(BOOT_SLOT) == 1
        whole = in_place(board, kind, part, record)

        # The launcher's own start: these boards have no boot chain checked.
        # With one, these cuts inside the boot loader, kernel, device tree and
        # root filesystem would leave a board that does not start at all.
        set_faults(board)
        t = terminal(board)
        assert t.finish() == APP_ENDED and started(t) == ["APP old"]
        # Complete records are skipped, the one cut short never is.
        out = driver_install(terminal, board, *NEW).out()
        assert out.endswith("result 1\n") and out.count("Skipping") == index + whole
        assert all(in_place(board, *f) for f in flash), part
        assert user_file(board, "images/image2") == records[-1][2]
