"""The USB stick on the virtual switch: the launcher's wait for it (arriving
late, never, with a damaged file system, without a partition table, or not
allowed by the VPD), the stick handler taking the stick away when it is
pulled out, even during its mount, keeping a second stick off /mnt/usb,
mounting the FAT partition behind one that is not, leaving alone what
another user put down in /tmp and getting past a handler that died, and a
replacement in the rejected-image list going in only after yes."""

import hashlib
import os
import pathlib
import re
import subprocess

import pytest

from conftest import (APP_ENDED, BOOT_SLOT, USB_READY, USB_WAIT, VM, VSWITCH, app_image,
                      devices_log, in_order, model_only, rows, user_file, usb_board, vswitch)

NOTES = {"Notes.txt": b"no image here\n"}
NOT_MOUNTED = ("usb: /dev/sda not mounted: mount: mounting /dev/sda on /mnt/usb failed: "
               "Invalid argument\n")


def damaged(board):
    with open(board.usb, "r+b") as f:
        f.write(bytes(512))  # the boot sector


# How the stick comes ("later": once the wait has shown its first dot), and
# the dots the wait shows: None for no wait at all.
LATE = ["--usb-delay", "later"]
WAITS = {
    "late": (LATE, None, range(1, 10)),
    "never": ([], lambda b: subprocess.run([VSWITCH, "set", b.path, "--no-usb"], check=True),
              [10]),
    "damaged": ([], damaged, [10]),
    "present": ([], None, [0]),
    "bare": ([], lambda b: vswitch.make_stick(b.usb, list(NOTES.items()), "bare"), [0]),
    "bare-late": (LATE, lambda b: vswitch.make_stick(b.usb, list(NOTES.items()), "bare"),
                  range(1, 10)),
    "212": ([], lambda b: b.set_vpd(vswitch.VPD_USB_BOOT, 212), None),
    "214": ([], lambda b: b.set_vpd(vswitch.VPD_USB_BOOT, 214), None),
}


@pytest.mark.parametrize("case", [pytest.param(c, marks=[pytest.mark.vm] * (
    c in ("late", "present", "bare", "bare-late"))) for c in WAITS])
def test_wait_for_the_stick(case, make_board, terminal, tmp_path):
    args, change, dots = WAITS[case]
    board = usb_board(make_board, tmp_path, NOTES)
    if change:
        change(board)
    t = terminal(board, args=args)
    booting = ""
    if args == LATE:
        booting = t.expect(USB_WAIT + ".") + USB_WAIT + "."
        subprocess.run([VSWITCH, "usb", board.path, "plug"], check=True)
    booting += t.expect("Booting image '1'\n")
    assert t.expect("APP old ") == ""
    assert t.finish() == APP_ENDED
    if dots is None:
        assert USB_WAIT not in t.text
        return
    ready = max(dots) < 10
    end = "USB mounted and ready!\n" if ready else "USB mount timed out\n"
    waited = re.search(re.escape(USB_WAIT) + r"(\.*)" + re.escape(end) + r"(.*)\Z", booting,
                       re.S)
    assert waited and len(waited.group(1)) in dots
    if not VM:  # a second's pause, then a second a test, once the VPD allowed USB boot
        slept = re.search(r"-> d5\n((sleep \d+\n)*)", "\n".join(devices_log(board)) + "\n")
        assert slept.group(1) == "sleep 1\n" * (len(waited.group(1)) + 1)
    assert waited.group(2) == ("No boot image found on USB.\nNo valid image found on USB\n"
                               if ready else "")
    assert (NOT_MOUNTED in t.out()) == (change is damaged)


@pytest.mark.vm
def test_pulled_stick_loses_its_sign_before_its_mount(make_board, terminal, stand_in):
    board = make_board(usb=NOTES)
    t = terminal(board, launcher=stand_in(
        "until [ -e /tmp/usb ]; do sleep 0.1; done\n"
        "echo \"ready=$(cat /tmp/usb) [$(ls /mnt/usb)]\"\n"
        "while [ -e /tmp/usb ]; do\n"
        "    grep -q ' /mnt/usb ' /proc/mounts || ! [ -e /tmp/usb ] || echo sign without a mount\n"
        "done\n"
        "while grep -q ' /mnt/usb ' /proc/mounts; do sleep 0.1; done\n"
        "echo gone\n"))
    t.expect("ready=sda1 [Notes.txt]\n")
    subprocess.run([VSWITCH, "usb", board.path, "pull"], check=True)
    assert t.expect("gone\n") == ""
    assert t.finish() == ("launcher exited with status 0", 1)
    assert in_order(t.log(), ["vswitch: USB stick plugged in", "mount -t vfat -o ro /dev/sda1 "
                              "/mnt/usb", "vswitch: USB stick pulled out", "umount -l /mnt/usb"])


# Events that meet: (boot args, what the handler says of it, whether a sign
# is left, the sign and what /mnt/usb holds).
RACES = {"pulled-at-mount": (["--usb-unplug", "mount"],
                             "usb: /dev/sda1 not used: it was removed while being mounted\n",
                             "", r"sign= on=\[\]"),
         "two-sticks": (["--usb-delay", "1", "--usb-twin"], " ignored: /mnt/usb is in use\n",
                        "y", r"sign=(sd[ab]1) on=\[/dev/\1\]")}


@pytest.mark.parametrize("case", RACES)
def test_a_sign_only_for_the_one_mount_there(case, make_board, terminal, stand_in):
    args, said, sign, left = RACES[case]
    t = terminal(make_board(usb=NOTES), args=args, launcher=stand_in(
        "read -r sign\n"
        "until [ -z \"$sign\" ] || [ -e /tmp/usb ]; do sleep 0.1; done\n"
        "echo \"sign=$(cat /tmp/usb) on=[$(grep ' /mnt/usb ' /proc/mounts | cut -d' ' -f1)]\"\n"))
    t.expect(said)
    t.send(sign + "\r")
    assert t.finish() == ("launcher exited with status 0", 1)
    assert re.search(f"\n{left}\n", t.out())


@pytest.mark.vm
def test_the_fat_partition_behind_one_that_is_not_is_mounted(make_board, terminal, stand_in):
    # Played at once, as the kernel sends them: the two partitions' adds.
    t = terminal(make_board(usb=NOTES, usb_layout="fat-second"), args=["--usb-delay", "1"],
                 launcher=stand_in(
        "until [ -e /tmp/usb ]; do sleep 0.1; done\n"
        "echo \"sign=$(cat /tmp/usb) on=[$(grep ' /mnt/usb ' /proc/mounts | cut -d' ' -f1)] "
        "[$(ls /mnt/usb)]\"\n"))
    t.expect("sign=sda2 on=[/dev/sda2] [Notes.txt]\n")
    assert t.finish() == ("launcher exited with status 0", 1)


# What another user (uid 1000) puts down before power-on at each name of
# /tmp that the handler uses, its sign and its own directory: (the name, the
# command that makes the object there). Links lead to the board's own
# files, which root may write.
HOSTILE = {"link-as-sign": ("/tmp/usb", "ln -s /.vswitch/precious/file"),
           "fifo-as-sign": ("/tmp/usb", "mkfifo"),
           "dir-as-sign": ("/tmp/usb", "mkdir"),
           "link-as-state": ("/tmp/usb-stick", "ln -s /.vswitch/precious"),
           "fifo-as-state": ("/tmp/usb-stick", "mkfifo"),
           "dir-as-state": ("/tmp/usb-stick", "mkdir")}
SHOW = "echo \"{tag}: $(stat -c '%A %u %i %N' {name}) [$(ls -A {name} | tr '\\n' ' ')]\"\n"
# On the namespaces the stick comes and goes after power-on, each event's
# handlers run to their end before the next; on the machine its events are
# not timed so, and the stick stays from power-on on.
COME_AND_GO = [] if VM else ["--usb-delay", "1", "--usb-unplug", "1"]
GONE = "" if VM else ("until grep -q 'USB stick pulled out' /.vswitch/board.log && "
                      "! [ -e /dev/sda ]; do sleep 0.1; done\n")


@pytest.mark.parametrize("row", rows(HOSTILE, vm=["link-as-sign"]))
def test_what_another_user_put_in_tmp_is_left_alone(row, make_board, terminal, stand_in):
    name, make = row
    board = make_board(usb=NOTES)
    precious = pathlib.Path(board.path, "precious")
    precious.mkdir()
    (precious / "file").write_text("precious\n")
    prepare = stand_in(f"{make} {name} && chown -h 1000:1000 {name}\n" + SHOW.format(
        tag="planted", name=name))
    t = terminal(board, args=["--prepare", prepare, *COME_AND_GO], launcher=stand_in(
        GONE + SHOW.format(tag="after", name=name) +
        "echo \"on=[$(grep ' /mnt/usb ' /proc/mounts)]\"\n"))
    t.expect("planted: ")
    planted = t.expect("\n")
    t.expect(f"usb: /dev/sda1 ignored: {name} is not the handler's\n")
    assert t.finish() == ("launcher exited with status 0", 1)
    # The launcher's stdout alone: what its ls says on stderr (a link of
    # another user's in /tmp is not followed) comes through its own relay.
    after = [line for line in t.out_lines() if line.startswith(("after: ", "on="))]
    assert after == ["after: " + planted.rstrip("\n"), "on=[]"]
    assert [p.name for p in precious.iterdir()] == ["file"]
    assert (precious / "file").read_text() == "precious\n"


def test_a_handler_that_died_holds_no_stick_up(make_board, terminal, tmp_path, stand_in):
    model_only("mount stand-in that waits for a FIFO given as the device")
    # A handler killed in its turn: its mount opens the device, a FIFO, and
    # waits there until the script, which kills it first, lets it go on.
    prepare = stand_in("mkfifo /dev/sdz1\n"
                       "ACTION=add MDEV=sdz1 /lib/mdev/usb-stick &\n"
                       "exec 3> /dev/sdz1\n"
                       "kill -9 $!\n"
                       "echo \"left [$(ls /tmp/usb-stick | tr '\\n' ' ')]\"\n"
                       "exec 3>&-\n")
    t = terminal(usb_board(make_board, tmp_path, NOTES), args=["--prepare", prepare])
    assert re.search(r"turn\.\d+\.\d+ ", t.expect("]\n"))
    t.expect(USB_READY)
    assert t.finish() == APP_ENDED


QUESTION = "Replacement USB image is in rejected list.\nWould you still like to load it? (y/n) "


@pytest.mark.parametrize("answer", ["y", "n"])
def test_listed_replacement_goes_in_only_after_yes(answer, make_board, terminal, tmp_path):
    r2, r1 = app_image(tmp_path, "r2", "2.0.0.2"), app_image(tmp_path, "r1", "3.0.0.3")
    board = usb_board(make_board, tmp_path, {"QLX5270_replace2_OS.img": r2,
                                             "QLX5270_replace1_OS.img": r1,
                                             "QLX5270_OS.img": app_image(tmp_path, "own")})
    os.makedirs(os.path.join(board.user, "images", "rejected"))
    open(os.path.join(board.user, "images", "rejected", hashlib.md5(r2).hexdigest()), "w").close()
    t = terminal(board)
    t.expect(QUESTION)
    t.send(answer + "\r")
    t.expect("APP r1 " if answer == "y" else "APP old ")
    assert t.finish() == APP_ENDED
    asked = t.text[t.text.index(QUESTION):]
    if answer == "y":
        assert in_order(t.out_lines(), ["Continuing with replacement USB image...",
                                        "Image2 has been successfully replaced",
                                        "Image1 has been successfully replaced",
                                        "USB replacement image: board will boot with image1.",
                                        "Booting image '1'"])
        assert (user_file(board, "images/image2"), user_file(board, "images/image1")) == (r2, r1)
    else:
        assert "replace" not in asked[len(QUESTION):] and "Booting image '1'\nAPP old" in asked
    assert board.vpd(BOOT_SLOT) == 1
