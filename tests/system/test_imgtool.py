"""End-to-end tests of the imgtool binary: the bytes it writes are checked
against an independent Python reading of the record format (struct for the
big-endian header, zlib for the CRC)."""

import os
import struct
import subprocess
import zlib

import pytest

BUILD_DIR = os.environ.get("SWITCH_BUILD_DIR", "/work/main/build/host")
IMGTOOL = os.path.join(BUILD_DIR, "tools", "imgtool")

pytestmark = pytest.mark.skipif(
    not os.access(IMGTOOL, os.X_OK), reason=f"imgtool not built at {IMGTOOL}"
)

APPLICATION, KERNEL, RFS, DIAGS = 0x01504754, 0x03504754, 0x04504754, 0x06504754


def run(*args):
    return subprocess.run(
        [IMGTOOL, *map(str, args)], capture_output=True, text=True, timeout=60
    )


def crc_of(record_tail):
    """The record CRC: zlib's CRC-32 without its final inversion."""
    return zlib.crc32(record_tail) ^ 0xFFFFFFFF


def make_record(magic, version, payload, crc=None):
    tail = struct.pack(">III", len(payload), magic, version) + payload
    return struct.pack(">I", crc_of(tail) if crc is None else crc) + tail


def listed_rows(stdout):
    """The record rows of a listing, split into columns, without the title."""
    return [line.split() for line in stdout.splitlines()[1:]]


@pytest.fixture
def payloads(tmp_path):
    files = {
        "abc": b"abc",
        "empty": b"",
        # Spans several of the tool's read chunks and ends mid-chunk.
        "big": bytes((i * 7 + (i >> 11)) & 0xFF for i in range(200_003)),
        "kern": b"\x00\xff" * 50,
    }
    paths = {}
    for name, data in files.items():
        paths[name] = tmp_path / name
        paths[name].write_bytes(data)
    return paths, files


@pytest.fixture
def multi_image(tmp_path, payloads):
    paths, files = payloads
    out = tmp_path / "multi.img"
    record_args = [
        f"kernel:3.0.0.1:{paths['kern']}",
        f"IMAGE_APPLICATION:1.2.3.4:{paths['big']}",
        f"diags:0.0.0.0:{paths['empty']}",
        f"Application:255.255.255.255:{paths['abc']}",
    ]
    result = run("create", out, *record_args)
    assert result.returncode == 0, result.stderr
    expected = [
        make_record(KERNEL, 0x03000001, files["kern"]),
        make_record(APPLICATION, 0x01020304, files["big"]),
        make_record(DIAGS, 0x00000000, b""),
        make_record(APPLICATION, 0xFFFFFFFF, b"abc"),
    ]
    return out, files, expected


class TestRecordBytes:
    def test_example_record_byte_for_byte(self, tmp_path, payloads):
        paths, _ = payloads
        out = tmp_path / "ex.img"
        assert run("create", out, f"application:1.2.3.4:{paths['abc']}").returncode == 0
        assert out.read_bytes() == bytes.fromhex(
            "a5af3b7a 00000003 01504754 01020304 616263"
        )

    def test_records_in_order_with_big_endian_headers_and_zlib_crc(self, multi_image):
        out, _, expected = multi_image
        assert out.read_bytes() == b"".join(expected)

    def test_header_command_writes_given_words(self):
        result = subprocess.run(
            [IMGTOOL, "header", "0x07504754", "9.8.7.6", "0x100", "4294967295"],
            capture_output=True, timeout=60,
        )
        assert result.returncode == 0
        assert result.stdout == struct.pack(">IIII", 0xFFFFFFFF, 256, 0x07504754, 0x09080706)


class TestRoundTrip:
    def test_list_and_verify_accept_every_record(self, multi_image):
        out, files, expected = multi_image
        result = run("list", out)
        assert result.returncode == 0, result.stderr
        big = len(files["big"])
        assert [row[:4] + row[5:] for row in listed_rows(result.stdout)] == [
            ["0", "kernel", "100", "3.0.0.1", "good"],
            ["116", "application", str(big), "1.2.3.4", "good"],
            [str(132 + big), "diags", "0", "0.0.0.0", "good"],
            [str(148 + big), "application", "3", "255.255.255.255", "good"],
        ]
        stored = [f"0x{record[:4].hex()}" for record in expected]
        assert [row[4] for row in listed_rows(result.stdout)] == stored
        result = run("verify", out)
        assert result.returncode == 0, result.stderr
        assert len(result.stdout.splitlines()) == 1 and "4 records" in result.stdout

    @pytest.mark.parametrize(
        "selector, name",
        [("0", "kern"), ("1", "big"), ("2", "empty"), ("3", "abc"),
         ("application", "big"), ("DIAGS", "empty"), ("IMAGE_KERNEL", "kern")],
    )
    def test_extract_returns_payload(self, tmp_path, multi_image, selector, name):
        out, files, _ = multi_image
        dest = tmp_path / "payload"
        result = run("extract", out, selector, dest)
        assert result.returncode == 0, result.stderr
        assert dest.read_bytes() == files[name]

    @pytest.mark.parametrize("selector", ["4", "uboot"])
    def test_extract_of_absent_record_fails(self, tmp_path, multi_image, selector):
        out, _, _ = multi_image
        dest = tmp_path / "payload"
        result = run("extract", out, selector, dest)
        assert result.returncode == 1 and result.stderr
        assert not dest.exists()


class TestArguments:
    @pytest.mark.parametrize(
        "version",
        ["1.2.3", "1.2.3.256", "1..2.3", "1.2.3.4x", "1.2.3.4.", "+1.2.3.4", "1.-2.3.4",
         " 1.2.3.4", "1.2.3.0004", "", "a.b.c.d"],
    )
    def test_bad_version_rejected_and_nothing_written(self, tmp_path, payloads, version):
        paths, _ = payloads
        out = tmp_path / "bad.img"
        result = run("create", out, f"application:{version}:{paths['abc']}")
        assert result.returncode == 1
        assert "version" in result.stderr
        assert list(tmp_path.glob("bad.img*")) == []

    @pytest.mark.parametrize("second, reason", [("bootloader:1.2.3.4:abc", "bootloader"),
                                                ("rfs:1.0.0.0:missing", "missing")])
    def test_failed_create_leaves_no_file(self, tmp_path, monkeypatch, payloads, second, reason):
        paths, _ = payloads
        monkeypatch.chdir(tmp_path)
        result = run("create", "half.img", "kernel:1.0.0.0:big", second)
        assert result.returncode == 1 and reason in result.stderr
        assert sorted(p.name for p in tmp_path.iterdir()) == sorted(paths)

    def test_unwritable_output(self, tmp_path, payloads):
        paths, _ = payloads
        result = run("create", tmp_path / "no" / "dir.img", f"kernel:1.0.0.0:{paths['abc']}")
        assert result.returncode == 1 and result.stderr

    @pytest.mark.parametrize("command", ["list", "verify"])
    def test_missing_file(self, tmp_path, command):
        result = run(command, tmp_path / "absent.img")
        assert result.returncode == 1 and "absent.img" in result.stderr

    @pytest.mark.parametrize(
        "args", [[], ["frobnicate"], ["create", "out.img"], ["list"], ["list", "a", "b"],
                 ["extract", "a.img", "0"], ["extract", "--quiet", "a.img", "0", "o"]],
    )
    def test_bad_usage_exits_2_with_usage(self, args):
        result = run(*args)
        assert result.returncode == 2
        assert "usage:" in result.stderr and result.stdout == ""

    def test_help(self):
        result = run("--help")
        assert result.returncode == 0 and result.stdout.startswith("usage:")


class TestDamagedImages:
    @pytest.fixture
    def two_records(self, tmp_path):
        data = make_record(KERNEL, 0x01000000, b"K" * 40) + make_record(
            RFS, 0x02000000, b"R" * 30
        )
        path = tmp_path / "two.img"
        path.write_bytes(data)
        return path, data

    @pytest.mark.parametrize(
        "size, reason, rows",
        [(103, "truncated header", 2), (117, "truncated header", 2),
         (101, "truncated record", 1), (72, "truncated record", 1)],
    )
    def test_truncated_file(self, two_records, size, reason, rows):
        path, data = two_records
        path.write_bytes((data + bytes(16))[:size])
        listing = run("list", path)
        assert listing.returncode == 1 and reason in listing.stderr
        assert len(listed_rows(listing.stdout)) == rows
        verify = run("verify", path)
        assert verify.returncode == 1 and reason in verify.stderr

    @pytest.mark.parametrize("position", [0, 3, 12, 15, 16, 55])
    def test_corrupted_byte(self, tmp_path, two_records, position):
        # Only the CRC, version and payload bytes: a flipped len or type word
        # is reported as a structural fault instead.
        path, data = two_records
        damaged = bytearray(data)
        damaged[position] ^= 0x01
        path.write_bytes(bytes(damaged))
        verify = run("verify", path)
        assert verify.returncode == 1 and "bad CRC" in verify.stderr
        listing = run("list", path)
        assert listing.returncode == 1
        assert [row[-1] for row in listed_rows(listing.stdout)] == ["BAD", "good"]
        dest = tmp_path / "k.bin"
        assert run("extract", path, 0, dest).returncode == 1 and not dest.exists()
        assert run("extract", "--force", path, 0, dest).returncode == 0
        assert dest.read_bytes() == bytes(damaged[16:56])

    def test_unknown_magic_stops_listing(self, two_records):
        path, data = two_records
        path.write_bytes(data[:56] + make_record(0x07504754, 0, b"x") + data[56:])
        listing = run("list", path)
        assert listing.returncode == 1 and "0x07504754" in listing.stderr
        assert [row[1] for row in listed_rows(listing.stdout)] == ["kernel"]
        assert run("verify", path).returncode == 1

    @pytest.mark.parametrize("length", [0xFFFFFFFF, 2**32 - 16 - 56, 2**32 - 16])
    def test_length_past_end_of_file_is_truncated(self, tmp_path, two_records, length):
        # Lengths chosen so that offset + 16 + len wraps a 32-bit sum to the
        # image start or near it.
        path, data = two_records
        path.write_bytes(data[:56] + struct.pack(">IIII", 0, length, RFS, 0) + b"tail")
        for command in ("list", "verify"):
            result = run(command, path)
            assert result.returncode == 1 and "truncated record" in result.stderr
        assert run("extract", path, "1", tmp_path / "o").returncode == 1

    def test_empty_file_is_not_an_image(self, tmp_path):
        path = tmp_path / "empty.img"
        path.write_bytes(b"")
        assert run("verify", path).returncode == 1
