"""The emulated devices under the real board tools: mtd-utils (mtd_debug,
flashcp) and i2c-tools (i2cget, i2cset, i2ctransfer), run unmodified with
libsimdev_preload.so preloaded and SIMDEV_BOARD naming a temporary board.
Results are checked in the board's backing files and devices.log.

Every tool runs with the preload; the module refuses to run at all where
the machine has real MTD or I2C nodes, so that a preload that fails to load
can never let a tool reach real hardware."""

import glob
import os
import re
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


def wear(board, part):
    data = backing(board, f"mtd-{part}.wear")
    return list(struct.unpack(f"={len(data) // 4}I", data))


def poke(board, name, offset, data):
    with open(board / name, "r+b") as f:
        f.seek(offset)
        f.write(data)


# ---- MTD --------------------------------------------------------------------


def test_mtd_debug_info_shows_nor_geometry(board):
    r = run(board, "mtd_debug", "info", "/dev/mtd-kernel")
    assert r.returncode == 0, r.stderr
    assert "mtd.type = MTD_NORFLASH" in r.stdout
    assert f"mtd.size = {KERNEL_SIZE} " in r.stdout
    assert f"mtd.erasesize = {ES} " in r.stdout
    assert "mtd-kernel info" in log(board)


def test_mtd_debug_erase_write_read(board, tmp_path_factory):
    files = tmp_path_factory.mktemp("files")
    payload = os.urandom(5000)
    (files / "in.bin").write_bytes(payload)
    poke(board, "mtd-kernel.bin", ES + 7, b"\x00")

    r = run(board, "mtd_debug", "erase", "/dev/mtd-kernel", ES, ES)
    assert r.returncode == 0, r.stderr
    assert wear(board, "kernel") == [0, 1, 0, 0]
    r = run(board, "mtd_debug", "write", "/dev/mtd-kernel", ES + 16, len(payload), files / "in.bin")
    assert r.returncode == 0, r.stderr
    r = run(board, "mtd_debug", "read", "/dev/mtd-kernel", ES + 16, len(payload), files / "out.bin")
    assert r.returncode == 0, r.stderr

    flash = backing(board, "mtd-kernel.bin")
    assert flash[ES + 16 : ES + 16 + len(payload)] == payload
    assert (files / "out.bin").read_bytes() == payload
    assert flash[ES : ES + 16] == b"\xff" * 16  # erased, including the poked 0
    assert f"mtd-kernel erase 0x{ES:08x} 0x{ES:08x}" in log(board)


def test_mtd_debug_write_without_erase_only_clears_bits(board, tmp_path_factory):
    files = tmp_path_factory.mktemp("files")
    (files / "a").write_bytes(b"\xf0\xf0")
    (files / "b").write_bytes(b"\x3c\x0f")
    for name in ("a", "b"):
        r = run(board, "mtd_debug", "write", "/dev/mtd-kernel", 32, 2, files / name)
        assert r.returncode == 0, r.stderr
    assert backing(board, "mtd-kernel.bin")[30:36] == b"\xff\xff\x30\x00\xff\xff"


def test_mtd_debug_unaligned_erase_fails(board):
    r = run(board, "mtd_debug", "erase", "/dev/mtd-kernel", 512, ES)
    assert r.returncode != 0
    assert f"mtd-kernel erase 0x00000200 0x{ES:08x} -> EINVAL" in log(board)
    assert wear(board, "kernel") == [0, 0, 0, 0]


def test_flashcp_programs_and_verifies(board, tmp_path_factory):
    image = os.urandom(2 * ES + 1000)
    path = tmp_path_factory.mktemp("files") / "image.bin"
    path.write_bytes(image)
    poke(board, "mtd-kernel.bin", 0, b"\x00" * 64)  # old contents to erase
    r = run(board, "flashcp", path, "/dev/mtd-kernel")
    assert r.returncode == 0, r.stdout + r.stderr
    flash = backing(board, "mtd-kernel.bin")
    assert flash[: len(image)] == image
    assert flash[len(image) :] == b"\xff" * (KERNEL_SIZE - len(image))
    assert wear(board, "kernel") == [1, 1, 1, 0]
    assert any(line.startswith("mtd-kernel read ") for line in log(board))  # the verify pass


def test_flashcp_power_cut_keeps_earlier_writes(board, tmp_path_factory):
    image = os.urandom(ES)
    path = tmp_path_factory.mktemp("files") / "image.bin"
    path.write_bytes(image)
    (board / "faults").write_text("cut-at-write 3\n")
    r = run(board, "flashcp", path, "/dev/mtd-kernel")
    assert r.returncode == -9  # SIGKILL

    writes = [re.match(r"mtd-kernel write 0x([0-9a-f]+) (\d+)(.*)", l) for l in log(board)]
    writes = [(int(m[1], 16), int(m[2]), m[3]) for m in writes if m]
    assert [w[2] for w in writes] == ["", "", " -> power-cut"]
    flash = backing(board, "mtd-kernel.bin")
    for offset, length, _ in writes[:2]:
        assert flash[offset : offset + length] == image[offset : offset + length]
    cut_offset, cut_length, _ = writes[2]
    assert flash[cut_offset : cut_offset + cut_length] == b"\xff" * cut_length


def test_descriptors_survive_exec(board):
    poke(board, "mtd-kernel.bin", 0, bytes(range(16)))
    r = run(board, "sh", "-c", "exec 3</dev/mtd-kernel && dd bs=4 count=1 status=none <&3 | od -An -tx1")
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["00", "01", "02", "03"]
    # The shell opened the node; dd, started by exec, read through it.
    assert log(board)[0] == "mtd-kernel open flags=0x0"
    assert any(line.startswith("mtd-kernel read 0x00000000 ") for line in log(board))


# ---- I2C --------------------------------------------------------------------


def test_i2cset_and_i2cget_on_bus1_registers(board):
    poke(board, "i2c-1-20.bin", 4, b"\x2f")
    r = run(board, "i2cget", "-y", "1", "0x20", "0x04")
    assert (r.returncode, r.stdout.strip()) == (0, "0x2f")
    r = run(board, "i2cset", "-y", "1", "0x20", "0x0c", "0x27")
    assert r.returncode == 0, r.stderr
    assert backing(board, "i2c-1-20.bin")[12] == 0x27
    lines = log(board)
    assert "i2c-1 smbus-read 0x20 reg 0x04 -> 2f" in lines
    assert "i2c-1 smbus-write 0x20 reg 0x0c 27" in lines


def test_eeprom_byte_write_and_addressed_read(board):
    # A word write sends 01 3a 04: the two address bytes, then the data.
    r = run(board, "i2cset", "-y", "0", "0x54", "0x01", "0x043a", "w")
    assert r.returncode == 0, r.stderr
    eeprom = backing(board, "i2c-0-54.bin")
    assert len(eeprom) == 8192
    assert eeprom[0x139:0x13C] == b"\xff\x04\xff"
    r = run(board, "i2ctransfer", "-y", "0", "w2@0x54", "0x01", "0x3a", "r2")
    assert (r.returncode, r.stdout.split()) == (0, ["0x04", "0xff"])
    lines = log(board)
    assert "i2c-0 smbus-write 0x54 reg 0x01 3a 04" in lines
    assert "i2c-0 read 0x54 2 -> 04 ff" in lines


def test_absent_and_nak_addresses_fail_with_enxio(board):
    r = run(board, "i2cget", "-y", "0", "0x50", "0x00")
    assert r.returncode != 0
    assert "i2c-0 smbus-read 0x50 reg 0x00 -> ENXIO" in log(board)

    (board / "faults").write_text("nak 1 20\n")
    r = run(board, "i2cget", "-y", "-f", "1", "0x20", "0x04")
    assert r.returncode != 0
    assert "i2c-1 slave-force 0x20" in log(board)
    assert "i2c-1 smbus-read 0x20 reg 0x04 -> ENXIO" in log(board)


def test_unusable_board_fails_the_open_instead_of_passing_it_on(board):
    (board / "board.conf").write_text("erasesize=1000\n")
    r = run(board, "mtd_debug", "info", "/dev/mtd-kernel")
    assert r.returncode != 0
    assert "not a multiple of 1000" in r.stderr
    assert "mtd.size" not in r.stdout
