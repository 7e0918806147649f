"""The rescue partition's image on the virtual switch, reached when neither
slot file opens: diagnostics, the recovery image with its install question,
an erased or damaged partition, and an archive that cannot be written."""

import pexpect
import pytest

from bootlib import (APP_EXIT, ERR_TAG, Session, app_archive, diag_archive, flip_payload_byte,
                     in_order, make_image, start)
from conftest import BUILD_DIR, VSWITCH, WAIT, user_file, vswitch

BOOTED = vswitch.VPD_BOOTED_IMAGE
BOOT_SLOT = vswitch.VPD_BOOT_SLOT
PROMPT = "Install recovery image as image 1 or 2 (hit return to just boot image): "
NO_SLOT_FILES = ("Failed to open Application image 1. Trying image 2.\n"
                 "Failed to open Application image 2. Trying rescue image\n")


def recovery(tmp_path):
    return make_image(tmp_path, [("application", "3.0.0.3", app_archive("recovery"))])


def test_diagnostics_image_is_launched_without_a_question(make_board, boot_board, launcher,
                                                          preload, tmp_path):
    rescue = make_image(tmp_path, [("diags", "9.0.0.1", diag_archive("rescue"))])
    board = make_board(rescue=rescue, boot_slot=1, vpd={BOOTED: 1})
    s = start(boot_board, board, launcher, preload)
    s.expect("DIAG rescue ")
    assert s.finish() == (f"application exited with status {APP_EXIT}", 1)
    assert s.err() == NO_SLOT_FILES
    assert s.out_lines()[:3] == ["Booting image '1'", "Launching diagnostics image",
                                 "install diags image"]
    assert "Install recovery" not in s.out()
    assert board.vpd(BOOTED) == 4 and board.vpd(BOOT_SLOT) == 1
    assert not vswitch.os.path.exists(vswitch.os.path.join(board.user, "images"))


@pytest.mark.parametrize("answer, slot", [("2\r", 2), ("12\r", 1)])
def test_recovery_image_installed_as_a_slot(answer, slot, make_board, boot_board, launcher,
                                            preload, tmp_path):
    record = recovery(tmp_path)
    board = make_board(rescue=record, boot_slot=3 - slot)
    s = start(boot_board, board, launcher, preload)
    s.expect(PROMPT)
    s.send(answer)
    s.expect("APP recovery ")
    assert s.finish() == (f"application exited with status {APP_EXIT}", 1)
    first = 3 - slot
    assert s.err() == (f"Failed to open Application image {first}. Trying image {slot}.\n"
                       f"Failed to open Application image {slot}. Trying rescue image\n")
    out = s.out()
    assert (f"{PROMPT}{answer[:-1]}\n\nInstalling recovery image as image{slot}...\n"
            f"Setting boot image to {slot}\n") in out
    # The whole record, header included, is the new slot file.
    assert user_file(board, f"images/image{slot}") == record
    assert not vswitch.os.path.exists(
        vswitch.os.path.join(board.user, "images", f"image{3 - slot}"))
    assert board.vpd(BOOT_SLOT) == slot and board.vpd(BOOTED) == slot
    assert s.log()[-2:] == ["backtrace", f"vswitch: application exited with status {APP_EXIT}"]


@pytest.mark.parametrize("answer", ["\r", "3\r"], ids=["enter", "three"])
def test_recovery_image_booted_without_install(answer, make_board, boot_board, launcher,
                                               preload, tmp_path):
    board = make_board(rescue=recovery(tmp_path), boot_slot=2)
    s = start(boot_board, board, launcher, preload)
    s.expect(PROMPT)
    s.send(answer)
    s.expect("APP recovery ")
    assert s.finish() == (f"application exited with status {APP_EXIT}", 1)
    assert s.err() == ("Failed to open Application image 2. Trying image 1.\n"
                       "Failed to open Application image 1. Trying rescue image\n")
    assert (f"{PROMPT}{answer[:-1]}\n\nBooting recovery image. You will need to download "
            "and install an image before rebooting\n") in s.out()
    assert board.vpd(BOOTED) == 4 and board.vpd(BOOT_SLOT) == 2
    assert not vswitch.os.path.exists(vswitch.os.path.join(board.user, "images"))


def test_recovery_image_at_end_of_input_boots_without_vpd_writes(make_board, boot_board,
                                                                 launcher, preload, tmp_path):
    board = make_board(rescue=recovery(tmp_path), boot_slot=1)
    s = start(boot_board, board, launcher, preload)
    s.expect(PROMPT)
    s.send("\x04")  # Ctrl-D on an empty canonical line: end of input
    s.expect("APP recovery ")
    assert s.finish() == (f"application exited with status {APP_EXIT}", 1)
    assert "Installing" not in s.out() and "Booting recovery image" not in s.out()
    assert board.vpd(BOOTED) == 0xFF and board.vpd(BOOT_SLOT) == 1
    writes = [line for line in open(vswitch.os.path.join(board.dev, "devices.log"))
              if line.startswith("i2c-0 write 0x54") and len(line.split()) > 5]
    assert writes == []


def test_damaged_rescue_record_is_refused(make_board, boot_board, launcher, preload, tmp_path):
    board = make_board(rescue=flip_payload_byte(recovery(tmp_path)), boot_slot=1)
    s = start(boot_board, board, launcher, preload)
    assert s.finish() == ("board asked for a reboot", 0)
    assert s.err() == NO_SLOT_FILES + "Image CRC failed. Quitting\n"
    assert PROMPT not in s.out()
    assert board.vpd(BOOTED) == 0xFF


def test_archive_that_cannot_be_opened_resets_the_board(make_board, bootable, launcher,
                                                        preload, tmp_path):
    # With 12 descriptors the launcher holds all it may (console 3, I2C 2,
    # the device log 1, flash 6): the mount's shell and every file open fail,
    # the archive of the rescue image included.
    board = make_board(rescue=recovery(tmp_path), boot_slot=1)
    child = pexpect.spawn("prlimit", ["--nofile=12:12", VSWITCH, "boot", board.path,
                                      "--launcher", launcher, "--preload", preload,
                                      "--timeout", "300", "--stderr-tag", ERR_TAG],
                          env=dict(vswitch.os.environ, SWITCH_BUILD_DIR=BUILD_DIR),
                          encoding="utf-8", codec_errors="replace", timeout=WAIT)
    s = Session(child, board)
    try:
        assert s.finish() == ("board asked for a reboot", 0)
    finally:
        if child.isalive():
            child.terminate(force=True)
    assert s.err().endswith(NO_SLOT_FILES + "Failed to open AppOS tarfile.\n")
    assert PROMPT not in s.out()
    assert board.vpd(BOOTED) == 0xFF and board.vpd(BOOT_SLOT) == 1
