"""Tests of the virtual switch itself: board directories, and the runner
booting stand-in launchers (BusyBox scripts) that act out whatever the real
launcher does. The real launcher's boots are tested in test_boot_*.py and
test_rescue_*.py; here it boots only the demo board."""

import os
import re
import shutil
import struct
import subprocess
import zlib

import pytest

from conftest import (IMGTOOL, REPO, VSWITCH, WAIT, finish, log_since_power_on,
                      user_file, vswitch)


def cli(*args):
    return subprocess.run([VSWITCH, *map(str, args)], capture_output=True, text=True,
                          timeout=WAIT, stdin=subprocess.DEVNULL)


def values(child, *names):
    """Waits for console lines `NAME=VALUE`, in order; returns the values."""
    found = []
    for name in names:
        child.expect(rf"{name}=([^\r]*)\r\n")
        found.append(child.match.group(1))
    return found

# ------------------------------------------------------------ board files


def test_new_board_is_erased_flash_and_blank_vpd_in_whole_sectors(make_board, tmp_path):
    board = make_board()
    erasesize, sizes = board.geometry()
    assert erasesize == 131072
    for name, size in vswitch.PARTITIONS:
        assert board.read_partition(name) == b"\xff" * size == b"\xff" * sizes[name], name
    assert open(os.path.join(board.dev, "i2c-0-54.bin"), "rb").read() == b"\xff" * 8192
    assert open(os.path.join(board.dev, "i2c-1-20.bin"), "rb").read() == bytes(256)
    assert os.listdir(board.user) == [] and not os.path.exists(board.usb)
    # Another geometry reaches the device model through board.conf.
    other = vswitch.create_board(str(tmp_path / "other"), erasesize=65536,
                                 sizes={"kernel": 65536 * 3})
    conf = open(os.path.join(other.dev, "board.conf")).read().split()
    assert {"erasesize=65536", "mtd-kernel=196608", "mtd-user-char=2097152"} <= set(conf)
    assert len(other.read_partition("kernel")) == 196608
    with pytest.raises(vswitch.VswitchError, match="multiple"):
        vswitch.create_board(str(tmp_path / "b"), sizes={"rfs": 1000})
    # Nor does it wipe a directory that is not a board.
    (tmp_path / "mine").mkdir()
    (tmp_path / "mine" / "precious").write_text("keep me")
    with pytest.raises(vswitch.VswitchError):
        vswitch.create_board(str(tmp_path / "mine"), force=True)
    assert (tmp_path / "mine" / "precious").read_text() == "keep me"


def test_command_line_creates_and_changes_a_board_and_refuses_to_boot_one(tmp_path, stand_in):
    for name, data in (("one", b"slot one"), ("two", b"slot two"), ("resc", b"RESCUE" * 10),
                       ("big", b"\0" * (10485760 + 1))):
        (tmp_path / name).write_bytes(data)
    (tmp_path / "stick").mkdir()
    (tmp_path / "stick" / "QLX5270_OS.img").write_bytes(b"stick image")
    r = cli("create", tmp_path / "b", "--image1", tmp_path / "one", "--image2", tmp_path / "two",
            "--rescue", tmp_path / "resc", "--boot-slot", "2", "--usb-boot", "0xd5",
            "--vpd", "0x13a=4", "--usb", tmp_path / "stick")
    assert r.returncode == 0, r.stderr
    board = vswitch.Board(str(tmp_path / "b"))
    assert user_file(board, "images/image1") == b"slot one"
    assert user_file(board, "images/image2") == b"slot two"
    rescue = board.read_partition("rescue")
    assert rescue == b"RESCUE" * 10 + b"\xff" * (len(rescue) - 60)
    assert [board.vpd(o) for o in (0xFF, 0x100, 0x101, 0x13A, 0x13B)] == [0xFF, 2, 0xFF, 4, 0xD5]
    assert vswitch.stick_listing(board.usb) == ["QLX5270_OS.img"]

    r = cli("set", board.path, "--rescue", tmp_path / "big")
    assert r.returncode == 2 and "do not fit" in r.stderr
    assert board.read_partition("rescue") == rescue
    (tmp_path / "env.txt").write_text("gdb=on\n\ngdbserver=on\n")
    r = cli("set", board.path, "--boot-slot", "1", "--no-usb", "--env-file", tmp_path / "env.txt",
            "--env", "memchk=on")
    assert r.returncode == 0, r.stderr
    assert board.vpd(0x100) == 1 and not os.path.exists(board.usb)
    assert vswitch.parse_env_image(board.read_partition("ubootenv")) == (
        True, ["memchk=on", "gdb=on", "gdbserver=on"])

    # Boot refuses a directory that is not a board, and a user who is not root.
    script = stand_in("echo should not run\n")
    r = cli("boot", tmp_path / "stick", "--launcher", script, "--preload", "none")
    assert r.returncode == 2 and "not a board" in r.stderr
    if os.geteuid() == 0:
        r = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                            VSWITCH, "boot", board.path, "--launcher", script, "--preload", "none"],
                           capture_output=True, text=True, timeout=WAIT, stdin=subprocess.DEVNULL)
        assert r.returncode == 2 and "needs root" in r.stderr
        assert "should not run" not in r.stdout
        assert "vswitch: power on" not in board.log_lines()


def test_environment_is_checksum_then_entries_then_erased_flash(make_board):
    entries = ["diagnostics=rescue", "gdbport=4321", "bootargs=a b"]
    data = make_board(env=entries).read_partition("ubootenv")
    body = b"diagnostics=rescue\0gdbport=4321\0bootargs=a b\0\0"  # an empty entry ends it
    assert len(data) == 131072
    # The big-endian CRC-32 of everything after the word, as the board's loader computes it.
    assert data[:4] == struct.pack(">I", zlib.crc32(data[4:]))
    assert data[4:4 + len(body)] == body
    assert data[4 + len(body):] == b"\xff" * (131072 - 4 - len(body))
    assert vswitch.parse_env_image(data) == (True, entries)
    assert vswitch.parse_env_image(data[:5] + bytes([data[5] ^ 1]) + data[6:])[0] is False
    with pytest.raises(vswitch.VswitchError, match="NAME=VALUE"):
        vswitch.make_env_image(["shell"], 131072)


# ------------------------------------------------------------ the runner


def test_switch_sees_its_own_root_host_processes_and_network(make_board, stand_in, boot_board):
    marker = f"/root/vswitch-host-marker-{os.getpid()}"
    with open(marker, "w") as f:
        f.write("host only")
    try:
        child = boot_board(make_board(), stand_in(
            "echo \"pid=$$\"; echo \"host=$(hostname)\"\n"
            f"echo \"marker=$(cat {marker} 2>&1)\"\n"
            "echo \"work=$(ls -d /work 2>&1)\"\n"
            "echo \"devs=$(tail -n +3 /proc/net/dev | cut -d: -f1 | tr -d ' ' | tr '\\n' ,)\"\n"
            "echo \"procs=$(ls /proc | grep -c '^[0-9]')\"\n"
            "for f in /bin/* /sbin/* /usr/bin/* /usr/sbin/*; do\n"
            "  if [ -L \"$f\" ]; then [ \"$(readlink \"$f\")\" = /bin/busybox ] || echo \"odd link $f\"\n"
            "  else head -c 2 \"$f\" | grep -q '#!' || [ \"$f\" = /bin/busybox ] || echo \"odd file $f\"\n"
            "  fi\n"
            "done\n"
            "echo listing done\n"))
        pid, host, seen, work, devs, procs = values(child, "pid", "host", "marker", "work", "devs",
                                                    "procs")
        assert int(pid) < 10 and int(procs) < 10  # a fresh PID namespace
        assert host == "vswitch" and os.uname().nodename != "vswitch"
        assert "host only" not in seen and "No such file" in work
        assert devs == "lo,"
        child.expect("listing done")
        assert "odd" not in child.before  # BusyBox and the stand-in scripts only
        assert finish(child) == ("launcher exited with status 0", 1)
    finally:
        os.unlink(marker)


def test_stand_ins_mount_and_log_and_mounts_stay_on_the_switch(make_board, stand_in,
                                                              boot_board):
    board = make_board(image1=b"IMAGE-ONE")
    host_mounts = open("/proc/mounts").read().count(board.path)
    child = boot_board(board, stand_in(
        "echo \"stick=[$(ls /mnt/usb)] ready=$(test -e /tmp/usb && echo y)\"\n"
        "echo \"before=[$(ls /user)]\"\n"
        "/bin/mount -o sync -t jffs2 /dev/mtd-user /user\n"
        "echo \"mounted=[$(ls /user/images)] $(cat /user/images/image1)\"\n"
        "/bin/mount -o sync -t jffs2 /dev/mtd-user /user; echo \"again=$?\"\n"
        "mount -t tmpfs none /mnt && grep ' /mnt ' /proc/mounts\n"
        "echo \"waiting=\"; read line\n"
        "/bin/umount /user\n"
        "echo \"after=[$(ls /user)]\"\n"
        "LD_PRELOAD=libduma.so.0.0.0 /usr/lib/vswitch/rx --version 2>&1\n"
        "echo \"done=\"\n"))
    stick, before, mounted = values(child, "stick", "before", "mounted")
    assert (stick, before, mounted) == ("[] ready=", "[]", "[image1] IMAGE-ONE")
    child.expect("Device or resource busy")
    assert values(child, "again") != ["0"]
    child.expect(r"none /mnt tmpfs")
    values(child, "waiting")
    assert open("/proc/mounts").read().count(board.path) == host_mounts
    child.sendline("")
    assert values(child, "after") == ["[]"]
    values(child, "done")
    assert "cannot be preloaded" not in child.before
    finish(child)
    log = log_since_power_on(board)
    assert log.count("mount -o sync -t jffs2 /dev/mtd-user /user") == 2
    assert "umount /user" in log
    if shutil.which("cc"):  # the stand-in library is built at boot
        assert any(line.startswith("libduma.so.0.0.0 loaded into pid") for line in log)


def test_reboot_powers_on_again_with_fresh_tmp_and_kept_files_and_flash(make_board, stand_in,
                                                                       boot_board):
    board = make_board()
    child = boot_board(board, stand_in(
        "/bin/mount -o sync -t jffs2 /dev/mtd-user /user\n"
        "echo \"tmp=[$(ls /tmp)]\"\n"
        "if [ -f /user/kept ]; then echo \"kept=$(cat /user/kept)\"; exit 7; fi\n"
        "echo left-in-ram > /tmp/scratch\n"
        "echo from-first-boot > /user/kept\n"
        "printf 'FLASH' | dd of=/.vswitch/dev/mtd-kernel.bin bs=1 seek=16 conv=notrunc 2>/dev/null\n"
        "reboot; sleep 5\n"), args=["--reboots", "1"])
    assert values(child, "tmp") == ["[]"]
    child.expect("power on again")
    assert values(child, "tmp", "kept") == ["[]", "from-first-boot"]
    assert finish(child) == ("launcher exited with status 7", 1)
    assert user_file(board, "kept") == b"from-first-boot\n"
    assert board.read_partition("kernel", 16, 5) == b"FLASH"
    assert board.log_lines().count("vswitch: power on") == 2
    assert "vswitch: init was asked to reboot" in board.log_lines()


APP = ("mkdir -p /tmp/home/bin\n"
       "printf '#!/bin/sh\\necho app running\\nexit 5\\n' > /tmp/home/bin/mp.elf.strip\n"
       "chmod +x /tmp/home/bin/mp.elf.strip\n"
       "exec /bin/backtrace\n")


@pytest.mark.parametrize("script, args, key, final, code, logged", [
    ("/sbin/reboot; sleep 5; echo still alive\n", [], "", "board asked for a reboot", 0,
     "vswitch: init was asked to reboot"),
    ("exit 3\n", [], "", "launcher exited with status 3", 1, None),
    (APP, [], "", "application exited with status 5", 1, "backtrace"),
    ("sleep 100\n", ["--timeout", "3"], "", "no end within 3 seconds; board powered off", 124,
     None),
    ("sleep 100\n", [], "\x1d", "board powered off by the operator", 125, None),
], ids=["reboot", "launcher-exit", "application-exit", "timeout", "escape-key"])
def test_final_line_and_exit_status(script, args, key, final, code, logged, make_board,
                                    stand_in, boot_board):
    board = make_board()
    child = boot_board(board, stand_in("echo stand-in up\n" + script), args=args)
    child.expect("Ctrl-] powers the board off")
    child.expect("stand-in up")
    if key:
        child.send(key)
    assert finish(child) == (final, code)
    assert "still alive" not in child.before
    if logged:
        assert logged in log_since_power_on(board)


def test_usb_stick_appears_after_its_delay_with_its_ready_sign(make_board, stand_in,
                                                               boot_board):
    board = make_board(usb={"QLX5270_OS.img": b"x"})
    child = boot_board(board, stand_in(
        "test -e /tmp/usb || echo not yet\n"
        "while ! test -e /tmp/usb; do sleep 0.2; done\n"
        "echo \"stick=[$(ls /mnt/usb)]\"\n"), args=["--usb-delay", "2"])
    child.expect("not yet")
    assert values(child, "stick") == ["[QLX5270_OS.img]"]
    finish(child)

# ------------------------------------------------------------ the console


def test_console_settings_line_editing_sigint_and_ttys0(make_board, stand_in, boot_board):
    child = boot_board(make_board(), stand_in(
        "stty -a\n"
        "trap 'echo got SIGINT' INT\n"
        "echo ready for a line\n"
        "read line; echo \"line=[$line]\"\n"
        "echo ready for ctrl-c\n"
        "sleep 30 & wait\n"
        "echo \"same=$(stat -L -c %t:%T /dev/ttyS0) $(stat -L -c %t:%T /proc/self/fd/0)\"\n"
        "echo written-to-ttyS0 > /dev/ttyS0\n"
        "stty -F /dev/ttyS0 115200 -echo\n"
        "echo \"stdin now: $(stty | head -1)\"\n"))
    child.expect(r"speed 9600 baud")  # the settings at power-on
    child.expect("ready for a line")
    for flag in ("isig", "icanon", "echo", "icrnl", "onlcr"):
        assert re.search(rf"(?<![-\w]){flag}\b", child.before), flag
    child.send("abc\x7fd\r")
    # Echoed by the line discipline, the erase as backspace-blank-backspace.
    child.expect_exact("abc\b \bd")
    child.expect(r"line=\[abd\]")
    child.expect("ready for ctrl-c")
    child.sendcontrol("c")
    child.expect("got SIGINT")
    ttys0, stdin = values(child, "same")[0].split()
    assert ttys0 == stdin  # /dev/ttyS0 is the console itself
    child.expect("written-to-ttyS0")
    child.expect(r"stdin now: speed 115200 baud")
    finish(child)


def test_piped_console_carries_bytes_both_ways(make_board, stand_in, bootable):
    script = stand_in("stty raw -echo; echo ready; head -c 5 | od -An -tx1; stty sane\n")
    proc = subprocess.Popen([VSWITCH, "boot", make_board().path, "--launcher", script,
                             "--preload", "none", "--timeout", "120"],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    seen = b""
    while b"ready" not in seen:
        chunk = proc.stdout.read1(4096)
        assert chunk, seen
        seen += chunk
    # Without a terminal on stdin there is no escape key: every byte,
    # the escape and Ctrl-C included, goes to the switch.
    out, _ = proc.communicate(b"\x1d\x03ab\n", timeout=WAIT * 2)
    assert b"1d 03 61 62 0a" in out
    assert proc.returncode == 1

# ------------------------------------------------------ the real launcher


def test_demo_board_boots_its_application(launcher, preload, boot_board, tmp_path):
    # What the launcher does on it is tested in test_boot_*.py; this is the demo script.
    if not os.access(IMGTOOL, os.X_OK):
        pytest.skip(f"imgtool not built at {IMGTOOL}")
    r = subprocess.run(["sh", os.path.join(REPO, "sim", "demo", "make-demo.sh"), "--no-boot",
                        str(tmp_path / "demo")], capture_output=True, text=True, timeout=WAIT)
    assert r.returncode == 0, r.stderr
    child = boot_board(vswitch.Board(str(tmp_path / "demo" / "board")), launcher, preload)
    child.expect(r"demo application: image 'image1', version 1\.0\.0\.1")
    child.expect("switch# ")
    child.sendline("reboot")
    assert finish(child) == ("board asked for a reboot", 0)
