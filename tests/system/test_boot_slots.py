"""The boot on the virtual switch, driven through its console: which slot the
VPD chooses, the retry of the other slot, SIGINT during the boot, and the
board reset when nothing boots (also when "reboot" cannot be started)."""

import os

import pytest

from bootlib import (APP_EXIT, app_image, in_order, make_image, app_archive, set_faults,
                     start)
from conftest import vswitch

BOOT_SLOT = vswitch.VPD_BOOT_SLOT
BOOTED = vswitch.VPD_BOOTED_IMAGE


def kernel_only(tmp_path):
    return make_image(tmp_path, [("kernel", "1.2.3.4", b"K" * 1000)])


@pytest.mark.parametrize("vpd_value, first", [(1, 1), (2, 2), (0, 1), (3, 1), (255, 1),
                                              (None, 1)])
def test_vpd_boot_slot_chooses_the_first_slot_and_the_other_is_tried_next(
        vpd_value, first, make_board, boot_board, launcher, preload, tmp_path):
    other = 3 - first
    images = {first: kernel_only(tmp_path), other: app_image(tmp_path, f"slot{other}")}
    board = make_board(image1=images[1], image2=images[2],
                       boot_slot=vpd_value if vpd_value is not None else 2)
    if vpd_value is None:
        # The EEPROM does not answer: the read gives 0, and so does every
        # write, which leaves the booted-image byte as it was.
        set_faults(board, "nak 0 54")
    s = start(boot_board, board, launcher, preload)
    s.expect(f"APP slot{other} ")
    assert s.finish() == (f"application exited with status {APP_EXIT}", 1)
    assert in_order(s.out_lines(), [f"Booting image '{first}'", f"Booting image '{other}'"])
    assert s.out().count("Booting image") == 2
    assert s.err() == ("Image has invalid header 0x3504754. (0x6504754)\n"
                       f"Image{first} has invalid header... trying Image{other}.\n")
    if vpd_value is None:
        assert board.vpd(BOOTED) == 0xFF
        assert board.vpd(BOOT_SLOT) == 2  # written nowhere, read as 0
    else:
        assert board.vpd(BOOTED) == other
        assert board.vpd(BOOT_SLOT) == vpd_value
    assert s.log() == ["mount -o sync -t jffs2 /dev/mtd-user /user", "backtrace",
                       f"vswitch: application exited with status {APP_EXIT}"]


def test_sigint_during_the_boot_changes_nothing(make_board, boot_board, launcher, preload,
                                                tmp_path):
    # A payload of some size keeps the launcher busy with the record for a
    # while; with the one-second pause before the unpack, the Ctrl-C sent on
    # seeing the boot message reaches the launcher itself, not the unpack.
    big = make_image(tmp_path, [("application", "1.0.0.1", app_archive("one"))])
    filler = make_image(tmp_path, [("kernel", "1.0.0.0", os.urandom(4 << 20))])
    board = make_board(image1=filler + big, image2=app_image(tmp_path, "two"), boot_slot=1)
    s = start(boot_board, board, launcher, preload)
    s.expect("Booting image '1'\n")
    s.send("\x03")
    s.expect("APP one ")
    assert s.finish() == (f"application exited with status {APP_EXIT}", 1)
    assert s.err() == ""
    # The line discipline echoes ^C (so the key did raise SIGINT); the
    # launcher adds nothing to it.
    assert "^C" in s.out()
    lines = s.out().replace("^C", "").splitlines()
    assert lines[0] == "Booting image '1'" and lines[1].startswith("APP one ")
    assert lines[2:] == ["TMP [home ]"]
    assert [line for line in s.out_lines() if "Booting" in line] == ["Booting image '1'"]
    assert board.vpd(BOOTED) == 1 and board.vpd(BOOT_SLOT) == 1
    assert s.log()[-2:] == ["backtrace", f"vswitch: application exited with status {APP_EXIT}"]


def test_nothing_bootable_resets_the_board(make_board, boot_board, launcher, preload):
    board = make_board(boot_slot=1)  # no slot files, erased rescue partition
    s = start(boot_board, board, launcher, preload)
    assert s.finish() == ("board asked for a reboot", 0)
    assert s.out_lines() == ["Booting image '1'"]
    assert s.err() == ("Failed to open Application image 1. Trying image 2.\n"
                       "Failed to open Application image 2. Trying rescue image\n"
                       "Image not found... \n")
    assert s.log() == ["mount -o sync -t jffs2 /dev/mtd-user /user",
                       "vswitch: init was asked to reboot", "vswitch: board asked for a reboot"]
    assert board.vpd(BOOTED) == 0xFF and board.vpd(BOOT_SLOT) == 1


def test_reboot_that_cannot_be_started_is_reported_and_exit_status_is_0(
        make_board, boot_board, launcher, preload):
    # The preload's fail-system rule: every system() of the launcher returns
    # -1 without starting anything. The mount therefore does not happen
    # either, so the slot files are missing and the rescue partition is
    # erased: everything ends in the board reset.
    board = make_board(boot_slot=1)
    set_faults(board, "fail-system")
    s = start(boot_board, board, launcher, preload)
    assert s.finish() == ("launcher exited with status 0", 1)
    assert s.out_lines() == ["Booting image '1'"]
    assert s.err() == ("Failed to open Application image 1. Trying image 2.\n"
                       "Failed to open Application image 2. Trying rescue image\n"
                       "Image not found... \n"
                       "System reboot failed, please power-cycle.\n")
    assert s.log() == ["vswitch: launcher exited with status 0"]
