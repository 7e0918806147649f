"""The rescue menu on the virtual switch, driven by keys at its console: the
erase-and-diagnostics action, install from the USB stick, and a serial
download that lrzsz's `sx -k` sends to the switch's /usr/bin/rx while the
test plays the operator's terminal program."""

import os

import pytest

from conftest import (APP_ENDED, BOOT_SLOT, BOOTED, EXTRACTING, FLASH, MENU, MOUNT, PROMPT,
                      SLOT_QUESTION, USB_PROMPT, VM, app_image, choose, diags_image,
                      expected_partition, fill_partitions, full_image, in_order, make_image,
                      press, records_of, rescue_board, to_menu, transfer, type_line, user_file,
                      vswitch)

CONFIRM = "Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: "
ERASE_STEPS = ["", "unmount filesystem", "", "Erasing filesystem for clean install", "Mounting...",
               "creating default filesystem"]


@pytest.mark.parametrize("setting, menu_key, key", [
    pytest.param("diags", None, "Y", marks=pytest.mark.vm), ("diags", None, "\r"),
                                                    ("rescue", "d", "y")])
def test_erase_on_yes_only_then_the_diagnostics_boot(setting, menu_key, key, make_board,
                                                     terminal, tmp_path):
    """From the boot settings with a diagnostics image, or from the menu
    with none, which returns to the menu."""
    rescue = diags_image(tmp_path) if setting == "diags" else None
    board = make_board(env=[f"diagnostics={setting}"], rescue=rescue, boot_slot=1,
                       image1=app_image(tmp_path, "one"))
    os.makedirs(os.path.join(board.user, "config"))
    with open(os.path.join(board.user, "config", "keys"), "w") as f:
        f.write("secret\n")
    # Untagged: the rescue partition's message must show between the menu's
    # lines exactly as the console gets it.
    t = terminal(board, tag=False)
    if menu_key:
        to_menu(t)
        choose(t, menu_key)
    t.expect(CONFIRM)
    press(t, key)
    # The key is not echoed: a newline follows the question at once.
    shown = t.expect("Booting diags image...\n")
    erases = key in "yY"
    assert in_order(shown.split("\n"), ERASE_STEPS) if erases else shown == "\n"
    if rescue:
        t.expect("Launching diagnostics image\n")
        t.expect("DIAG rescue ")
        assert t.finish() == APP_ENDED and board.vpd(BOOTED) == 4
    else:
        t.expect("Image not found... \n" + MENU + PROMPT)
        choose(t, "r")
        assert t.finish() == ("board asked for a reboot", 0)
    if erases:
        assert os.listdir(board.user) == ["images"]
        assert os.listdir(os.path.join(board.user, "images")) == []
        assert in_order(t.log(), ["umount /user", "flash_eraseall /dev/mtd-user-char", MOUNT])
    else:
        assert user_file(board, "config/keys") == b"secret\n"
        assert "flash_eraseall /dev/mtd-user-char" not in t.log()


@pytest.mark.ppc
@pytest.mark.parametrize("slot_answer", ["\r", "\x04"], ids=["enter", "end-of-input"])
def test_menu_keys_and_usb_listing_answers_install_after_ctrl_c_and_boot_at_once(
        slot_answer, make_board, terminal, tmp_path):
    long_name = "t" * 200 + ".img"
    dft = make_image(tmp_path, [("dft", "3.3.0.2", b"D" * 3000)])
    # Names as the switch's vfat shows them: long ones, and an 8.3 one that
    # is stored in upper case with the lower-case flags set (app.img).
    board = rescue_board(make_board, boot_slot=2, usb={
        long_name: dft, "app.img": app_image(tmp_path, "stick"), "Notes.txt": b"no image\n",
        "Z-dir.img": None})
    before = fill_partitions(board)
    files = [n for n in vswitch.stick_listing(board.usb) if not n.endswith("/")]
    t = terminal(board)
    to_menu(t)
    choose(t, "z")
    assert t.expect(PROMPT) == 'unknown option "Z". Please try again\n'
    # Ctrl-C: the interrupted read gives a 0 byte, echoed on its own line,
    # and only the prompt comes back.
    press(t, b"\x03")
    assert t.expect(PROMPT) == "\x00\n"

    def open_usb():
        choose(t, "u")
        assert t.expect(USB_PROMPT) == "".join(f"\t{i}: {n}\n" for i, n in enumerate(files, 1))

    # Files only, in directory order. q, Q... and quit leave; a number of
    # 0 or less, or past the last file, returns without a message.
    for answer in ("q", "quit", "Q7", "0", "-1", str(len(files) + 1)):
        open_usb()
        type_line(t, answer)
        assert t.expect(MENU + PROMPT) == ""
    # A line without a number is named and another is read, with no new
    # prompt; Ctrl-C only rings the bell, and the number typed after it is
    # the choice (a blank before it and text after it allowed).
    open_usb()
    for answer in ("", "abc"):
        type_line(t, answer)
        assert t.expect(f"Invalid file number {answer}. Try again pleas\n") == ""
    press(t, b"\x03")
    t.expect("\x07")
    type_line(t, f" {files.index(long_name) + 1}xyz")
    t.expect(f"Installing {long_name}\n{EXTRACTING}Installing Device Tree: ")
    t.expect(MENU + PROMPT)
    # The slot question answered with Enter, or not at all, boots the record
    # at once: nothing kept, nothing in the VPD.
    open_usb()
    type_line(t, str(files.index("app.img") + 1))
    t.expect(f"Installing app.img\n{EXTRACTING}Installing Application: {SLOT_QUESTION}")
    t.send(slot_answer)
    t.expect("Booting downloaded image\nImage ready to boot...\n")
    t.expect("APP stick ")
    assert t.finish() == APP_ENDED
    assert not os.path.exists(os.path.join(board.user, "images")) and board.vpd(BOOT_SLOT) == 2
    for part, data in before.items():  # read after power-off, as a board's flash is
        assert board.read_partition(part) == (
            expected_partition(data, "dft", dft) if part == "devicetree" else data), part


@pytest.mark.ppc
@pytest.mark.vm
def test_serial_download_installs_every_record_and_exit_after_a_reboot_boots_the_new_slot(
        make_board, terminal, tmp_path):
    board = rescue_board(make_board, boot_slot=2, vpd={BOOTED: 2})
    before = fill_partitions(board)
    image = full_image(tmp_path)
    (tmp_path / "new.img").write_bytes(image)
    # Stderr untagged, the console itself as on the switch: rx writes its
    # progress there only when stderr is not its line, and that would garble
    # the transfer.
    # On the virtual machine the launcher's own receiver takes the file:
    # lrzsz's rx flushes its input right after each NAK and ACK, and the
    # machine's emulated CPU can be slow enough for a block to come first.
    t = terminal(board, args=["--reboots", "1", *(["--rx", "not-executable"] if VM else [])],
                 tag=False)
    to_menu(t)
    choose(t, "x")
    t.expect("Running xmodem rescue.....\n")
    transfer(t, ["sx", "-k", str(tmp_path / "new.img")])
    shown = t.expect(SLOT_QUESTION)
    t.send("1\r")
    t.expect("1\nInstalling image as image1:     ")
    t.expect("\b\b\b\b100%\n\nImage1 updated succeeded\n" + MENU + PROMPT)
    choose(t, "h")
    t.expect("Installed images versions: \n"
             "\tBoot image  : 2.1.0.7\n\tRFS image   : 2.1.0.7\n"
             "\tKernel image: 2.1.0.7\n\tDFT image   : 2.1.0.7\n"
             "\tOS image 1  : 2.1.0.7\n\tOS image 2  : 0.0.0.0\n" + MENU + PROMPT)
    choose(t, "r")
    t.expect("vswitch: power on again (1 of 1)\n")
    # Each flash record in file order: its label, a display ending at 100%;
    # the flash and the slot file as the power-off left them.
    records = records_of(image)
    at = shown.index(EXTRACTING)
    for kind, _, record in records[:-1]:
        at = shown.index(FLASH[kind][1], at)
        assert shown[at:shown.index("\n", at)].endswith("\b\b\b\b100%"), kind
        part = FLASH[kind][0]
        assert board.read_partition(part) == expected_partition(before[part], kind, record), kind
    assert shown.endswith("100%\ndone\nInstalling Application: ")
    assert user_file(board, "images/image1") == records[-1][2] and board.vpd(BOOT_SLOT) == 1
    to_menu(t)
    choose(t, "e")
    t.expect("Booting image '1'\n")
    t.expect("APP new ")
    assert t.finish() == APP_ENDED and board.vpd(BOOTED) == 1
