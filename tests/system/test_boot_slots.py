"""The slot boot on the virtual switch: the VPD's slot choice, the retry of
the other slot, the fallbacks to the other file and to the rescue partition,
the shell and board reset when nothing is left, and SIGINT during the boot."""

import os
import re
import subprocess
from collections import namedtuple

import pytest

from conftest import (APP_ENDED, BOOT_SLOT, BOOTED, app_image, devices_log, diags_image, flip,
                      launcher_lines, make_image, open_failed, rows, set_faults, started, vswitch,
                      wait_until)

RESET_END = ("board asked for a reboot", 0)


def images(tmp_path):
    one, two, diags = app_image(tmp_path, "one"), app_image(tmp_path, "two"), diags_image(tmp_path)
    return {None: None, "one": one, "two": two, "bad": flip(one), "diags": diags,
            "id": flip(two, 15),  # the id word is covered by the CRC too
            "kernel": make_image(tmp_path, [("kernel", "1.0.0.0", b"k" * 1000),
                                            ("uboot", "1.0.0.0", b"u" * 77)]),
            "dft": make_image(tmp_path, [("dft", "1.0.0.0", b"d" * 10)]), "bad-diags": flip(diags)}


B1, B2 = "Booting image '1'", "Booting image '2'"
DIAGS = ["Launching diagnostics image", "install diags image"]
CRC1 = "Image1 CRC failed, trying Image2 now."

# What the board holds (the image files of the two slots and the rescue
# partition, the VPD boot slot, shell=on) -> what the boot shows (stdout,
# stderr lines), the program it started (None: the board reset) and the
# VPD's booted image.
Fallback = namedtuple("Fallback", "image1 image2 rescue boot_slot shell out err program booted")
FALLBACKS = {
    "own-file-missing": Fallback(
        image1="one", image2=None, rescue=None, boot_slot=2, shell=False,
        out=[B2], err=[open_failed(2)], program="APP one", booted=2),
    "own-file-missing-last": Fallback(
        image1="bad", image2=None, rescue="diags", boot_slot=1, shell=True,
        out=[B1, B2], err=[CRC1, open_failed(2), "Both image1 and image2 failed."],
        program=None, booted=0xFF),
    "both-missing": Fallback(
        image1=None, image2=None, rescue="diags", boot_slot=1, shell=False,
        out=[B1] + DIAGS, err=[open_failed(1), open_failed(2, "rescue image")],
        program="DIAG rescue", booted=4),
    "both-missing-no-rescue": Fallback(
        image1=None, image2=None, rescue=None, boot_slot=2, shell=True,
        out=[B2], err=[open_failed(2), open_failed(1, "rescue image"), "Image not found... "],
        program=None, booted=0xFF),
    "no-record-last": Fallback(
        image1="bad", image2="kernel", rescue="diags", boot_slot=1, shell=False,
        out=[B1, B2] + DIAGS, err=[CRC1, "No valid application image found. Trying rescue image"],
        program="DIAG rescue", booted=4),
    "no-record-last-bad-rescue": Fallback(
        image1="dft", image2="dft", rescue="bad-diags", boot_slot=2, shell=True,
        out=[B2, B1], err=["Image has invalid header 0x5504754. (0x6504754)",
                           "Image2 has invalid header... trying Image1.",
                           "No valid application image found. Trying rescue image",
                           "Image CRC failed. Quitting"],
        program=None, booted=0xFF),
    "crc-first": Fallback(
        image1="one", image2="bad", rescue=None, boot_slot=2, shell=False,
        out=[B2, B1], err=["Image2 CRC failed, trying Image1 now."], program="APP one", booted=1),
    "crc-last": Fallback(
        image1="bad", image2="id", rescue="diags", boot_slot=1, shell=False,
        out=[B1, B2], err=[CRC1, "Both image1 and image2 failed."], program=None, booted=0xFF),
}


@pytest.mark.parametrize("row", rows(FALLBACKS, ppc={"crc-first", "both-missing"},
                                     vm={"crc-first", "both-missing"}))
def test_fallbacks(row, make_board, terminal, tmp_path):
    image = images(tmp_path)
    board = make_board(image1=image[row.image1], image2=image[row.image2],
                       rescue=image[row.rescue], boot_slot=row.boot_slot,
                       env=["shell=on"] if row.shell else None)
    t = terminal(board)
    if row.shell:  # the failure's shell before the reset, not the launch's
        t.expect("/ # ")
        t.send("exit\r")
    assert t.finish() == (APP_ENDED if row.program else RESET_END)
    assert launcher_lines(t) == row.out
    assert t.err() == "".join(line + "\n" for line in row.err)
    assert started(t) == ([row.program] if row.program else [])
    # The requested slot is what the VPD records, not the file that was read.
    assert board.vpd(BOOTED) == row.booted and board.vpd(BOOT_SLOT) == row.boot_slot


@pytest.mark.ppc
@pytest.mark.parametrize("vpd", [1, pytest.param(2, marks=pytest.mark.vm), 0, 3, 255, "nak"])
def test_vpd_boot_slot_chooses_the_first_slot_and_the_other_is_tried_next(
        vpd, make_board, terminal, tmp_path):
    first = 2 if vpd == 2 else 1
    other = 3 - first
    board = make_board(**{f"image{first}": images(tmp_path)["kernel"],
                          f"image{other}": app_image(tmp_path, f"slot{other}")},
                       boot_slot=2 if vpd == "nak" else vpd)
    if vpd == "nak":
        # The EEPROM does not answer: the read gives 0 (slot 1), and every
        # write fails, leaving the booted-image byte as it was.
        set_faults(board, "nak 0 54")
    t = terminal(board)
    assert t.finish() == APP_ENDED
    assert [line for line in t.out_lines() if line.startswith("Booting")] == [
        f"Booting image '{first}'", f"Booting image '{other}'"]
    assert t.err() == ("Image has invalid header 0x2504754. (0x6504754)\n"
                       f"Image{first} has invalid header... trying Image{other}.\n")
    assert started(t) == [f"APP slot{other}"]
    assert board.vpd(BOOTED) == (0xFF if vpd == "nak" else other)
    assert board.vpd(BOOT_SLOT) == (2 if vpd == "nak" else vpd)


def test_sigint_during_the_boot_changes_nothing(make_board, terminal, tmp_path):
    # The Ctrl-C is sent once the device log shows the launcher in its pause
    # before the unpack, which the slow clock makes last until a signal cuts
    # it short: the key reaches the launcher itself, never the unpack.
    board = make_board(image1=app_image(tmp_path, "one"), image2=app_image(tmp_path, "two"),
                       boot_slot=1)
    t = terminal(board, args=["--fast-clock", "0.001"])
    t.expect("Booting image '1'\n")
    wait_until(lambda: "sleep 1" in devices_log(board), "the pause before the unpack")
    t.send("\x03")
    assert t.finish() == APP_ENDED
    # The line discipline echoes ^C (so the key did raise SIGINT); the
    # launcher adds nothing to it and boots slot 1 as before.
    lines = t.out().replace("^C", "").splitlines()
    assert "^C" in t.out() and lines[0] == "Booting image '1'"
    assert lines[1].startswith("APP one ") and lines[2:] == ["TMP [home ]"]
    assert t.err() == ""
    assert board.vpd(BOOTED) == 1


def test_the_installed_powerpc_launcher_boots_the_chosen_slot(make_board, terminal, tmp_path):
    """As a switch carries it: stripped, dynamically linked against the
    PowerPC C library, its device model a PowerPC preload; installed with
    the USB stick's handler, which the device manager's rule names."""
    if not os.path.exists(os.path.join(vswitch.PPC_BUILD_DIR, "src", "launcher")):
        pytest.skip("the PowerPC build has no launcher")
    tree = tmp_path / "tree"
    subprocess.run(["cmake", "--install", vswitch.PPC_BUILD_DIR, "--prefix", "/", "--strip"],
                   check=True, capture_output=True, env=dict(os.environ, DESTDIR=str(tree)))
    rule = re.search(r"^sd\S*\s+0:0\s+660\s+\*(/\S+)$", (tree / "etc/mdev.conf").read_text(), re.M)
    assert rule and os.access(tree / rule.group(1).lstrip("/"), os.X_OK)
    board = make_board(image1=app_image(tmp_path, "one"), image2=app_image(tmp_path, "two"),
                       boot_slot=2)
    t = terminal(board, launcher=str(tree / "sbin" / "launcher"))
    assert t.finish() == APP_ENDED and t.err() == ""
    assert started(t) == ["APP two"] and board.vpd(BOOTED) == 2
