"""The fallbacks of the slot boot on the virtual switch: a slot file missing,
both missing, no bootable record and a CRC mismatch, each on the first
attempt and on the last (the other slot's retry), with and without the
shell that the boot settings can ask for."""

import pytest

from bootlib import (APP_EXIT, app_image, diag_archive, flip_payload_byte, in_order,
                     make_image, start)
from conftest import vswitch

BOOTED = vswitch.VPD_BOOTED_IMAGE
BOOT_SLOT = vswitch.VPD_BOOT_SLOT
MOUNT = "mount -o sync -t jffs2 /dev/mtd-user /user"
SHELL_PROMPT = "/ # "


def env_for(shell):
    return ["shell=on"] if shell else ["shell=off"]


def leave_shell(s):
    """The operator's interactive shell on the console: leave it."""
    s.expect(SHELL_PROMPT)
    s.send("exit\r")


def diags_rescue(tmp_path):
    return make_image(tmp_path, [("diags", "9.0.0.1", diag_archive("rescue"))])


def launched(s, name):
    """The launch of a good application, with the shell first when asked."""
    s.expect(f"APP {name} ")
    assert s.finish() == (f"application exited with status {APP_EXIT}", 1)
    assert s.log()[-2:] == ["backtrace", f"vswitch: application exited with status {APP_EXIT}"]


@pytest.mark.parametrize("shell", [False, True], ids=["no-shell", "shell"])
def test_first_attempt_own_file_missing_boots_the_other_file(
        shell, make_board, boot_board, launcher, preload, tmp_path):
    board = make_board(image1=app_image(tmp_path, "one"), boot_slot=2, env=env_for(shell))
    s = start(boot_board, board, launcher, preload)
    s.expect("Booting image '2'\n")
    if shell:
        s.expect("Dropping into shell\n")
        leave_shell(s)
        s.expect("Dropping out of shell\n")
    launched(s, "one")
    assert s.err() == "Failed to open Application image 2. Trying image 1.\n"
    assert s.out().count("Booting image") == 1
    # The requested slot is what the VPD records, not the file that was read.
    assert board.vpd(BOOTED) == 2 and board.vpd(BOOT_SLOT) == 2


@pytest.mark.parametrize("shell", [False, True], ids=["no-shell", "shell"])
def test_last_attempt_own_file_missing_reads_the_failed_file_again(
        shell, make_board, boot_board, launcher, preload, tmp_path):
    board = make_board(image1=flip_payload_byte(app_image(tmp_path, "one")), boot_slot=1,
                       rescue=diags_rescue(tmp_path), env=env_for(shell))
    s = start(boot_board, board, launcher, preload)
    s.expect("Booting image '2'\n")
    if shell:
        leave_shell(s)
    assert s.finish() == ("board asked for a reboot", 0)
    assert s.err() == ("Image1 CRC failed, trying Image2 now.\n"
                       "Failed to open Application image 2. Trying image 1.\n"
                       "Both image1 and image2 failed.\n")
    assert in_order(s.out_lines(), ["Booting image '1'", "Booting image '2'"])
    assert "DIAG" not in s.out() and "Launching diagnostics image" not in s.out()
    assert s.log() == [MOUNT, "vswitch: init was asked to reboot",
                       "vswitch: board asked for a reboot"]
    assert board.vpd(BOOTED) == 0xFF


def test_both_files_missing_boots_the_rescue_diagnostics(make_board, boot_board, launcher,
                                                         preload, tmp_path):
    board = make_board(boot_slot=1, rescue=diags_rescue(tmp_path), env=env_for(False))
    s = start(boot_board, board, launcher, preload)
    s.expect("DIAG rescue ")
    assert s.finish() == (f"application exited with status {APP_EXIT}", 1)
    assert s.err() == ("Failed to open Application image 1. Trying image 2.\n"
                       "Failed to open Application image 2. Trying rescue image\n")
    assert in_order(s.out_lines(), ["Booting image '1'", "Launching diagnostics image",
                                    "install diags image"])
    assert s.out().count("Booting image") == 1
    assert board.vpd(BOOTED) == 4 and board.vpd(BOOT_SLOT) == 1


def test_both_files_missing_and_no_rescue_image_gives_the_shell_then_reset(
        make_board, boot_board, launcher, preload):
    board = make_board(boot_slot=2, env=env_for(True))
    s = start(boot_board, board, launcher, preload)
    s.expect("Booting image '2'\n")
    leave_shell(s)
    assert s.finish() == ("board asked for a reboot", 0)
    assert s.err() == ("Failed to open Application image 2. Trying image 1.\n"
                       "Failed to open Application image 1. Trying rescue image\n"
                       "Image not found... \n")
    assert s.out().count("Booting image") == 1
    assert "Dropping into shell" not in s.out()  # the failure's shell, not the launch's
    assert s.log() == [MOUNT, "vswitch: init was asked to reboot",
                       "vswitch: board asked for a reboot"]


@pytest.mark.parametrize("shell", [False, True], ids=["no-shell", "shell"])
def test_first_attempt_without_bootable_record_tries_the_other_slot(
        shell, make_board, boot_board, launcher, preload, tmp_path):
    # A kernel record of 1000 bytes and a U-Boot record are skipped by
    # their lengths; the last header read is the U-Boot one.
    image1 = make_image(tmp_path, [("kernel", "1.0.0.0", b"k" * 1000),
                                   ("uboot", "1.0.0.0", b"u" * 77)])
    board = make_board(image1=image1, image2=app_image(tmp_path, "two"), boot_slot=1,
                       env=env_for(shell))
    s = start(boot_board, board, launcher, preload)
    s.expect("Booting image '2'\n")
    if shell:
        s.expect("Dropping into shell\n")
        leave_shell(s)
        s.expect("Dropping out of shell\n")
    launched(s, "two")
    assert s.err() == ("Image has invalid header 0x2504754. (0x6504754)\n"
                       "Image1 has invalid header... trying Image2.\n")
    assert in_order(s.out_lines(), ["Booting image '1'", "Booting image '2'"])
    assert board.vpd(BOOTED) == 2 and board.vpd(BOOT_SLOT) == 1


def test_last_attempt_without_bootable_record_boots_the_rescue_partition(
        make_board, boot_board, launcher, preload, tmp_path):
    image2 = make_image(tmp_path, [("kernel", "1.0.0.0", b"k" * 100),
                                   ("rfs", "1.0.0.0", b"r" * 100)])
    board = make_board(image1=flip_payload_byte(app_image(tmp_path, "one")), image2=image2,
                       boot_slot=1, rescue=diags_rescue(tmp_path), env=env_for(False))
    s = start(boot_board, board, launcher, preload)
    s.expect("DIAG rescue ")
    assert s.finish() == (f"application exited with status {APP_EXIT}", 1)
    assert s.err() == ("Image1 CRC failed, trying Image2 now.\n"
                       "No valid application image found. Trying rescue image\n")
    assert in_order(s.out_lines(), ["Booting image '1'", "Booting image '2'",
                                    "Launching diagnostics image", "install diags image"])
    assert board.vpd(BOOTED) == 4


def test_last_attempt_without_bootable_record_and_bad_rescue_gives_the_shell(
        make_board, boot_board, launcher, preload, tmp_path):
    image1 = make_image(tmp_path, [("dft", "1.0.0.0", b"d" * 10)])
    rescue = flip_payload_byte(diags_rescue(tmp_path))
    board = make_board(image1=image1, image2=image1, boot_slot=2, rescue=rescue,
                       env=env_for(True))
    s = start(boot_board, board, launcher, preload)
    s.expect("Booting image '1'\n")
    leave_shell(s)
    assert s.finish() == ("board asked for a reboot", 0)
    assert s.err() == ("Image has invalid header 0x5504754. (0x6504754)\n"
                       "Image2 has invalid header... trying Image1.\n"
                       "No valid application image found. Trying rescue image\n"
                       "Image CRC failed. Quitting\n")
    assert in_order(s.out_lines(), ["Booting image '2'", "Booting image '1'"])
    assert board.vpd(BOOTED) == 0xFF


@pytest.mark.parametrize("shell", [False, True], ids=["no-shell", "shell"])
def test_first_attempt_crc_mismatch_tries_the_other_slot(
        shell, make_board, boot_board, launcher, preload, tmp_path):
    board = make_board(image1=app_image(tmp_path, "one"),
                       image2=flip_payload_byte(app_image(tmp_path, "two")), boot_slot=2,
                       env=env_for(shell))
    s = start(boot_board, board, launcher, preload)
    s.expect("Booting image '1'\n")
    if shell:
        s.expect("Dropping into shell\n")
        leave_shell(s)
        s.expect("Dropping out of shell\n")
    launched(s, "one")
    assert s.err() == "Image2 CRC failed, trying Image1 now.\n"
    assert in_order(s.out_lines(), ["Booting image '2'", "Booting image '1'"])
    assert board.vpd(BOOTED) == 1 and board.vpd(BOOT_SLOT) == 2


@pytest.mark.parametrize("shell", [False, True], ids=["no-shell", "shell"])
def test_last_attempt_crc_mismatch_resets_without_the_rescue_partition(
        shell, make_board, boot_board, launcher, preload, tmp_path):
    # The id word is covered by the CRC too: slot 2's record differs from
    # its stored CRC only there.
    image2 = bytearray(app_image(tmp_path, "two"))
    image2[15] ^= 0x01
    board = make_board(image1=flip_payload_byte(app_image(tmp_path, "one")),
                       image2=bytes(image2), boot_slot=1, rescue=diags_rescue(tmp_path),
                       env=env_for(shell))
    s = start(boot_board, board, launcher, preload)
    s.expect("Booting image '2'\n")
    if shell:
        leave_shell(s)
    assert s.finish() == ("board asked for a reboot", 0)
    assert s.err() == ("Image1 CRC failed, trying Image2 now.\n"
                       "Both image1 and image2 failed.\n")
    assert "DIAG" not in s.out() and "Launching diagnostics image" not in s.out()
    assert s.log() == [MOUNT, "vswitch: init was asked to reboot",
                       "vswitch: board asked for a reboot"]
    assert board.vpd(BOOTED) == 0xFF
