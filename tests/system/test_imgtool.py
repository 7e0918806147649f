"""The image tool against an independent reading of the record format:
struct for the big-endian header, zlib for the CRC."""

import os
import struct
import subprocess
import zlib

import pytest

from conftest import IMGTOOL

pytestmark = pytest.mark.skipif(not os.access(IMGTOOL, os.X_OK), reason=f"no {IMGTOOL}")


def run(*args):
    return subprocess.run([IMGTOOL, *map(str, args)], capture_output=True, text=True, timeout=60)


def record(magic, version, payload):
    tail = struct.pack(">III", len(payload), magic, version) + payload
    return struct.pack(">I", zlib.crc32(tail) ^ 0xFFFFFFFF) + tail  # no final inversion


def test_round_trip_and_damaged_records(tmp_path):
    kernel, app = b"\x00\xff" * 50, os.urandom(200_003)  # the second spans several read chunks
    (tmp_path / "k").write_bytes(kernel)
    (tmp_path / "a").write_bytes(app)
    img = tmp_path / "two.img"
    r = run("create", img, f"kernel:3.0.0.1:{tmp_path}/k", f"application:1.2.3.4:{tmp_path}/a")
    assert r.returncode == 0 and run("verify", img).returncode == 0
    good = record(0x03504754, 0x03000001, kernel) + record(0x01504754, 0x01020304, app)
    assert img.read_bytes() == good
    for selector, payload in (("1", app), ("IMAGE_KERNEL", kernel), ("application", app)):
        assert run("extract", img, selector, tmp_path / "out").returncode == 0
        assert (tmp_path / "out").read_bytes() == payload
    img.write_bytes(good[:20] + bytes([good[20] ^ 1]) + good[21:])  # a payload byte of record 0
    verify = run("verify", img)
    assert verify.returncode == 1 and "bad CRC" in verify.stderr
    assert run("extract", img, 0, tmp_path / "x").returncode == 1 and not (tmp_path / "x").exists()
    img.write_bytes(good[:-1])
    verify = run("verify", img)
    assert verify.returncode == 1 and "truncated record" in verify.stderr
