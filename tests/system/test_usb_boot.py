"""Booting and updating from the USB stick on the virtual switch: the
boot-loader image, a slot replacement, the stick's own image and the
rejected-image list it fills, and a power cut during a replacement."""

import hashlib
import os
import pathlib

import pytest

from conftest import (APP_ENDED, BOOT_SLOT, BOOTED, ERR_TAG, EXTRACTING, USB_READY, VM,
                      app_image, devices_log, flip, make_image, press, set_env, set_faults,
                      uboot_payload, usb_board, user_file, vswitch)

OWN, R2 = "QLX5270_OS.img", "QLX5270_replace2_OS.img"
LISTED = "USB image is in rejected list.\nWould you still like to load it? (y/n) "


def test_boot_loader_image_installs_and_resets_then_is_skipped(make_board, terminal, tmp_path):
    payload = uboot_payload("7.0.0.1", 60000)
    # Named in lower case, as a PC may store it: the switch's vfat finds it all the same.
    board = usb_board(make_board, tmp_path, {"qlx5270_boot.img": make_image(
        tmp_path, [("uboot", "7.0.0.1", payload)])})
    t = terminal(board)
    t.expect(USB_READY + "Boot image found on USB.\n" + EXTRACTING + "Installing Boot Loader: ")
    assert t.finish() == ("board asked for a reboot", 0)
    assert board.read_partition("uboot", 0, len(payload)) == payload
    seen = 0 if VM else len(devices_log(board))
    t = terminal(board)
    t.expect(USB_READY + "Boot image found on USB.\n" + EXTRACTING + "Installing Boot Loader: "
             "Image has same version as existing image. Skipping update...\n"
             "No valid image found on USB\nBooting image '1'\nAPP old ")
    assert t.finish() == APP_ENDED
    if not VM:  # the device model logs every flash request
        assert not [line for line in devices_log(board)[seen:]
                    if line.startswith("mtd-uboot") and (" write " in line or " erase " in line)]


@pytest.mark.ppc
def test_replacement_then_the_sticks_own_image_and_its_rejected_list(make_board, terminal,
                                                                       tmp_path):
    r2, own = app_image(tmp_path, "r2", "2.0.0.2"), app_image(tmp_path, "own", "4.0.0.4")
    board = usb_board(make_board, tmp_path, {OWN: own, R2: r2})
    # Only slot 2 is replaced: slot 2 boots, although the stick has its own
    # image, and although the VPD did not take the slot.
    set_faults(board, "fail-vpd-write 1")
    t = terminal(board)
    t.expect(f"USB image (file '{R2}') replacement for image2 found\n")
    t.expect("Image2 has been successfully replaced\n"
             "USB replacement image: board will boot with image2.\nBooting image '2'\nAPP r2 ")
    assert t.finish() == APP_ENDED and user_file(board, "images/image2") == r2
    assert board.vpd(BOOT_SLOT) == 1
    set_faults(board)
    # At the installed version it does not count: the stick's own image boots and is listed.
    t = terminal(board)
    t.expect("Image2 has same version as existing image. Skipping update...\n"
             f"Booting image '{OWN}' from USB stick.\nAPP own ")
    assert t.finish() == APP_ENDED and board.vpd(BOOTED) == 3
    listed = os.path.join(board.user, "images", "rejected")
    assert os.listdir(listed) == [hashlib.md5(own).hexdigest()]
    assert os.path.getsize(os.path.join(listed, hashlib.md5(own).hexdigest())) == 0
    # Next time it is asked about; no, and the flash slots boot, the first
    # as a first try: slot 1, now damaged, is followed by slot 2.
    pathlib.Path(board.user, "images", "image1").write_bytes(flip(user_file(board, "images/image1")))
    t = terminal(board)
    t.expect(LISTED)
    t.send("n\r")
    assert t.finish() == APP_ENDED and ("n\nUSB Boot failed. Trying flash images.\n"
                                        "Booting image '1'\nBooting image '2'\nAPP r2 ") in t.out()
    # Yes boots it all the same.
    t = terminal(board)
    t.expect(LISTED)
    t.send("y\r")
    t.expect("y\nContinuing to load USB image...\nAPP own ")
    assert t.finish() == APP_ENDED
    # Once the user partition is erased, nothing is listed.
    vswitch.make_stick(board.usb, [(OWN, own)])
    set_env(board, ["diagnostics=diags"])
    t = terminal(board)
    press(t, "y")
    t.expect(ERR_TAG + "Image not found... \n")
    t.expect(f"Booting image '{OWN}' from USB stick.\nAPP own ")
    assert t.finish() == APP_ENDED and "rejected list" not in t.text


def test_power_cut_during_a_replacement_is_mended_at_the_next_start(make_board, terminal,
                                                                     tmp_path):
    pad = {"home/pad.bin": (os.urandom(1 << 20), 0o644)}
    big = app_image(tmp_path, "big", "2.0.0.2", extra=pad)
    board = usb_board(make_board, tmp_path, {R2: big})
    # A JFFS2 partition keeps the whole nodes written before a cut: a prefix.
    cut = 256 * 1024
    t = terminal(board, args=["--cut-at-file-size", str(cut)])
    t.expect("Installing image as image2: ")
    assert t.finish() == (f"power cut as a file reached {cut} bytes", 1)
    assert user_file(board, "images/image2") == big[:cut] and board.vpd(BOOT_SLOT) == 1
    # The stick still in: the header installed already matches, the bytes do not.
    t = terminal(board)
    t.expect("Image2 has been successfully replaced\n")
    t.expect("Booting image '2'\nAPP big ")
    assert t.finish() == APP_ENDED and user_file(board, "images/image2") == big


def test_power_cut_as_the_vpd_names_the_replaced_slot_leaves_it_whole(make_board, terminal,
                                                                       tmp_path):
    r2 = app_image(tmp_path, "r2", "2.0.0.2")
    board = usb_board(make_board, tmp_path, {R2: r2})
    set_faults(board, "cut-at-vpd-write 1")
    t = terminal(board)
    t.expect("Installing image as image2: ")
    assert t.finish() == ("launcher was killed by signal 9", 1)
    assert devices_log(board)[-1] == "i2c-0 write 0x54 01 00 02 -> power-cut"
    assert user_file(board, "images/image2") == r2 and board.vpd(BOOT_SLOT) == 1
