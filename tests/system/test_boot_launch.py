"""The launch on the virtual switch: the start-up order and each start mode
that the boot settings select, read from the device log (which holds the
launcher's device requests, shell commands and SIGINT handler in time
order); the compatibility question; the two launch failures; and the
rescue partition's recovery image with its install question."""

import gzip
import pathlib
import re
from collections import namedtuple

import pytest

import conftest
from conftest import (APP_ENDED, BOOT_SLOT, BOOTED, MENU, MOUNT, PROMPT, app_archive, app_image,
                      VM, choose, devices_log, diag_archive, diags_image, launcher_lines, make_image,
                      open_failed, press, rows, set_faults)

APP = "/tmp/home/bin/mp.elf.strip"
# The device model reaches the launcher, and what it starts, as a preload;
# the virtual machine has the real devices.
SIM = "" if VM else "/usr/lib/vswitch/libsimdev_preload.so"
DUMA = "libduma.so.0.0.0"
GDB = gzip.compress(b'#!/bin/sh\necho "GDB stand-in debugging [$*] preload=[${LD_PRELOAD:-}]"\n'
                    b'"$@"\n', mtime=0)
RESET_END = ("board asked for a reboot", 0)
B1 = "Booting image '1'"
UNPACK = r"system cd /tmp \ntar mxzf /tmp/velosimage.tar.gz \nrm /tmp/velosimage.tar.gz\n"
CLOSED = ["i2c-0 close", "i2c-1 close"]
RESET = "system reboot"
# SIGINT handler, I2C buses, flash partitions and geometry, boot settings,
# user partition; then the slot boot: the USB-boot flag, the boot slot (1)
# and, once the record is good, the booted image (1).
START = ["sigaction SIGINT handler", "i2c-0 open", "i2c-1 open", "flash",
         "mtd-ubootenv read 0x00000004 1280", f"system /bin/{MOUNT}",
         "i2c-0 write 0x54 01 3b", "i2c-0 read 0x54 1 -> ff", "i2c-0 write 0x54 01 00",
         "i2c-0 read 0x54 1 -> 01", "i2c-0 write 0x54 01 3a 01"]
QUESTION = "Would you like to enter recovery mode to download a new image? y/N: "
INSTALL = "Install recovery image as image 1 or 2 (hit return to just boot image): "
WARNING = "WARNING: Suspected incompatible application image detected during unpacking\n"


def requests(board):
    """The device log without open flags, I2C addressing, the bus-1 step
    of each VPD write and sleeps; the flash start-up (opens, geometry) as
    "flash"."""
    out = []
    for line in devices_log(board):
        line = re.sub(r" flags=0x[0-9a-f]+$", "", line)
        line = "flash" if re.fullmatch(r"mtd-\S+ (open|info)", line) else line
        if not (" slave " in line or line.startswith(("i2c-1 smbus", "sleep "))
                or line == "flash" and out[-1:] == ["flash"]):
            out.append(line)
    return out


def no_slot_files(first):
    return f"{open_failed(first)}\n{open_failed(3 - first, 'rescue image')}\n"


def banners(t):
    return [re.sub(r" pid=\d+| args=\[\]", "", line) for line in t.out_lines()
            if line.startswith(("APP ", "DIAG "))]


def gdbserver(port):
    return (f"gdbserver (virtual switch): not listening on :{port}; "
            f"running {APP} without a debugger\n")


# The boot settings, whether slot 1 holds diagnostics and whether slot 2
# holds a debugger -> stdout, stderr, the device log after START, the
# started program, the end.
Mode = namedtuple("Mode", "env diags gdb out err commands program end")
MODES = {
    "plain": Mode(
        env=[], diags=False, gdb=False, out=[B1], err="", commands=[UNPACK, *CLOSED],
        program=f"APP one preload=[{SIM}]", end=APP_ENDED),
    "memchk": Mode(
        env=["memchk=on"], diags=False, gdb=False, out=[B1], err="",
        commands=[UNPACK, *CLOSED, rf"system LD_PRELOAD={DUMA} {APP}\n", RESET],
        program=f"APP one preload=[{DUMA}]", end=RESET_END),
    "gdb-without-memchk": Mode(
        env=["gdb=on", "memchk=on"], diags=False, gdb=True,
        out=[B1, "Extracting GDB from image slot 2", f"Found GDB image 2 of length = {len(GDB)}.",
             "decompressing GDB....", "*** Launching under GDB ***",
             f"GDB stand-in debugging [{APP}] preload=[{SIM}]"], err="",
        commands=["system gunzip /tmp/gdb.gz", "system chmod +x /tmp/gdb", UNPACK, *CLOSED,
                  f"system /tmp/gdb {APP}", RESET],
        program=f"APP one preload=[{SIM}]", end=RESET_END),
    "gdb-missing": Mode(
        env=["gdb=on"], diags=False, gdb=False,
        out=[B1, "Extracting GDB from image slot 2",
             "**** GDB mode selected but GDB not available. Please install GDB image ***"],
        err="Failed to open GDB image (from slot 2)\n", commands=[UNPACK, *CLOSED],
        program=f"APP one preload=[{SIM}]", end=APP_ENDED),
    "gdbserver-port": Mode(
        env=["gdb=off", "gdbserver=on", "gdbport=4321"], diags=False, gdb=True, out=[B1],
        err=gdbserver(4321),
        commands=[UNPACK, *CLOSED, rf"system /bin/gdbserver :4321 {APP}\n", RESET],
        program=f"APP one preload=[{SIM}]", end=RESET_END),
    "gdbserver-memchk": Mode(
        env=["memchk=on", "gdbserver=on"], diags=False, gdb=False, out=[B1], err=gdbserver(1234),
        commands=[UNPACK, *CLOSED, rf"system LD_PRELOAD={DUMA} /bin/gdbserver :1234 {APP}\n",
                  RESET],
        program=f"APP one preload=[{DUMA}]", end=RESET_END),
    "diagnostics": Mode(
        env=[], diags=True, gdb=False, out=[B1, "install diags image"], err="",
        commands=[UNPACK, *CLOSED, "system mkdir -p /tmp/home/bin",
                  "system mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip"],
        program="DIAG slot", end=APP_ENDED),
}


@pytest.mark.parametrize("row", rows(MODES, ppc={"plain"}))
def test_start_up_order_and_launch_modes(row, make_board, terminal, tmp_path):
    image1 = (make_image(tmp_path, [("diags", "9.0.0.1", diag_archive("slot"))]) if row.diags
              else app_image(tmp_path, "one"))
    # The debugger is the first record of the other slot's file.
    image2 = make_image(tmp_path, [("application", "7.7.7.7", GDB),
                                   ("application", "2.0.0.2", app_archive("two"))])
    board = make_board(image1=image1, image2=image2 if row.gdb else None, boot_slot=1,
                       env=row.env)
    t = terminal(board)
    assert t.finish() == row.end
    assert launcher_lines(t) == row.out
    assert t.err() == row.err
    assert banners(t) == [row.program]
    if not VM:
        assert requests(board) == START + row.commands


@pytest.mark.parametrize("key, follows", [("n", ""),
                                         ("Y", "Entering Rescue Mode.\n" + MENU + PROMPT)])
def test_archive_without_marker_asks_before_the_launch(key, follows, make_board, terminal,
                                                       tmp_path):
    board = make_board(image1=app_image(tmp_path, "noid", marker=False), boot_slot=1)
    t = terminal(board)
    assert t.expect(QUESTION) == f"{B1}\n{WARNING}"
    press(t, key)
    # The key is not echoed: what it leads to follows the question at once.
    assert t.expect(follows or "APP noid ") == ""
    if follows:  # leaving the menu with Exit launches all the same
        choose(t, "e")
        t.expect("APP noid ")
    assert t.finish() == APP_ENDED


def test_unpack_that_cannot_start_resets_the_board(make_board, terminal, tmp_path):
    # No process can be started: the mount fails too, so neither slot file
    # is there and the rescue partition's diagnostics are launched.
    board = make_board(rescue=diags_image(tmp_path), boot_slot=1)
    set_faults(board, "fail-system")
    t = terminal(board)
    assert t.finish() == ("launcher exited with status 0", 1)
    assert launcher_lines(t) == [B1, "Launching diagnostics image"]
    assert t.err() == (no_slot_files(1) +
                       "Failed to gunzip Application OS.\n"
                       "System reboot failed, please power-cycle.\n")
    assert [line for line in requests(board) if line.startswith("system")] == [
        f"system /bin/{MOUNT} -> EAGAIN", UNPACK + " -> EAGAIN", RESET + " -> EAGAIN"]


def test_wrapper_that_cannot_start_resets_the_board(make_board, terminal, tmp_path):
    board = make_board(image1=app_image(tmp_path, "one"), boot_slot=1, env=["shell=on"])
    t = terminal(board)
    t.expect("Dropping into shell\n")
    t.expect("/ # ")
    t.send(f"ls {APP} && rm /bin/backtrace && exit\r")  # the shell sees the unpacked tree
    assert t.finish() == RESET_END
    assert launcher_lines(t) == [B1, "Dropping into shell", APP, "Dropping out of shell"]
    assert t.err() == "Failed to start Application OS.\n"
    if not VM:
        assert requests(board) == START + [UNPACK, *CLOSED, r"system /bin/sh\n", RESET]


# answer, the archive has its marker, VPD boot slot -> console after the
# install question, slot installed, VPD booted image.
RECOVERY = {
    "slot-2": ("2\r", True, 1, "2\n\nInstalling recovery image as image2...\n"
               "Setting boot image to 2\n", 2, 2),
    # The rest of a long line is not the compatibility question's key.
    "long-line": ("1234567y\r", False, 2, "1234567y\n\nInstalling recovery image as image1...\n"
                  f"Setting boot image to 1\n{WARNING}{QUESTION}", 1, 1),
    "enter": ("\r", True, 2, "\n\nBooting recovery image. You will need to download and install "
              "an image before rebooting\n", None, 4),
    "end-of-input": ("\x04", True, 1, "", None, 0xFF),  # Ctrl-D on an empty line
}


@pytest.mark.parametrize("row", RECOVERY.values(), ids=RECOVERY.keys())
def test_recovery_image_install_question(row, make_board, terminal, tmp_path):
    answer, marker, slot, shown, installed, booted = row
    record = make_image(tmp_path, [("application", "3.0.0.3",
                                    app_archive("recovery", marker=marker))])
    board = make_board(rescue=record, boot_slot=slot)
    t = terminal(board)
    t.expect(INSTALL)
    t.send(answer)
    if not marker:
        t.expect(QUESTION)
        press(t, "n")
    assert t.finish() == APP_ENDED
    assert INSTALL + shown + "APP recovery " in t.out()
    assert t.err() == no_slot_files(slot)
    # The whole record, header included, is the new slot file.
    assert {f.name: f.read_bytes() for f in pathlib.Path(board.user, "images").glob("*")} == (
        {f"image{installed}": record} if installed else {})
    assert board.vpd(BOOT_SLOT) == (installed or slot) and board.vpd(BOOTED) == booted


def test_archive_that_cannot_be_opened_resets_the_board(make_board, terminal, stand_in,
                                                        monkeypatch, tmp_path):
    # With 12 descriptors the launcher holds all it may (console 3, I2C 2,
    # the device log 1, flash 6): the mount's shell and every file open fail,
    # the rescue image's archive included.
    conftest.model_only("limit on the launcher's descriptors alone")
    monkeypatch.setattr(conftest, "VSWITCH",
                        stand_in(f'exec prlimit --nofile=12:12 {conftest.VSWITCH} "$@"\n'))
    board = make_board(rescue=app_image(tmp_path, "recovery"), boot_slot=1)
    t = terminal(board)
    assert t.finish() == RESET_END
    assert launcher_lines(t) == [B1]
    assert t.err().endswith(no_slot_files(1) +
                            "Failed to open AppOS tarfile.\n")
    assert board.vpd(BOOTED) == 0xFF
