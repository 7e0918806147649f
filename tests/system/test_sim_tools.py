"""The device model under the standard board tools, run unmodified with the
device preload: mtd-utils (mtd_debug, flashcp) and i2c-tools (i2cget, i2cset,
i2ctransfer). Never run where the machine has real MTD or I2C nodes: a
preload that fails to load must not reach real hardware."""

import glob
import os
import shutil
import struct
import subprocess

import pytest

from conftest import PRELOAD

PATH = "/usr/sbin:/usr/bin:/bin"
TOOLS = ["mtd_debug", "flashcp", "i2cget", "i2cset", "i2ctransfer"]
MISSING = ([t for t in TOOLS if not shutil.which(t, path=PATH)] + glob.glob("/dev/mtd*") +
           glob.glob("/dev/i2c-*") + ([] if os.path.isfile(PRELOAD) else [PRELOAD]))
pytestmark = pytest.mark.skipif(bool(MISSING), reason=f"missing or real device nodes: {MISSING}")
ES, SIZE, MTD = 4096, 4 * 4096, "/dev/mtd-kernel"


@pytest.fixture
def board(tmp_path):
    # The model makes the backing files at its first use.
    (tmp_path / "board.conf").write_text(f"erasesize={ES}\nmtd-kernel={SIZE}\n")
    return tmp_path


def run(board, *args, ok=True):
    """One tool run on the board: a command line, or its words."""
    args = args[0].split() if len(args) == 1 else args
    env = dict(os.environ, LD_PRELOAD=PRELOAD, SIMDEV_BOARD=str(board))
    r = subprocess.run([shutil.which(args[0], path=PATH), *args[1:]], env=env,
                       capture_output=True, text=True, timeout=120)
    assert (r.returncode == 0) == ok, f"{args}\n{r.stdout}{r.stderr}"
    return r.stdout + r.stderr


def test_mtd_tools_on_nor_flash(board, tmp_path):
    image = os.urandom(2 * ES + 100)
    for name, data in (("image", image), ("a", b"\xf0\x0f"), ("b", b"\x3c\x3c")):
        (tmp_path / name).write_bytes(data)
    run(board, f"flashcp {tmp_path}/image {MTD}")  # erases, writes, verifies
    run(board, f"mtd_debug erase {MTD} {ES} {ES}")
    for name in ("a", "b"):  # programming without an erase only clears bits
        run(board, f"mtd_debug write {MTD} {ES + 10} 2 {tmp_path}/{name}")
    sector = b"\xff" * 10 + b"\x30\x0c" + b"\xff" * (ES - 12)
    flash = (board / "mtd-kernel.bin").read_bytes()
    assert flash == image[:ES] + sector + image[2 * ES:] + b"\xff" * (SIZE - len(image))
    assert struct.unpack("=4I", (board / "mtd-kernel.wear").read_bytes()) == (1, 2, 1, 0)
    # A descriptor opened by the shell, read through by dd after its exec.
    out = run(board, "sh", "-c", f"exec 3<{MTD}; dd bs=4 count=1 status=none <&3 | od -An -tx1")
    assert out.split() == [f"{b:02x}" for b in image[:4]]
    assert "mtd-kernel read 0x00000000 4\n" in (board / "devices.log").read_text()
    # A board the model cannot use fails the open instead of passing it on.
    (board / "board.conf").write_text("erasesize=1000\n")
    assert "not a multiple of 1000" in run(board, f"mtd_debug info {MTD}", ok=False)


def test_i2c_tools_on_the_eeprom_and_the_bus1_registers(board):
    run(board, "i2cset -y 1 0x20 0x0c 0x27")
    assert (board / "i2c-1-20.bin").read_bytes()[11:14] == b"\x00\x27\x00"
    assert run(board, "i2cget -y 1 0x20 0x0c").strip() == "0x27"
    # A word write to the EEPROM sends 01 3a 04: two address bytes, then the data.
    run(board, "i2cset -y 0 0x54 0x01 0x043a w")
    assert (board / "i2c-0-54.bin").read_bytes()[0x139:0x13C] == b"\xff\x04\xff"
    assert run(board, "i2ctransfer -y 0 w2@0x54 0x01 0x3a r2").split() == ["0x04", "0xff"]


@pytest.mark.parametrize("rule, tool, logged", [
    ("", f"mtd_debug erase {MTD} 512 {ES}", "erase 0x00000200 0x00001000 -> EINVAL"),
    ("", f"mtd_debug erase {MTD} 0 {ES // 2}", "erase 0x00000000 0x00000800 -> EINVAL"),
    ("", f"mtd_debug erase {MTD} {SIZE - ES} {2 * ES}", "0x00003000 0x00002000 -> EINVAL"),
    ("", f"mtd_debug erase {MTD} {ES} {2**32 - ES}", "0x00001000 0xfffff000 -> EINVAL"),  # wraps
    ("", f"mtd_debug write {MTD} {SIZE} 16 /dev/zero", f"write 0x{SIZE:08x} 16 -> ENOSPC"),
    ("", f"mtd_debug read {MTD} {SIZE - 4} 16 /dev/null", f"read 0x{SIZE - 4:08x} 16"),  # clipped
    ("fail-open mtd-kernel", f"mtd_debug info {MTD}", " -> EIO"),
    ("fail-read mtd-kernel", f"mtd_debug read {MTD} 0 16 /dev/null", "read 0x00000000 16 -> EIO"),
    ("fail-write mtd-kernel", f"mtd_debug write {MTD} 0 16 /dev/zero", "0 16 -> EIO"),
    ("fail-erase mtd-kernel", f"mtd_debug erase {MTD} 0 {ES}", f"0x{ES:08x} -> EIO"),
    ("fail-write i2c-1", "i2cset -y 1 0x20 4 1", "smbus-write 0x20 reg 0x04 01 -> EIO"),
    ("nak 1 20", "i2cget -y 1 0x20 4", "i2c-1 smbus-read 0x20 reg 0x04 -> ENXIO"),
    ("", "i2cget -y 0 0x50 0", "i2c-0 smbus-read 0x50 reg 0x00 -> ENXIO"),  # absent
    ("", "i2cget -y 0 0x20 0", "i2c-0 smbus-read 0x20 reg 0x00 -> ENXIO"),  # on the other bus
])
def test_refused_requests_faults_and_absent_devices_fail_the_tools(board, rule, tool, logged):
    (board / "faults").write_text(rule + "\n")
    run(board, tool, ok=False)
    log = (board / "devices.log").read_text().splitlines()
    assert any(line.endswith(logged) for line in log), log
    assert (board / "mtd-kernel.bin").read_bytes() == b"\xff" * SIZE
