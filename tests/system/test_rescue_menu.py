"""The rescue menu on the virtual switch, driven by keys at its console:
keys in either case, an unknown key, Ctrl-C at the prompt, the versions
display, Exit letting the start-up go on, and erase-and-diagnostics both
from the boot settings and from the menu."""

import os

import pytest

from bootlib import APP_EXIT, app_image, diag_archive, in_order, make_image
from conftest import log_since_power_on, user_file, vswitch
from rescuelib import (MENU, PROMPT, USB_PROMPT, choose, press, rescue_board,  # noqa: F401
                       terminal, to_menu, type_line)

BOOTED = vswitch.VPD_BOOTED_IMAGE
CONFIRM = ("Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) "
           "y/N: ")
ERASE_STEPS = ("unmount filesystem\n\nErasing filesystem for clean install\nMounting...\n"
               "creating default filesystem\n")


def test_keys_either_case_unknown_key_ctrl_c_and_exit_going_on_with_the_start_up(
        make_board, terminal, tmp_path):
    board = rescue_board(make_board, image1=app_image(tmp_path, "one", version="1.2.3.4"),
                         boot_slot=1)
    t = terminal(board)
    to_menu(t)
    choose(t, "z")
    assert t.expect(PROMPT) == 'unknown option "Z". Please try again\n'
    # Ctrl-C: the interrupted read gives a 0 byte, echoed on its own line,
    # and only the prompt comes back.
    press(t, b"\x03")
    assert t.expect(PROMPT) == "\x00\n"
    choose(t, "?")
    assert t.expect(PROMPT) == 'unknown option "?". Please try again\n'
    # The unlisted keys work in either case; each action ends in the menu.
    for key in ("h", "H"):
        choose(t, key)
        t.expect("Installed images versions: \n"
                 "\tBoot image  : 255.255.255.255\n\tRFS image   : 255.255.255.255\n"
                 "\tKernel image: 255.255.255.255\n\tDFT image   : 255.255.255.255\n"
                 "\tOS image 1  : 1.2.3.4\n\tOS image 2  : 0.0.0.0\n" + MENU + PROMPT)
    for key in ("u", "U"):
        choose(t, key)
        t.expect(USB_PROMPT)
        type_line(t, "q")
        t.expect(MENU + PROMPT)
    choose(t, "E")
    t.expect("Booting image '1'\n")
    t.expect("APP one ")
    assert t.finish() == (f"application exited with status {APP_EXIT}", 1)
    assert "Entering Rescue Mode." not in t.text[t.text.index("Booting image"):]
    assert "unknown option" not in t.text[t.text.index('"?"') + 3:]


def test_reboot_key_reboots_the_board(make_board, terminal):
    board = rescue_board(make_board)
    t = terminal(board)
    to_menu(t)
    choose(t, "r")
    assert t.finish() == ("board asked for a reboot", 0)
    assert log_since_power_on(board)[-2:] == ["vswitch: init was asked to reboot",
                                              "vswitch: board asked for a reboot"]


def diags_board(make_board, tmp_path, env):
    rescue = make_image(tmp_path, [("diags", "9.0.0.1", diag_archive("rescue"))])
    board = make_board(env=env, rescue=rescue, boot_slot=1,
                       image1=app_image(tmp_path, "one"), image2=app_image(tmp_path, "two"))
    os.makedirs(os.path.join(board.user, "config"))
    with open(os.path.join(board.user, "config", "keys"), "w") as f:
        f.write("secret\n")
    return board


@pytest.mark.parametrize("key, erases", [("y", True), ("Y", True), ("n", False), ("\r", False),
                                         ("x", False)])
def test_start_up_diagnostics_erase_only_on_yes_and_boot_diagnostics_always(
        key, erases, make_board, terminal, tmp_path):
    board = diags_board(make_board, tmp_path, ["diagnostics=diags"])
    flash_before = board.read_partition("user-char", 0, 4096)
    t = terminal(board)
    t.expect(CONFIRM)
    press(t, key)
    shown = t.expect("Booting diags image...\nLaunching diagnostics image\n")
    t.expect("DIAG rescue ")
    assert t.finish() == (f"application exited with status {APP_EXIT}", 1)
    # The key is not echoed: a newline follows the question at once. Each
    # step's message comes before its command (flash_eraseall prints a line
    # of its own).
    if erases:
        assert shown.startswith("\n")
        assert in_order(shown.split("\n"), ERASE_STEPS.split("\n"))
    else:
        assert shown == "\n"
    log = log_since_power_on(board)
    if erases:
        assert sorted(os.listdir(board.user)) == ["images"]
        assert os.listdir(os.path.join(board.user, "images")) == []
        assert board.read_partition("user-char", 0, 4096) == b"\xff" * 4096
        assert log[1:5] == ["umount /user", "flash_eraseall /dev/mtd-user-char",
                            "mount -o sync -t jffs2 /dev/mtd-user /user", "backtrace"]
    else:
        assert user_file(board, "config/keys") == b"secret\n"
        assert user_file(board, "images/image1") and user_file(board, "images/image2")
        assert board.read_partition("user-char", 0, 4096) == flash_before
        assert "flash_eraseall /dev/mtd-user-char" not in log
    assert board.vpd(BOOTED) == 4


def test_menu_d_key_asks_the_same_and_boots_diagnostics(make_board, terminal, tmp_path):
    board = diags_board(make_board, tmp_path, ["diagnostics=rescue"])
    t = terminal(board)
    to_menu(t)
    choose(t, "d")
    t.expect(CONFIRM)
    press(t, "y")
    shown = t.expect("Booting diags image...\n")
    assert in_order(shown.split("\n"), ERASE_STEPS.split("\n"))
    t.expect("DIAG rescue ")
    assert t.finish() == (f"application exited with status {APP_EXIT}", 1)
    assert not os.path.exists(os.path.join(board.user, "config"))


def test_diagnostics_missing_from_the_rescue_partition_returns_to_the_menu(
        make_board, terminal):
    board = rescue_board(make_board)
    t = terminal(board)
    to_menu(t)
    choose(t, "D")
    t.expect(CONFIRM)
    press(t, "n")
    t.expect("\nBooting diags image...\nImage not found... \n" + MENU + PROMPT)
    choose(t, "e")
    assert t.finish() == ("board asked for a reboot", 0)
