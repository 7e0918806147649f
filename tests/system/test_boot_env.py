"""Boot settings read from environment partitions made by mkenvimage, seen
through what the launch on the virtual switch then does."""

import pytest

from bootlib import APP_EXIT, app_image, start

MOUNT = "mount -o sync -t jffs2 /dev/mtd-user /user"
APP = "/tmp/home/bin/mp.elf.strip"
REBOOTED = ["vswitch: init was asked to reboot", "vswitch: board asked for a reboot"]


def boot_with(env, make_board, boot_board, launcher, preload, tmp_path):
    board = make_board(image1=app_image(tmp_path, "one"), boot_slot=1, env=env)
    s = start(boot_board, board, launcher, preload)
    return board, s


@pytest.mark.parametrize("value, port", [("4321", 4321), ("4321abc", 4321), ("abc", 1234),
                                         (" 77", 77)])
def test_gdbserver_alone_and_the_port_as_a_decimal_prefix(value, port, make_board, boot_board,
                                                          launcher, preload, tmp_path):
    # gdbserver=on with no gdb entry, and gdb=off before it: gdbserver wins
    # over GDB and no debugger is fetched.
    _board, s = boot_with(["gdb=off", "gdbserver=on", f"gdbport={value}"], make_board,
                          boot_board, launcher, preload, tmp_path)
    s.expect("APP one ")
    assert s.finish() == ("board asked for a reboot", 0)
    assert s.log() == [MOUNT, f"gdbserver :{port} {APP}"] + REBOOTED
    assert "GDB" not in s.out()


def test_keys_are_found_inside_other_entries_and_on_needs_lower_case(
        make_board, boot_board, launcher, preload, tmp_path):
    # shell=on inside a kernel command line, and a longer name ending in
    # gdbserver= whose value begins with "on"; MEMCHK is another key and
    # memchk=ON is not on.
    _board, s = boot_with(["bootargs=console=ttyS0 shell=on root=/dev/ram",
                           "mygdbserver=onwards", "MEMCHK=on", "memchk=ON"],
                          make_board, boot_board, launcher, preload, tmp_path)
    s.expect("Dropping into shell\n")
    s.expect("/ # ")
    s.send("exit\r")
    s.expect("APP one ")
    assert s.finish() == ("board asked for a reboot", 0)
    assert s.log() == [MOUNT, f"gdbserver :1234 {APP}"] + REBOOTED


@pytest.mark.parametrize("env, memchk", [
    (["memchk=off", "note=memchk=on"], False),
    (["note=memchk=on", "memchk=off"], True),
], ids=["off-first", "on-first"])
def test_the_first_occurrence_of_a_key_wins(env, memchk, make_board, boot_board, launcher,
                                            preload, tmp_path):
    _board, s = boot_with(env, make_board, boot_board, launcher, preload, tmp_path)
    s.expect("APP one ")
    if memchk:
        assert s.finish() == ("board asked for a reboot", 0)
        assert "preload=[libduma.so.0.0.0]" in s.out()
        assert s.log() == [MOUNT] + REBOOTED
    else:
        assert s.finish() == (f"application exited with status {APP_EXIT}", 1)
        assert "libduma" not in s.out()
        assert s.log() == [MOUNT, "backtrace",
                           f"vswitch: application exited with status {APP_EXIT}"]


def test_only_the_1280_bytes_after_the_checksum_word_are_seen(make_board, boot_board, launcher,
                                                              preload, tmp_path):
    # The filler entry and its NUL take 1271 bytes, so memchk=on ends with
    # the 1280th byte after the checksum word (its NUL is outside), and
    # shell=on begins beyond them.
    filler = "pad=" + "x" * (1271 - 5)
    env = [filler, "memchk=on", "shell=on"]
    assert len(filler) + 1 + len("memchk=on") == 1280
    board, s = boot_with(env, make_board, boot_board, launcher, preload, tmp_path)
    data = board.read_partition("ubootenv", 0, 4 + 1300)
    assert data[4 + 1271:4 + 1280] == b"memchk=on"
    assert data[4 + 1281:4 + 1289] == b"shell=on"
    s.expect("APP one ")
    assert s.finish() == ("board asked for a reboot", 0)
    assert "preload=[libduma.so.0.0.0]" in s.out()
    assert "Dropping into shell" not in s.out()
    assert s.log() == [MOUNT] + REBOOTED
