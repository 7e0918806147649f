"""Helpers for the boot-path system tests: image files made with imgtool,
application archives, and a console session that keeps the whole transcript
and tells the launcher's stdout and stderr apart (vswitch boot --stderr-tag).

The stderr lines reach the console through a relay, so a stderr line may
show up after stdout text that was written later; the tests therefore wait
for stdout text (or for the end of the boot) and compare each stream on its
own, in its own order.
"""

import gzip
import io
import os
import re
import subprocess
import tarfile

import pytest

from conftest import IMGTOOL, WAIT, finish, log_since_power_on

ERR_TAG = "!E> "
APP_EXIT = 7  # the test application's exit status, seen as the boot's end

IMAGE_APPLICATION = 0x01504754
IMAGE_KERNEL = 0x03504754
IMAGE_DIAGS = 0x06504754

# Prints what it was started with and ends. It never reads the console, so a
# boot that reaches it ends by itself.
APP_SCRIPT = """#!/bin/sh
echo "APP {name} pid=$$ preload=[${{LD_PRELOAD:-}}] args=[$*]"
echo "TMP [$(ls /tmp | tr '\\n' ' ')]"
exit {status}
"""

DIAG_SCRIPT = """#!/bin/sh
echo "DIAG {name} pid=$$"
exit {status}
"""

GDB_SCRIPT = """#!/bin/sh
echo "GDB stand-in debugging [$*] preload=[${LD_PRELOAD:-}]"
"$@"
"""


def tar_gz(files):
    """A gzip tar of {path: (bytes, mode)} with paths relative to /tmp."""
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.USTAR_FORMAT) as tar:
        dirs = set()
        for path in files:
            parts = path.split("/")[:-1]
            for i in range(1, len(parts) + 1):
                dirs.add("/".join(parts[:i]))
        for d in sorted(dirs):
            info = tarfile.TarInfo(d)
            info.type = tarfile.DIRTYPE
            info.mode = 0o755
            tar.addfile(info)
        for path, (data, mode) in files.items():
            info = tarfile.TarInfo(path)
            info.size = len(data)
            info.mode = mode
            tar.addfile(info, io.BytesIO(data))
    return gzip.compress(raw.getvalue(), mtime=0)


def app_archive(name, marker=True, status=APP_EXIT):
    files = {"home/bin/mp.elf.strip": (APP_SCRIPT.format(name=name, status=status).encode(),
                                       0o755)}
    if marker:
        files["home/bin/distro-id"] = (b"test distribution\n", 0o644)
    return tar_gz(files)


def diag_archive(name, status=APP_EXIT):
    """A diagnostics payload: its program at the top level, beside an
    application that must not be the one that runs."""
    return tar_gz({
        "mpdiag.elf.strip": (DIAG_SCRIPT.format(name=name, status=status).encode(), 0o755),
        "home/bin/mp.elf.strip": (APP_SCRIPT.format(name="not-diags", status=1).encode(),
                                  0o755),
        "home/bin/distro-id": (b"test distribution\n", 0o644),
    })


def gdb_payload():
    return gzip.compress(GDB_SCRIPT.encode(), mtime=0)


def make_image(tmp_path, records):
    """Image file bytes from [(type, version, payload bytes)], by imgtool."""
    if not os.access(IMGTOOL, os.X_OK):
        pytest.skip(f"imgtool not built at {IMGTOOL}")
    specs = []
    for i, (kind, version, payload) in enumerate(records):
        path = tmp_path / f"payload-{os.getpid()}-{id(payload)}-{i}"
        path.write_bytes(payload)
        specs.append(f"{kind}:{version}:{path}")
    out = tmp_path / "image.out"
    subprocess.run([IMGTOOL, "create", str(out), *specs], check=True, capture_output=True)
    data = out.read_bytes()
    out.unlink()
    return data


def app_image(tmp_path, name, version="1.0.0.1", **kw):
    return make_image(tmp_path, [("application", version, app_archive(name, **kw))])


def flip_payload_byte(image, offset=40):
    data = bytearray(image)
    data[offset] ^= 0xFF
    return bytes(data)


class Session:
    """A boot with its console transcript."""

    def __init__(self, child, board):
        self.child = child
        self.board = board
        self.transcript = io.StringIO()
        child.logfile_read = self.transcript
        self.final = None
        self.status = None

    def expect(self, text, timeout=WAIT):
        """Waits for exact console text (of either stream); the console
        shows a line end as CR LF."""
        self.child.expect_exact(text.replace("\n", "\r\n"), timeout=timeout)

    def expect_err(self, text, timeout=WAIT):
        self.expect(ERR_TAG + text, timeout=timeout)

    def send(self, data):
        self.child.send(data)

    def finish(self):
        self.final, self.status = finish(self.child)
        return self.final, self.status

    def text(self):
        return self.transcript.getvalue().replace("\r", "")

    def err(self):
        """What was written to stderr, as one text."""
        return "".join(re.findall(re.escape(ERR_TAG) + r"([^\n]*\n?)", self.text()))

    def out(self):
        """The console without the stderr lines and the runner's lines."""
        text = re.sub(re.escape(ERR_TAG) + r"[^\n]*\n?", "", self.text())
        return "".join(line for line in text.splitlines(keepends=True)
                       if not line.startswith("vswitch: "))

    def out_lines(self):
        return self.out().splitlines()

    def log(self):
        return log_since_power_on(self.board)


def start(boot_board, board, launcher, preload, args=()):
    child = boot_board(board, launcher, preload, args=["--stderr-tag", ERR_TAG, *args])
    return Session(child, board)


def in_order(lines, wanted):
    """Whether `wanted` occur in `lines` as whole lines in this order."""
    it = iter(lines)
    return all(any(line == w for line in it) for w in wanted)


def set_faults(board, *rules):
    with open(os.path.join(board.dev, "faults"), "w") as f:
        f.write("".join(rule + "\n" for rule in rules))
