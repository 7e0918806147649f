"""Fixtures for booting virtual switches in system tests.

A test makes a board with `make_board(...)` and boots it with
`boot_board(board, ...)`, which returns a pexpect child attached to the
switch's console. Every wait uses a generous timeout (WAIT seconds): the
machines that run these tests are small and loaded.
"""

import os
import shutil
import sys

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SIM_DIR = os.path.join(REPO, "sim")
sys.path.insert(0, SIM_DIR)

import vswitch  # noqa: E402  (sim/vswitch.py, put on the path just above)

BUILD_DIR = os.environ.get("SWITCH_BUILD_DIR", os.path.join(REPO, "build", "host"))
LAUNCHER = os.path.join(BUILD_DIR, "src", "launcher")
PRELOAD = os.path.join(BUILD_DIR, "sim", "libsimdev_preload.so")
IMGTOOL = os.path.join(BUILD_DIR, "tools", "imgtool")
VSWITCH = os.path.join(SIM_DIR, "vswitch")
WAIT = 60


def boot_blocker():
    """Why this machine cannot boot a virtual switch, or None."""
    if os.geteuid() != 0:
        return "booting a virtual switch needs root"
    for tool, package in (("unshare", "util-linux"), ("busybox", "busybox-static")):
        if not shutil.which(tool):
            return f"{tool} missing (package {package})"
    return None


@pytest.fixture
def bootable():
    why = boot_blocker()
    if why:
        pytest.skip(why)


@pytest.fixture
def launcher():
    """The real launcher of the build, or a skip."""
    if not os.access(LAUNCHER, os.X_OK):
        pytest.skip(f"launcher not built at {LAUNCHER}")
    return LAUNCHER


@pytest.fixture
def preload():
    """The device model's preload of the build, or a skip."""
    if not os.path.isfile(PRELOAD):
        pytest.skip(f"device preload not built at {PRELOAD}")
    return PRELOAD


@pytest.fixture
def make_board(tmp_path):
    """make_board(name="board", image1=, image2=, rescue=, env=[...],
    boot_slot=, usb_boot=, usb={name: bytes}, vpd={offset: byte}) -> Board.
    Images are bytes or paths."""

    def make(name="board", image1=None, image2=None, rescue=None, env=None,
             boot_slot=None, usb_boot=None, usb=None, vpd=None):
        board = vswitch.create_board(str(tmp_path / name))
        for slot, image in (("image1", image1), ("image2", image2)):
            if image is not None:
                os.makedirs(os.path.join(board.user, "images"), exist_ok=True)
                write_or_copy(image, os.path.join(board.user, "images", slot))
        if rescue is not None:
            data = rescue if isinstance(rescue, bytes) else open(rescue, "rb").read()
            board.write_partition("rescue", 0, data)
        if env is not None:
            size = board.geometry()[1]["ubootenv"]
            board.write_partition("ubootenv", 0, vswitch.make_env_image(env, size))
        if boot_slot is not None:
            board.set_vpd(vswitch.VPD_BOOT_SLOT, boot_slot)
        if usb_boot is not None:
            board.set_vpd(vswitch.VPD_USB_BOOT, usb_boot)
        for offset, value in (vpd or {}).items():
            board.set_vpd(offset, value)
        if usb is not None:
            os.makedirs(board.usb)
            for file_name, data in usb.items():
                write_or_copy(data, os.path.join(board.usb, file_name))
        return board

    return make


def write_or_copy(data, dest):
    if isinstance(data, bytes):
        with open(dest, "wb") as f:
            f.write(data)
    else:
        shutil.copyfile(data, dest)


@pytest.fixture
def stand_in(tmp_path):
    """stand_in(script) -> path of an executable BusyBox sh script to boot in
    place of the launcher."""
    count = [0]

    def make(body):
        count[0] += 1
        path = tmp_path / f"stand-in-{count[0]}"
        path.write_text("#!/bin/sh\n" + body)
        path.chmod(0o755)
        return str(path)

    return make


@pytest.fixture
def boot_board(bootable):
    """boot_board(board, launcher=None, preload=None, args=[]) -> a pexpect
    child on `vswitch boot`. Children still running at the end of the test
    are powered off."""
    import pexpect

    children = []

    def boot(board, launcher=None, preload=None, args=(), timeout=WAIT):
        argv = ["boot", board.path, "--launcher", launcher or LAUNCHER,
                "--preload", preload or "none", "--timeout", "300", *args]
        env = dict(os.environ, SWITCH_BUILD_DIR=BUILD_DIR, TERM="vt100")
        child = pexpect.spawn(VSWITCH, argv, env=env, encoding="utf-8",
                              codec_errors="replace", timeout=timeout,
                              dimensions=(24, 80))
        children.append(child)
        return child

    yield boot
    for child in children:
        if child.isalive():
            child.terminate(force=True)


def finish(child):
    """Waits for `vswitch boot` to end; returns (its final line without the
    "vswitch: " prefix, its exit status)."""
    import pexpect

    child.expect(pexpect.EOF, timeout=WAIT)
    lines = [line for line in child.before.replace("\r", "").split("\n")
             if line.startswith("vswitch: ")]
    child.close()
    return (lines[-1][len("vswitch: "):] if lines else None), child.exitstatus


def log_since_power_on(board):
    """The board log lines of the last boot."""
    lines = board.log_lines()
    starts = [i for i, line in enumerate(lines) if line == "vswitch: power on"]
    return lines[starts[-1] + 1:] if starts else lines


def user_file(board, name):
    with open(os.path.join(board.user, name), "rb") as f:
        return f.read()
