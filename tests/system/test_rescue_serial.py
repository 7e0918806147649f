"""Serial download from the rescue menu on the virtual switch: the test is
the operator's terminal program. It reads the instructions, matches the
switch's speed, presses Enter, lets lrzsz's `sx -k` send a multi-record
image to the switch's /usr/bin/rx over the console, presses Enter again at
the old speed and answers the installer; then it checks the flash, the slot
file, the VPD, the console's line settings and a boot after a power cycle."""

import termios

from bootlib import APP_EXIT, app_image
from conftest import user_file, vswitch
from rescuelib import (EXTRACTING, FLASH, MENU, PROMPT, SLOT_QUESTION, choose, expected_partition,
                       fill_partitions, full_image, records_of, rescue_board, terminal,  # noqa: F401
                       to_menu)

BOOT_SLOT = vswitch.VPD_BOOT_SLOT
BOOTED = vswitch.VPD_BOOTED_IMAGE
LFLAG, CC, ISPEED, OSPEED, IFLAG, OFLAG, CFLAG = 3, 6, 4, 5, 0, 1, 2

INSTRUCTIONS = ("Running xmodem rescue.....\n"
                "       Change the baud rate to 115200 bps and hit the <ENTER> key\n"
                "       before initiating the download.\n")
RESTORE = "       Change the baud rate back to 9600 bps, hit the <ENTER> key"


def raw_115200(attrs):
    return attrs[ISPEED] == attrs[OSPEED] == termios.B115200 and not attrs[LFLAG] & termios.ICANON


def cooked_9600(attrs):
    return attrs[ISPEED] == attrs[OSPEED] == termios.B9600 and attrs[LFLAG] & termios.ICANON


def key_read_settings(attrs):
    """What the menu's one-key read makes of the console's settings."""
    out = list(attrs)
    out[LFLAG] &= ~(termios.ICANON | termios.ECHO)
    cc = bytearray(attrs[CC])
    cc[termios.VMIN], cc[termios.VTIME] = 1, 0
    out[CC] = bytes(cc)
    return out


def download(t, image_path):
    """From the menu prompt: X, the instructions, Enter at 115200, the
    transfer, Enter at 9600. Returns the line settings that the switch
    prepared for the download (rx sets its own modes while it runs, at the
    same speed)."""
    choose(t, "x")
    t.expect(INSTRUCTIONS)
    # Enter typed before the port is switched is flushed away, as on a UART:
    # the operator changes speed first.
    prepared = t.wait_line(raw_115200)
    t.send(b"\r")
    during = []
    status, err = t.xmodem_send(image_path, on_start=lambda: during.append(t.line_settings()))
    assert status == 0, err
    assert during[0][ISPEED] == during[0][OSPEED] == termios.B115200
    t.expect(RESTORE + "\n")
    t.wait_line(cooked_9600)
    t.send(b"\n")
    return prepared


def test_download_installs_every_record_and_the_new_slot_boots(make_board, terminal, tmp_path):
    old_app = app_image(tmp_path, "old", version="1.0.0.1")
    board = rescue_board(make_board, image2=old_app, boot_slot=2, vpd={BOOTED: 2})
    before = fill_partitions(board)
    image = full_image(tmp_path, version="2.1.0.7", app_name="new")
    (tmp_path / "new.img").write_bytes(image)

    t = terminal(board, args=["--reboots", "1"])
    to_menu(t)
    at_menu = t.wait_line(lambda a: not a[LFLAG] & termios.ICANON)
    during = download(t, str(tmp_path / "new.img"))
    t.expect(EXTRACTING)
    t.expect(SLOT_QUESTION)
    restored = t.line_settings()
    t.send("1\r")
    t.expect("\nImage1 updated succeeded\n" + MENU + PROMPT)
    install_text = t.since(t.text.find(EXTRACTING))
    after_menu = t.wait_line(lambda a: not a[LFLAG] & termios.ICANON)

    # The download ran at 115200 raw 8N1; every other setting was kept.
    assert during[ISPEED] == during[OSPEED] == termios.B115200
    assert during[IFLAG] == termios.IGNBRK and during[OFLAG] == 0
    assert during[CFLAG] & termios.CSIZE == termios.CS8
    assert not during[CFLAG] & (termios.PARENB | termios.CSTOPB)
    keep_c = ~(termios.CBAUD | termios.CSIZE | termios.PARENB | termios.CSTOPB)
    assert during[CFLAG] & keep_c == restored[CFLAG] & keep_c
    assert during[LFLAG] == restored[LFLAG] & ~(termios.ICANON | termios.ECHO | termios.ECHOE
                                                 | termios.ISIG)
    assert during[CC] == restored[CC]
    # Afterwards the port is as it was, byte for byte: the installer's
    # question reads a cooked 9600 line, and the menu's key reads find the
    # same settings as before the download.
    assert restored[ISPEED] == restored[OSPEED] == termios.B9600
    assert restored[LFLAG] & (termios.ICANON | termios.ECHO | termios.ISIG) == (
        termios.ICANON | termios.ECHO | termios.ISIG)
    assert restored[IFLAG] & termios.ICRNL and restored[OFLAG] & termios.OPOST
    assert key_read_settings(restored) == at_menu == after_menu

    records = records_of(image)
    assert [r[0] for r in records] == ["uboot", "kernel", "rfs", "dft", "diags", "application"]
    # Each flash record: its label, the percentage display ending at 100%,
    # in file order; then the application's slot question and its install.
    labels = [FLASH[kind][1] for kind, _, _ in records[:-1]]
    at = 0
    for label in labels:
        at = install_text.index(label, at)
        end = install_text.index("\n", at)
        assert install_text[at:end].endswith("\b\b\b\b100%"), install_text[at:end]
    assert "Installing Diagnostics: " in install_text and "100%\ndone\n" in install_text
    assert (SLOT_QUESTION + "1\nInstalling image as image1:     ") in install_text
    assert install_text.count("Bad crc") == 0

    for kind, _, record in records[:-1]:
        part = FLASH[kind][0]
        assert board.read_partition(part) == expected_partition(before[part], kind, record), kind
    assert user_file(board, "images/image1") == records[-1][2]
    assert user_file(board, "images/image2") == old_app
    assert board.vpd(BOOT_SLOT) == 1

    # Versions as installed (the boot loader's from its payload at 240).
    choose(t, "h")
    t.expect("Installed images versions: \n"
             "\tBoot image  : 2.1.0.7\n\tRFS image   : 2.1.0.7\n"
             "\tKernel image: 2.1.0.7\n\tDFT image   : 2.1.0.7\n"
             "\tOS image 1  : 2.1.0.7\n\tOS image 2  : 1.0.0.1\n" + MENU + PROMPT)

    # Power cycle: the start-up goes on from the menu to the new slot.
    choose(t, "R")
    t.expect("vswitch: power on again (1 of 1)\n")
    to_menu(t)
    choose(t, "e")
    t.expect("Booting image '1'\n")
    t.expect("APP new ")
    assert t.finish() == (f"application exited with status {APP_EXIT}", 1)
    assert board.vpd(BOOTED) == 1
