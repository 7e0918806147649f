"""The virtual switch itself: board files and the command line, boots of a
stand-in launcher (a BusyBox script) that looks at the switch from inside,
and the demo script at a terminal. The real launcher's boots are tested in
test_boot_*.py and test_rescue_*.py."""

import os
import re
import termios

import pexpect
import pytest

from conftest import (APP_ENDED, BUILD_DIR, PPC_VM, REPO, VM, WAIT, app_image, boot_blocker, cli,
                      full_image, records_of, user_file, vswitch)


def test_command_line_makes_boards_and_leaves_other_directories_alone(tmp_path):
    (tmp_path / "one").write_bytes(b"slot one")
    r = cli("create", tmp_path / "b", "--image1", tmp_path / "one", "--rescue", tmp_path / "one",
            "--vpd", "0x13a=4", "--usb-boot", "0xd5")
    assert r.returncode == 0, r.stderr
    board = vswitch.Board(str(tmp_path / "b"))
    assert [board.vpd(o) for o in (0x100, 0x13A, 0x13B)] == [0xFF, 4, 0xD5]
    assert board.read_partition("rescue") == b"slot one".ljust(10485760, b"\xff")
    (tmp_path / "mine").mkdir()
    (tmp_path / "mine" / "precious").write_text("keep me")
    assert cli("create", tmp_path / "mine", "--force").returncode == 2
    r = cli("boot", tmp_path / "mine")
    assert r.returncode == 2 and "not a board" in r.stderr
    assert os.listdir(tmp_path / "mine") == ["precious"]


# Two power-ons of one board. The first looks around, takes Ctrl-C, raw
# bytes and the stick, leaves traces in RAM, the user files and the flash,
# and reboots; the second finds what is left. (stty's complaint is dropped:
# on the PowerPC machine BusyBox's stty says it could not make every
# setting whenever it sets a speed, although the speed read back is set.)
LIFE = """/bin/mount -o sync -t jffs2 /dev/mtd-user /user
if [ -f /user/kept ]; then echo "again tmp=[$(ls /tmp)] kept=$(cat /user/kept)"; read x; exit 7; fi
echo "pid=$$ procs=$(ls /proc | grep -c '^[0-9]') host=$(hostname) $(cat HOSTFILE 2>&1)"
echo "net=$(tail -n +3 /proc/net/dev | cut -d: -f1 | tr -d ' \\n') usb=$(ls /tmp/usb 2>&1)"
echo "ttyS0=$(stat -L -c %t:%T /dev/ttyS0) stdin=$(stat -L -c %t:%T /proc/self/fd/0)"
for f in /bin/* /sbin/* /usr/bin/* /usr/sbin/*; do [ "$(readlink $f)" = /bin/busybox ] ||
  [ $f = /bin/busybox ] || head -c 2 $f | grep -q '#!' || echo "odd file $f"; done
trap 'echo got SIGINT' INT
echo ready; sleep 30 & wait
stty raw -echo 115200 2> /dev/null; echo raw; head -c 5 | od -An -tx1
while ! test -e /tmp/usb; do sleep 0.2; done; echo "stick=[$(ls /mnt/usb)]"
echo scratch > /tmp/scratch; echo from-first-boot > /user/kept
printf FLASH | dd of=/.vswitch/dev/mtd-kernel.bin bs=1 seek=16 conv=notrunc 2>/dev/null
reboot; sleep 60; echo still alive\n"""


def test_two_power_ons_of_one_board(make_board, stand_in, terminal):
    board = make_board(usb={"QLX5270_OS.img": b"x"})
    # An escape key is set, but the console is a pipe: every byte must pass.
    t = terminal(board, stand_in(LIFE.replace("HOSTFILE", f"{REPO}/README.md")), "none",
                 ["--reboots", "1", "--usb-delay", "later", "--escape", "^]"], tag=False)
    seen = t.expect("ready\n")
    if not VM:  # the namespaces' own: a few processes, BusyBox and scripts only
        assert re.search(r"pid=\d procs=\d host=vswitch cat: .*No such file", seen), seen
        assert "odd file" not in seen
    assert "host=vswitch cat: " in seen and "net=lo usb=ls: /tmp/usb: No such file" in seen
    assert len(set(re.search(r"ttyS0=(\S+) stdin=(\S+)", seen).groups())) == 1
    assert board.path not in open("/proc/mounts").read()
    t.send("\x03")
    t.expect("got SIGINT\nraw\n")
    t.send(b"\x1d\x03ab\n")
    t.expect("1d 03 61 62 0a")
    assert cli("usb", board.path, "plug").returncode == 0
    t.expect("stick=[QLX5270_OS.img]")
    t.expect("vswitch: power on again (1 of 1)\nagain tmp=[] kept=from-first-boot\n")
    iflag, oflag, _, lflag, ispeed, ospeed, _ = t.line_settings()  # reset at power-on
    cooked = termios.ICANON | termios.ECHO | termios.ISIG
    assert (ispeed, ospeed, lflag & cooked) == (termios.B9600, termios.B9600, cooked)
    assert iflag & termios.ICRNL and oflag & termios.ONLCR
    t.send("\r")
    assert t.finish() == ("launcher exited with status 7", 1) and "still alive" not in t.text
    assert user_file(board, "kept") == b"from-first-boot\n"
    # The PowerPC machine's flash is an image made at power-on and split
    # back after it: the board's file written while it runs is not its flash.
    assert board.read_partition("kernel", 16, 5) == (b"\xff" * 5 if PPC_VM else b"FLASH")
    assert board.log_lines().count("vswitch: power on") == 2


# Each chain partition as a power cut leaves it, a 1 KiB piece still erased,
# and what the power-on check says of it.
CHAIN_DAMAGE = {None: None, "uboot": "erased piece at 0x800 within its 40000 bytes",
                "kernel": "record CRC mismatch", "devicetree": "record CRC mismatch",
                "rfs": "record CRC mismatch"}


@pytest.mark.parametrize("damaged", CHAIN_DAMAGE)
def test_a_board_given_a_boot_chain_starts_only_while_it_is_whole(damaged, make_board, terminal,
                                                                   tmp_path):
    chain = tmp_path / "chain.img"
    chain.write_bytes(b"".join(record for kind, _, record in records_of(full_image(tmp_path))
                               if kind != "application"))
    board = make_board(image1=app_image(tmp_path, "old"), boot_slot=1)
    assert cli("set", board.path, "--boot-chain", chain).returncode == 0
    if damaged:
        board.write_partition(damaged, 2048, b"\xff" * 1024)
    said = f"board would not start: {damaged} partition damaged ({CHAIN_DAMAGE[damaged]})"
    assert terminal(board).finish() == ((said, 1) if damaged else APP_ENDED)


def test_a_board_that_never_ends_is_powered_off_at_its_timeout(make_board, stand_in, terminal):
    t = terminal(make_board(), stand_in("sleep 100\n"), "none", ["--timeout", "3"])
    assert t.finish() == ("no end within 3 seconds; board powered off", 124)


def test_demo_powers_on_again_after_a_reboot_until_the_escape_key(tmp_path):
    if boot_blocker():
        pytest.skip(boot_blocker())
    demo = pexpect.spawn("sh", [os.path.join(REPO, "sim", "demo", "make-demo.sh"), str(tmp_path)],
                         env=dict(os.environ, SWITCH_BUILD_DIR=BUILD_DIR), encoding="utf-8",
                         codec_errors="replace", timeout=WAIT)
    try:
        for key, said in (("reboot\r", "board asked for a reboot\r\nvswitch: power on again (1)"),
                          ("\x1d", "board powered off by the operator")):  # \x1d: Ctrl-]
            demo.expect(r"demo application: image 'image1', version 1\.0\.0\.1")
            demo.expect_exact("switch# ")
            demo.send(key)
            demo.expect_exact("\r\nvswitch: " + said + "\r\n")
        demo.expect(pexpect.EOF)
        demo.close()
        assert demo.exitstatus == 125
    finally:
        demo.terminate(force=True)
