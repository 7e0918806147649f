"""The virtual machine's rig: its own kernel modules built from their
current sources, the runner's scratch directories, `vswitch cut`, the
options it refuses, and what a power cut keeps of its flash."""

import glob
import os
import shutil
import subprocess
import sys
import tempfile

import pytest

from conftest import PRELOAD, SIM_DIR, VM, VSWITCH, WAIT, cli, user_file, vswitch
from vsw import qmp, scratch, vmkernel
from vsw.vm import CUT_MARK, machine_cache


def test_an_edited_module_source_is_built_again(tmp_path, monkeypatch):
    try:
        headers = vmkernel.headers_dir()
    except vswitch.VswitchError:
        pytest.skip("no kernel headers")
    ready = vmkernel.kernel_ready(os.path.abspath(machine_cache()), headers)
    if not ready:
        pytest.skip("the machine's kernel is not fetched (sh scripts/build.sh)")
    # A cache of its own: the kernel's as it is, our modules as built.
    cache = tmp_path / "cache"
    cache.mkdir()
    os.symlink(ready[0], cache / "vmlinux")
    shutil.copytree(ready[1], cache / "modules")
    shutil.copy(os.path.join(machine_cache(), vmkernel.STAMP), cache)
    sources = tmp_path / "sources"
    shutil.copytree(vmkernel.OWN_SOURCES, sources)
    with open(sources / "vswitch_i2c.c", "a") as f:
        f.write('MODULE_INFO(edited, "yes");\n')
    monkeypatch.setattr(vmkernel, "OWN_SOURCES", str(sources))
    _vmlinux, modules = vmkernel.prepare_kernel(str(cache))
    with open(os.path.join(modules, "vswitch_i2c.ko"), "rb") as f:
        assert b"edited=yes" in f.read()


def test_the_scratch_of_a_killed_runner_goes_when_the_next_makes_its_own(tmp_path,
                                                                        monkeypatch):
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    code = (f"import sys; sys.path.insert(0, {SIM_DIR!r}); from vsw import scratch; "
            "print(scratch.make('vsw-'), flush=True); sys.stdin.read()")
    runners = [subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, text=True,
                                env=dict(os.environ, TMPDIR=str(tmp_path))) for _ in range(2)]
    try:
        killed, alive = [r.stdout.readline().strip() for r in runners]
        runners[0].kill()
        runners[0].wait()
        mine = scratch.make("vsw-")
        assert sorted(glob.glob(str(tmp_path / "vsw-*"))) == sorted([alive, mine])
        scratch.remove(mine)
    finally:
        for r in runners:
            r.kill()
            r.wait()


def test_cut_kills_only_the_machine_that_the_board_started(make_board, tmp_path):
    board = make_board()
    other = subprocess.Popen(["sleep", "600"])
    try:
        # What a killed runner leaves, once its machine's process number
        # went to another process: the same number, another start.
        with open(os.path.join(board.path, qmp.MACHINE_FILE), "w") as f:
            f.write(f"{other.pid} 1 {tmp_path}/qmp\n")
        r = cli("cut", board.path)
        assert (r.returncode, r.stderr) == (
            2, f"vswitch: {board.path} is not running as a virtual machine\n")
        assert other.poll() is None
    finally:
        other.kill()
        other.wait()


# What the machine cannot serve: the boot's options, the board's fault
# rules, and how it refuses them.
REFUSED = {
    "pull-at-mount": (["--usb-unplug", "mount"], "",
                      "--usb-unplug mount needs the namespaces' machine; the virtual machine's "
                      "stick is pulled at a time (--usb-unplug S)"),
    "preload": (["--preload", PRELOAD], "",
                "--preload: the virtual machine's programs meet the kernel's own devices, not "
                "the device model"),
    "fault-rule": ([], "nak 0 54\nfail-open mtd-rfs\n",
                   "the virtual machine serves only the fault rules nak and cut-at-write, not "
                   "'fail-open mtd-rfs' (in {dev}/faults)"),
}


@pytest.mark.parametrize("case", REFUSED)
def test_what_the_machine_cannot_serve_is_refused(case, make_board):
    if os.geteuid() != 0:
        pytest.skip("booting needs root")
    args, faults, said = REFUSED[case]
    board = make_board()
    if faults:
        with open(os.path.join(board.dev, "faults"), "w") as f:
            f.write(faults)
    r = cli("boot", board.path, "--machine", "vm", *args)
    assert (r.returncode, r.stderr) == (2, "vswitch: " + said.format(dev=board.dev) + "\n")
    assert "vswitch: power on" not in board.log_lines()


@pytest.mark.vm
def test_a_cut_mark_left_from_before_does_not_end_the_next_boot(make_board, terminal, stand_in):
    if not VM:
        pytest.skip("the virtual machine's own mark")
    board = make_board()
    # As `vswitch cut` leaves it when the machine had ended by itself.
    open(os.path.join(board.path, CUT_MARK), "w").close()
    t = terminal(board, launcher=stand_in("exit 0\n"))
    assert t.finish() == ("launcher exited with status 0", 1)


# Written with its data synced while the kernel writes nothing back of its
# own accord, then the power is cut.
SYNCED = """echo 0 > /proc/sys/vm/dirty_writeback_centisecs
/bin/mount -o sync -t jffs2 /dev/mtd-user /user
yes 0123456789abcdef | head -c 300000 | dd of=/user/synced conv=fsync 2> /dev/null
echo synced
sleep 600
"""


@pytest.mark.vm
def test_a_cut_keeps_what_the_launcher_synced(make_board, terminal, stand_in):
    if not VM:
        pytest.skip("the namespaces' flash is the device model's own files")
    board = make_board()
    t = terminal(board, launcher=stand_in(SYNCED))
    t.expect("synced\n")
    subprocess.run([VSWITCH, "cut", board.path], check=True, timeout=WAIT)
    assert t.finish() == ("power cut", 1)
    assert user_file(board, "synced") == (b"0123456789abcdef\n" * 17648)[:300000]
