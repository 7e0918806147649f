"""Power cuts on the virtual machine (`vswitch cut`): the machine is killed
while the launcher writes a flash record or a slot file from the stick, as
a board loses power, and is powered on again with the stick still in. What
the flash and the user partition's JFFS2 hold after the cut, and the
start-up that repairs them. The namespaces' machine cuts at a chosen write
instead (test_install_stops.py, test_usb_boot.py)."""

import os
import random

import pytest

from conftest import (APP_ENDED, BOOT_SLOT, VM, app_archive, fill_partitions, make_image,
                      pattern, usb_board, user_file, wait_until)
from vsw.vm import cut_power

R2 = "QLX5270_replace2_OS.img"
# Bytes gzip cannot shrink, so that the slot file takes a while to write.
BIG = {"home/bin/filler": (random.Random(7).randbytes(3 << 20), 0o644)}


def cut_during(t, board, label, landed):
    """Cuts the power once `label`'s percentage display has moved and the
    board's files show `landed`: the machine writes back its flash a moment
    after the launcher wrote it."""
    t.expect(label)
    t.expect("%")
    wait_until(landed, "the install's first write in the board's files")
    cut_power(board)  # what `vswitch cut` does, without a program's start first
    assert t.finish() == ("power cut", 1)


def flash_record(tmp_path):
    return make_image(tmp_path, [("rfs", "5.0.0.1", pattern(9, 4 << 20))])


def slot_file(tmp_path):
    return make_image(tmp_path, [("application", "2.0.0.2", app_archive("r2", extra=BIG))])


# The stick's file, the image it holds, the install's label, and the first
# start after the cut up to the application's banner.
CUTS = {
    "flash-record": ("QLX5270_Boot.img", flash_record, "Installing Root Filesystem: ",
                     "Boot image found on USB.\n"),
    "slot-file": (R2, slot_file, "Installing image as image2: ",
                  "Image2 has been successfully replaced\nUSB replacement image: board will "
                  "boot with image2.\nBooting image '2'\nAPP r2 "),
}


@pytest.mark.vm
@pytest.mark.parametrize("case", CUTS)
def test_power_cut_during_an_install_then_power_on(case, make_board, terminal, tmp_path):
    if not VM:
        pytest.skip("the namespaces' machine cuts at a chosen write instead")
    name, make, label, repaired = CUTS[case]
    image = make(tmp_path)
    board = usb_board(make_board, tmp_path, {name: image})
    before = fill_partitions(board)
    # On the flash, the record's first piece is in the partition file when
    # the cut comes (a slot file's JFFS2 nodes are not read until power-off).
    first_piece = ((lambda: board.read_partition("rfs", 0, 1024) == image[:1024])
                   if case == "flash-record" else (lambda: True))
    cut_during(terminal(board), board, label, first_piece)
    # What had landed stays: part of the record, never all of it, and no
    # other partition touched.
    if case == "flash-record":
        record, rfs = image[:], board.read_partition("rfs")
        landed = next(i for i in range(len(record)) if rfs[i] != record[i])
        assert 0 < landed < len(record)
        assert {p: board.read_partition(p) for p in before if p != "rfs"} == {
            p: data for p, data in before.items() if p != "rfs"}
    else:
        slot = os.path.join(board.user, "images", "image2")
        kept = user_file(board, "images/image2") if os.path.exists(slot) else b""
        assert len(kept) < len(image) and image.startswith(kept)
        assert board.vpd(BOOT_SLOT) == 1
    t = terminal(board)
    t.expect(repaired)
    if case == "flash-record":
        assert t.finish() == ("board asked for a reboot", 0)
        assert board.read_partition("rfs", 0, len(image)) == image
    else:
        assert t.finish() == APP_ENDED and user_file(board, "images/image2") == image
