"""The launch of an unpacked application on the virtual switch, in each mode
that the boot settings select, the compatibility question for an archive
without its marker, and a diagnostics record in a slot."""

import re

from bootlib import (APP_EXIT, app_archive, app_image, diag_archive, gdb_payload, in_order,
                     make_image, start)
from conftest import vswitch

BOOTED = vswitch.VPD_BOOTED_IMAGE
MOUNT = "mount -o sync -t jffs2 /dev/mtd-user /user"
APP = "/tmp/home/bin/mp.elf.strip"
SIM_PRELOAD = "/usr/lib/vswitch/libsimdev_preload.so"
REBOOTED = ["vswitch: init was asked to reboot", "vswitch: board asked for a reboot"]


def app_line(s, name):
    """The test application's banner: (pid, LD_PRELOAD, arguments)."""
    m = re.search(rf"^APP {name} pid=(\d+) preload=\[([^\]]*)\] args=\[([^\]]*)\]$",
                  s.out(), re.M)
    assert m, s.out()
    return m.groups()


def tmp_listing(s):
    m = re.search(r"^TMP \[([^\]]*)\]$", s.out(), re.M)
    assert m, s.out()
    return m.group(1).split()


def test_plain_launch_replaces_the_launcher_by_backtrace(make_board, boot_board, launcher,
                                                         preload, tmp_path):
    board = make_board(image1=app_image(tmp_path, "one"), boot_slot=1)
    s = start(boot_board, board, launcher, preload)
    s.expect("APP one ")
    # The runner reports the application when the launcher's own process
    # (the one init started) ends after /bin/backtrace: it was an exec.
    assert s.finish() == (f"application exited with status {APP_EXIT}", 1)
    _pid, ld_preload, args = app_line(s, "one")
    assert ld_preload == SIM_PRELOAD and args == ""
    # Unpacked in /tmp, the archive removed, no debugger fetched.
    assert tmp_listing(s) == ["home"]
    assert s.out_lines()[0] == "Booting image '1'"
    assert s.err() == ""
    assert s.log() == [MOUNT, "backtrace", f"vswitch: application exited with status {APP_EXIT}"]
    assert board.vpd(BOOTED) == 1


def test_memchk_runs_the_application_with_duma_preloaded_then_resets(
        make_board, boot_board, launcher, preload, tmp_path):
    board = make_board(image1=app_image(tmp_path, "one"), boot_slot=1, env=["memchk=on"])
    s = start(boot_board, board, launcher, preload)
    s.expect("APP one ")
    assert s.finish() == ("board asked for a reboot", 0)
    assert app_line(s, "one")[1:] == ("libduma.so.0.0.0", "")
    assert s.err() == ""
    assert s.log() == [MOUNT] + REBOOTED


def test_gdb_runs_the_debugger_from_the_other_slot_without_duma(
        make_board, boot_board, launcher, preload, tmp_path):
    gdb = gdb_payload()
    # The debugger is the first record of slot 2's file, whatever follows.
    image2 = make_image(tmp_path, [("application", "7.7.7.7", gdb),
                                   ("application", "2.0.0.2", app_archive("two"))])
    board = make_board(image1=app_image(tmp_path, "one"), image2=image2, boot_slot=1,
                       env=["gdb=on", "memchk=on"])
    s = start(boot_board, board, launcher, preload)
    s.expect("APP one ")
    assert s.finish() == ("board asked for a reboot", 0)
    assert in_order(s.out_lines(), [
        "Booting image '1'",
        "Extracting GDB from image slot 2",
        f"Found GDB image 2 of length = {len(gdb)}.",
        "decompressing GDB....",
        "*** Launching under GDB ***",
        f"GDB stand-in debugging [{APP}] preload=[{SIM_PRELOAD}]",
    ])
    assert app_line(s, "one")[1] == SIM_PRELOAD  # memchk is ignored under GDB
    assert sorted(tmp_listing(s)) == ["gdb", "home"]
    assert s.err() == ""
    assert s.log() == [MOUNT] + REBOOTED
    assert board.vpd(BOOTED) == 1


def test_gdb_asked_for_but_missing_launches_normally(make_board, boot_board, launcher,
                                                     preload, tmp_path):
    board = make_board(image2=app_image(tmp_path, "two"), boot_slot=2, env=["gdb=on"])
    s = start(boot_board, board, launcher, preload)
    s.expect("APP two ")
    assert s.finish() == (f"application exited with status {APP_EXIT}", 1)
    assert s.err() == "Failed to open GDB image (from slot 1)\n"
    assert in_order(s.out_lines(), [
        "Booting image '2'", "Extracting GDB from image slot 1",
        "**** GDB mode selected but GDB not available. Please install GDB image ***"])
    assert s.log() == [MOUNT, "backtrace", f"vswitch: application exited with status {APP_EXIT}"]


def test_gdbserver_with_its_port_and_no_debugger_extraction(make_board, boot_board, launcher,
                                                            preload, tmp_path):
    board = make_board(image1=app_image(tmp_path, "one"),
                       image2=make_image(tmp_path, [("application", "7.7.7.7", gdb_payload())]),
                       boot_slot=1, env=["gdbserver=on", "gdbport=4321", "gdb=on"])
    s = start(boot_board, board, launcher, preload)
    s.expect("APP one ")
    assert s.finish() == ("board asked for a reboot", 0)
    assert app_line(s, "one")[1] == SIM_PRELOAD
    assert "GDB" not in s.out()
    assert s.err() == ("gdbserver (virtual switch): not listening on :4321; "
                       f"running {APP} without a debugger\n")
    assert s.log() == [MOUNT, f"gdbserver :4321 {APP}"] + REBOOTED


def test_gdbserver_with_memchk_preloads_duma_into_gdbserver(make_board, boot_board, launcher,
                                                            preload, tmp_path):
    board = make_board(image1=app_image(tmp_path, "one"), boot_slot=1,
                       env=["memchk=on", "gdbserver=on"])
    s = start(boot_board, board, launcher, preload)
    s.expect("APP one ")
    assert s.finish() == ("board asked for a reboot", 0)
    assert app_line(s, "one")[1] == "libduma.so.0.0.0"
    assert s.log() == [MOUNT, f"LD_PRELOAD=libduma.so.0.0.0 gdbserver :1234 {APP}"] + REBOOTED


def test_shell_first_then_gdbserver(make_board, boot_board, launcher, preload, tmp_path):
    board = make_board(image1=app_image(tmp_path, "one"), boot_slot=1,
                       env=["shell=on", "gdbserver=on"])
    s = start(boot_board, board, launcher, preload)
    s.expect("Dropping into shell\n")
    s.expect("/ # ")
    # The shell runs in the unpacked tree's world: the application is there.
    s.send(f"ls {APP} && exit\r")
    s.expect("Dropping out of shell\n")
    s.expect("APP one ")
    assert s.finish() == ("board asked for a reboot", 0)
    assert in_order(s.out_lines(), ["Booting image '1'", "Dropping into shell", APP,
                                    "Dropping out of shell"])
    assert s.log() == [MOUNT, f"gdbserver :1234 {APP}"] + REBOOTED


def test_archive_without_marker_answered_n_launches_anyway(make_board, boot_board, launcher,
                                                           preload, tmp_path):
    board = make_board(image1=app_image(tmp_path, "noid", marker=False), boot_slot=1)
    s = start(boot_board, board, launcher, preload)
    s.expect("Would you like to enter recovery mode to download a new image? y/N: ")
    s.send("n")
    s.expect("APP noid ")
    assert s.finish() == (f"application exited with status {APP_EXIT}", 1)
    assert in_order(s.out_lines(), [
        "Booting image '1'",
        "WARNING: Suspected incompatible application image detected during unpacking"])
    # The key is not echoed: the application's output follows the prompt.
    assert ("Would you like to enter recovery mode to download a new image? y/N: APP noid "
            in s.out())
    assert s.err() == ""
    assert s.log()[-2:] == ["backtrace", f"vswitch: application exited with status {APP_EXIT}"]


def test_archive_without_marker_answered_y_opens_the_rescue_menu(
        make_board, boot_board, launcher, preload, tmp_path):
    board = make_board(image1=app_image(tmp_path, "noid", marker=False), boot_slot=1)
    s = start(boot_board, board, launcher, preload)
    s.expect("Would you like to enter recovery mode to download a new image? y/N: ")
    s.send("Y")
    # A rescue menu that is not built yet returns as Exit would.
    which = s.child.expect_exact(["Entering Rescue Mode.", "APP noid "], timeout=60)
    if which == 0:
        s.expect("Option? : ")
        s.send("e")
        s.expect("APP noid ")
    assert s.finish() == (f"application exited with status {APP_EXIT}", 1)
    assert s.log()[-2:] == ["backtrace", f"vswitch: application exited with status {APP_EXIT}"]
    assert board.vpd(BOOTED) == 1


def test_diagnostics_record_in_a_slot_runs_the_diagnostics_program(
        make_board, boot_board, launcher, preload, tmp_path):
    image1 = make_image(tmp_path, [("diags", "9.0.0.1", diag_archive("slot"))])
    board = make_board(image1=image1, boot_slot=1)
    s = start(boot_board, board, launcher, preload)
    s.expect("DIAG slot ")
    assert s.finish() == (f"application exited with status {APP_EXIT}", 1)
    assert in_order(s.out_lines(), ["Booting image '1'", "install diags image"])
    assert "not-diags" not in s.out()
    assert s.err() == ""
    assert board.vpd(BOOTED) == 1
