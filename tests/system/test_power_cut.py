"""Power cuts on the virtual machine: the machine loses power at a chosen
flash write (a cut-at-write rule, which its flash serves) while the
launcher writes a flash record or a slot file from the stick, as a board
loses power, and is powered on again with the stick still in. What the
flash and the user partition's JFFS2 hold after the cut, and the start-up
that repairs them. The namespaces' machine has its own cuts of the
launcher's writes (test_install_stops.py, test_usb_boot.py)."""

import os
import random

import pytest

from conftest import (APP_ENDED, BOOT_SLOT, PPC_VM, VM, app_archive, fill_partitions,
                      make_image, pattern, set_faults, usb_board, user_file)

R2 = "QLX5270_replace2_OS.img"
# Bytes gzip cannot shrink, so that the slot file takes a while to write.
BIG = {"home/bin/filler": (random.Random(7).randbytes(3 << 20), 0o644)}


def flash_record(tmp_path):
    return make_image(tmp_path, [("rfs", "5.0.0.1", pattern(9, 4 << 20))])


def slot_file(tmp_path):
    return make_image(tmp_path, [("application", "2.0.0.2", app_archive("r2", extra=BIG))])


# The stick's file, the image it holds, the flash write (counted over the
# machine from power-on) that the power does not outlive, well inside the
# install's writes (4096 of a 1 KiB piece each for the record; two or so a
# 4 KiB JFFS2 node for the slot file), and the first start after the cut
# up to the application's banner.
CUTS = {
    "flash-record": ("QLX5270_Boot.img", flash_record, 100, "Boot image found on USB.\n"),
    "slot-file": (R2, slot_file, 200,
                  "Image2 has been successfully replaced\nUSB replacement image: board will "
                  "boot with image2.\nBooting image '2'\nAPP r2 "),
}


@pytest.mark.vm
@pytest.mark.parametrize("case", CUTS)
def test_power_cut_during_an_install_then_power_on(case, make_board, terminal, tmp_path):
    if not VM:
        pytest.skip("the namespaces' machine cuts the launcher's writes in its own tests")
    if PPC_VM:
        pytest.skip("the PowerPC machine's NOR is QEMU's, which cannot stop at a chosen "
                    "write: test_ppc_machine.py cuts it in the middle of a record")
    name, make, write, repaired = CUTS[case]
    image = make(tmp_path)
    board = usb_board(make_board, tmp_path, {name: image})
    before = fill_partitions(board)
    set_faults(board, f"cut-at-write {write}")
    assert terminal(board).finish() == ("power cut", 1)
    set_faults(board)
    # What had landed stays: part of the record, never all of it, and no
    # other partition touched.
    if case == "flash-record":
        record, rfs = image, board.read_partition("rfs")
        landed = next((i for i in range(len(record)) if rfs[i] != record[i]), len(record))
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
