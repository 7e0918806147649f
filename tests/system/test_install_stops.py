"""The installer's stops on the virtual switch: a size limit at the limit
and one byte over, a bad CRC in the second record, a header of unknown
type, the slot question's answers, and skip-if-same. Images come from the
USB stick through the rescue menu; where the installer's result or its
skip-if-same switch matters, the install driver runs the same installer
with those arguments."""

import os
import subprocess

import pytest

from bootlib import APP_EXIT, app_archive, flip_payload_byte, make_image
from conftest import IMGTOOL, user_file, vswitch
from rescuelib import (EXTRACTING, FLASH, MENU, PROMPT, SLOT_QUESTION, USB_PROMPT, choose,  # noqa: F401
                       driver, driver_install, expected_partition, fill_partitions, full_image,
                       records_of, rescue_board, terminal, to_menu, type_line)

BOOT_SLOT = vswitch.VPD_BOOT_SLOT
DFT_LIMIT = 262144


def usb_install(t, number):
    choose(t, "u")
    t.expect(USB_PROMPT)
    type_line(t, str(number))
    t.expect(EXTRACTING)


def flash_writes(board):
    with open(os.path.join(board.dev, "devices.log")) as f:
        return [line for line in f if " write " in line and line.startswith("mtd-")]


def test_device_tree_at_its_limit_installs_and_one_byte_over_is_refused(make_board, terminal,
                                                                        tmp_path):
    at_limit = make_image(tmp_path, [("dft", "5.0.0.1", b"A" * (DFT_LIMIT - 16))])
    over = make_image(tmp_path, [("dft", "5.0.0.2", b"B" * (DFT_LIMIT - 15))])
    board = rescue_board(make_board, usb={"over.img": over})
    before = fill_partitions(board)
    t = terminal(board)
    to_menu(t)
    usb_install(t, 1)
    assert t.expect(MENU + PROMPT) == (
        "Installing Device Tree: DFT image is too big for flash (262145 > 262144)\n")
    assert board.read_partition("devicetree") == before["devicetree"]
    assert flash_writes(board) == []
    choose(t, "e")
    t.finish()

    vswitch.make_stick(board.usb, [("limit.img", at_limit)])
    t = terminal(board)
    to_menu(t)
    usb_install(t, 1)
    shown = t.expect(MENU + PROMPT)
    assert shown.startswith("Installing Device Tree: ") and shown.endswith("100%\n")
    assert "too big" not in shown
    assert board.read_partition("devicetree") == at_limit
    choose(t, "e")
    t.finish()


def test_bad_crc_in_the_second_record_keeps_the_first_and_writes_nothing_more(
        make_board, terminal, driver, tmp_path):
    kernel = make_image(tmp_path, [("kernel", "6.0.0.1", b"k" * 20000)])
    rfs = flip_payload_byte(make_image(tmp_path, [("rfs", "6.0.0.1", b"r" * 20000)]), 100)
    dft = make_image(tmp_path, [("dft", "6.0.0.1", b"d" * 2000)])
    board = make_board(usb={"bad.img": kernel + rfs + dft})
    before = fill_partitions(board)
    t = driver_install(terminal, board, driver, "/mnt/usb/bad.img", 0, 0)
    assert t.final == "launcher exited with status 0"
    out = t.since(t.text.index(EXTRACTING))
    assert "Installing Kernel: " in out
    assert "Installing Root Filesystem: Bad crc for RFS: 0x" in out
    assert ", voiding download\ninstall driver: result 0\n" in out
    assert "Device Tree" not in out
    assert board.read_partition("kernel") == expected_partition(before["kernel"], "kernel", kernel)
    assert board.read_partition("rfs") == before["rfs"]
    assert board.read_partition("devicetree") == before["devicetree"]


def test_unknown_header_ends_the_file_without_a_message(make_board, terminal, driver, tmp_path):
    kernel = make_image(tmp_path, [("kernel", "7.0.0.1", b"k" * 20000)])
    unknown = subprocess.run([IMGTOOL, "header", "0x07504754", "1.0.0.0", "8", "0"],
                             capture_output=True, check=True).stdout + b"x" * 8
    dft = make_image(tmp_path, [("dft", "7.0.0.1", b"d" * 2000)])
    board = make_board(usb={"odd.img": kernel + unknown + dft})
    before = fill_partitions(board)
    t = driver_install(terminal, board, driver, "/mnt/usb/odd.img", 0, 0)
    assert t.final == "launcher exited with status 1"
    out = t.since(t.text.index(EXTRACTING))
    assert out.endswith("100%\ninstall driver: result 1\n" + out[out.index("vswitch: "):])
    assert board.read_partition("kernel") == expected_partition(before["kernel"], "kernel", kernel)
    assert board.read_partition("devicetree") == before["devicetree"]


@pytest.mark.parametrize("answer, slot", [("2abc\r", 2), ("1\r", 1), ("3\r", 0), ("\r", 0),
                                          ("\x04", 0)],
                         ids=["2abc", "1", "3", "empty", "end-of-input"])
def test_slot_question(answer, slot, make_board, terminal, tmp_path):
    image = make_image(tmp_path, [("application", "8.0.0.1", app_archive("stick"))])
    board = rescue_board(make_board, usb={"app.img": image}, boot_slot=2)
    t = terminal(board)
    to_menu(t)
    usb_install(t, 1)
    t.expect("Installing Application: " + SLOT_QUESTION)
    t.send(answer)
    if slot:
        t.expect(f"Installing image as image{slot}:     ")
        t.expect(f"\b\b\b\b100%\n\nImage{slot} updated succeeded\n" + MENU + PROMPT)
        assert user_file(board, f"images/image{slot}") == image
        assert board.vpd(BOOT_SLOT) == slot
        choose(t, "e")
        t.expect(f"Booting image '{slot}'\n")
        t.expect("APP stick ")
    else:
        # Booted at once: nothing kept, nothing written to the VPD.
        t.expect("Booting downloaded image\nImage ready to boot...\n")
        t.expect("APP stick ")
        assert not os.path.exists(os.path.join(board.user, "images"))
        assert board.vpd(BOOT_SLOT) == 2
    assert t.finish() == (f"application exited with status {APP_EXIT}", 1)


def test_identical_image_with_skip_if_same_writes_nothing(make_board, terminal, driver,
                                                          tmp_path):
    image = full_image(tmp_path, version="9.1.0.3", app_name="same")
    board = make_board(usb={"same.img": image})
    fill_partitions(board)
    first = driver_install(terminal, board, driver, "/mnt/usb/same.img", 1, 2)
    assert first.final == "launcher exited with status 1"
    installed = {part: board.read_partition(part) for part, _ in FLASH.values()}
    assert user_file(board, "images/image2") == records_of(image)[-1][2]
    writes = len(flash_writes(board))

    second = driver_install(terminal, board, driver, "/mnt/usb/same.img", 1, 2)
    assert second.final == "launcher exited with status 0"
    out = second.since(second.text.index(EXTRACTING))
    skip = "Image has same version as existing image. Skipping update...\n"
    expected = "".join(label + skip for _, label in FLASH.values())
    expected += ("Installing Application: Installing image as image2: "
                 "Image2 has same version as existing image. Skipping update...\n")
    assert out.startswith(EXTRACTING + expected + "install driver: result 0\n")
    assert len(flash_writes(board)) == writes
    assert {part: board.read_partition(part) for part, _ in FLASH.values()} == installed
