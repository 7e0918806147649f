"""The emulated devices under the real board tools: mtd-utils (mtd_debug,
flashcp) and i2c-tools (i2cget, i2cset, i2ctransfer), run unmodified with
libsimdev_preload.so preloaded and SIMDEV_BOARD naming a temporary board.
Every tool runs with the preload, and not at all where the machine has real
MTD or I2C nodes: a preload that fails to load never reaches real hardware."""

import glob
import os
import shutil
import struct
import subprocess

import pytest

BUILD_DIR = os.environ.get("SWITCH_BUILD_DIR", "/work/main/build/host")
PRELOAD = os.path.join(BUILD_DIR, "sim", "libsimdev_preload.so")
SIMDEV_CTL = os.path.join(BUILD_DIR, "sim", "simdev-ctl")
TOOLS = ["mtd_debug", "flashcp", "i2cget", "i2cset", "i2ctransfer"]
REAL_NODES = glob.glob("/dev/mtd*") + glob.glob("/dev/i2c-*") + glob.glob("/dev/i2c/*")

pytestmark = [
    pytest.mark.skipif(not os.path.isfile(PRELOAD), reason=f"preload not built at {PRELOAD}"),
    pytest.mark.skipif(not os.access(SIMDEV_CTL, os.X_OK), reason=f"no {SIMDEV_CTL}"),
    pytest.mark.skipif(bool(REAL_NODES), reason=f"real device nodes present: {REAL_NODES}"),
    pytest.mark.skipif(
        any(shutil.which(t, path="/usr/sbin:/usr/bin:/sbin:/bin") is None for t in TOOLS),
        reason="mtd-utils or i2c-tools not installed",
    ),
]

ES = 131072
KERNEL_SIZE = 4 * ES
BOARD_CONF = f"erasesize={ES}\nmtd-kernel={KERNEL_SIZE}\nmtd-rfs={2 * ES}\n"


@pytest.fixture
def board(tmp_path):
    (tmp_path / "board.conf").write_text(BOARD_CONF)
    subprocess.run([SIMDEV_CTL, tmp_path, "init"], check=True, capture_output=True, timeout=60)
    return tmp_path


def run(board, *args):
    """One tool run on the emulated board; never without the preload."""
    env = dict(os.environ, LD_PRELOAD=PRELOAD, SIMDEV_BOARD=str(board))
    assert os.path.isfile(env["LD_PRELOAD"])
    tool = shutil.which(args[0], path="/usr/sbin:/usr/bin:/sbin:/bin")
    return subprocess.run(
        [tool, *map(str, args[1:])], env=env, capture_output=True, text=True, timeout=120
    )


def backing(board, name):
    return (board / name).read_bytes()


def log(board):
    path = board / "devices.log"
    return path.read_text().splitlines() if path.exists() else []


def ok(result):
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def wear(board, part):
    data = backing(board, f"mtd-{part}.wear")
    return list(struct.unpack(f"={len(data) // 4}I", data))


def poke(board, name, offset, data):
    with open(board / name, "r+b") as f:
        f.seek(offset)
        f.write(data)


# ---- MTD --------------------------------------------------------------------


def test_mtd_debug_and_flashcp(board, tmp_path_factory):
    files = tmp_path_factory.mktemp("files")
    image, payload = os.urandom(2 * ES + 1000), os.urandom(5000)
    (files / "image.bin").write_bytes(image)
    (files / "in.bin").write_bytes(payload)
    poke(board, "mtd-kernel.bin", 0, b"\x00" * 64)  # old contents to erase

    info = ok(run(board, "mtd_debug", "info", "/dev/mtd-kernel"))
    assert "mtd.type = MTD_NORFLASH" in info
    assert f"mtd.size = {KERNEL_SIZE} " in info and f"mtd.erasesize = {ES} " in info
    ok(run(board, "flashcp", files / "image.bin", "/dev/mtd-kernel"))
    flash = backing(board, "mtd-kernel.bin")
    assert flash == image + b"\xff" * (KERNEL_SIZE - len(image))
    assert wear(board, "kernel") == [1, 1, 1, 0]
    assert any(line.startswith("mtd-kernel read ") for line in log(board))  # the verify pass

    assert run(board, "mtd_debug", "erase", "/dev/mtd-kernel", 512, ES).returncode != 0
    ok(run(board, "mtd_debug", "erase", "/dev/mtd-kernel", ES, ES))
    assert wear(board, "kernel") == [1, 2, 1, 0]
    ok(run(board, "mtd_debug", "write", "/dev/mtd-kernel", ES + 16, len(payload), files / "in.bin"))
    ok(run(board, "mtd_debug", "read", "/dev/mtd-kernel", ES + 16, len(payload), files / "out.bin"))
    flash = backing(board, "mtd-kernel.bin")
    assert flash[ES : ES + 16] == b"\xff" * 16  # erased
    assert flash[ES + 16 : ES + 16 + len(payload)] == payload
    assert flash[:ES] == image[:ES]  # the sectors around it keep their image
    assert flash[2 * ES :] == image[2 * ES :] + b"\xff" * (KERNEL_SIZE - len(image))
    assert (files / "out.bin").read_bytes() == payload
    lines = log(board)
    assert "mtd-kernel info" in lines
    assert f"mtd-kernel erase 0x00000200 0x{ES:08x} -> EINVAL" in lines
    assert f"mtd-kernel erase 0x{ES:08x} 0x{ES:08x}" in lines

    # A board the model cannot use fails the open instead of passing it on.
    (board / "board.conf").write_text("erasesize=1000\n")
    r = run(board, "mtd_debug", "info", "/dev/mtd-kernel")
    assert r.returncode != 0 and "mtd.size" not in r.stdout
    assert "not a multiple of 1000" in r.stderr


def test_descriptors_survive_exec(board):
    poke(board, "mtd-kernel.bin", 0, bytes(range(16)))
    out = ok(run(board, "sh", "-c", "exec 3</dev/mtd-kernel && dd bs=4 count=1 status=none <&3 | od -An -tx1"))
    assert out.split() == ["00", "01", "02", "03"]
    # The shell opened the node; dd, started by exec, read through it.
    first = next(line for line in log(board) if line.startswith("mtd-"))
    assert first == "mtd-kernel open flags=0x0"
    assert any(line.startswith("mtd-kernel read 0x00000000 ") for line in log(board))


# ---- I2C --------------------------------------------------------------------


def test_i2c_tools_on_the_eeprom_and_the_bus1_registers(board):
    poke(board, "i2c-1-20.bin", 4, b"\x2f")
    assert ok(run(board, "i2cget", "-y", "1", "0x20", "0x04")).strip() == "0x2f"
    ok(run(board, "i2cset", "-y", "1", "0x20", "0x0c", "0x27"))
    assert backing(board, "i2c-1-20.bin")[12] == 0x27
    # A word write to the EEPROM sends 01 3a 04: the two address bytes, then the data.
    ok(run(board, "i2cset", "-y", "0", "0x54", "0x01", "0x043a", "w"))
    assert backing(board, "i2c-0-54.bin")[0x139:0x13C] == b"\xff\x04\xff"
    assert ok(run(board, "i2ctransfer", "-y", "0", "w2@0x54", "0x01", "0x3a", "r2")).split() == [
        "0x04", "0xff"]
    lines = log(board)
    for line in ("i2c-1 smbus-read 0x20 reg 0x04 -> 2f", "i2c-1 smbus-write 0x20 reg 0x0c 27",
                 "i2c-0 smbus-write 0x54 reg 0x01 3a 04", "i2c-0 read 0x54 2 -> 04 ff"):
        assert line in lines


def test_absent_and_nak_addresses_fail_with_enxio(board):
    assert run(board, "i2cget", "-y", "0", "0x50", "0x00").returncode != 0
    (board / "faults").write_text("nak 1 20\n")
    assert run(board, "i2cget", "-y", "-f", "1", "0x20", "0x04").returncode != 0
    lines = log(board)
    assert "i2c-0 smbus-read 0x50 reg 0x00 -> ENXIO" in lines
    assert "i2c-1 slave-force 0x20" in lines
    assert "i2c-1 smbus-read 0x20 reg 0x04 -> ENXIO" in lines
