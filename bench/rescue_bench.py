#!/usr/bin/python3
"""Install and serial-download figures on the virtual switch (needs root and
the host build):

  1. a 15 MiB root-filesystem record installed into the emulated flash
     (128 KiB sectors) by the real installer (bench/install_bench), against a
     plain copy of the same bytes, with the installer's peak memory (VmHWM);
  2. a 1 MiB image sent by `sx -k` through the console into /usr/bin/rx from
     the rescue menu's serial download: bytes per second.

Figures only; nothing is asserted.
"""

import os
import subprocess
import sys
import tempfile
import termios
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests" / "system"))

from conftest import (BUILD_DIR, EXTRACTING, IMGTOOL, LAUNCHER, MENU, PRELOAD,  # noqa: E402
                      PROMPT, Terminal, choose, set_env, to_menu, vswitch)

INSTALL_BENCH = os.path.join(BUILD_DIR, "bench", "install_bench")

RFS_RECORD = 15 * 1024 * 1024
SECTOR = 128 * 1024


def make_image(tmp, kind, payload_size):
    payload = tmp / f"{kind}.payload"
    with open(payload, "wb") as f:
        f.write(os.urandom(payload_size))
    out = tmp / f"{kind}.img"
    subprocess.run([IMGTOOL, "create", str(out), f"{kind}:1.0.0.1:{payload}"], check=True)
    return out


def install_figures(tmp):
    image = make_image(tmp, "rfs", RFS_RECORD - 16)
    board = vswitch.create_board(str(tmp / "install-board"))
    vswitch.make_stick(board.usb, [("rfs.img", image.read_bytes())])
    t = Terminal(board, tmp, INSTALL_BENCH, PRELOAD)
    try:
        t.expect("install bench: path skip slot? ")
        t.send("/mnt/usb/rfs.img 0 0\r")
        t.expect("bench install_s=")
        line = "install_s=" + t.expect("\n")
        t.expect("install bench: result 1")
        t.finish()
    finally:
        t.kill()
    fields = dict(item.split("=") for item in line.split())
    install_s, copy_s = float(fields["install_s"]), float(fields["copy_s"])
    hwm = int(fields["vmhwm_after_kib"])
    start = int(fields["vmhwm_before_kib"])
    target = (RFS_RECORD + SECTOR + (1 << 20)) // 1024
    print(f"install of a {RFS_RECORD >> 20} MiB rfs record: {install_s:.3f} s "
          f"({RFS_RECORD / install_s / 1e6:.1f} MB/s); plain copy of the same bytes: "
          f"{copy_s:.3f} s; ratio {install_s / copy_s:.1f}x")
    mapped = int(fields["rssfile_after_kib"])
    print(f"installer peak memory (VmHWM): {hwm} KiB, of which {start} KiB before the "
          f"install and {mapped} KiB file pages (mostly the device model's mapping of the "
          f"flash backing files); growth less those pages {hwm - start - mapped} KiB against "
          f"the target of record + sector + 1 MiB = {target} KiB")


def download_figures(tmp):
    image = make_image(tmp, "kernel", (1 << 20) - 16)
    board = vswitch.create_board(str(tmp / "download-board"))
    set_env(board, ["diagnostics=rescue"])
    # Stderr untagged: rx writes its progress there unless it is the line.
    t = Terminal(board, tmp, LAUNCHER, PRELOAD, tag=False)
    try:
        to_menu(t)
        choose(t, "x")
        t.expect("before initiating the download.\n")
        t.wait_line(lambda a: a[4] == a[5] == termios.B115200)
        t.send(b"\r")
        start = time.monotonic()
        status, err = t.relay(["sx", "-k", str(image)], timeout=600)
        took = time.monotonic() - start
        t.expect("hit the <ENTER> key\n")
        t.wait_line(lambda a: a[3] & termios.ICANON)
        t.send(b"\n")
        t.expect(EXTRACTING)
        t.expect(MENU + PROMPT)
        choose(t, "e")
        t.finish()
    finally:
        t.kill()
    size = image.stat().st_size
    print(f"serial download of {size} bytes with sx -k into /usr/bin/rx: {took:.2f} s, "
          f"{size / took:.0f} bytes/s (sx status {status})")


def main():
    if os.geteuid() != 0:
        print("rescue_bench: needs root to boot the virtual switch")
        return 0
    with tempfile.TemporaryDirectory(prefix="rescue-bench-") as tmp:
        install_figures(Path(tmp))
        download_figures(Path(tmp))
    return 0


if __name__ == "__main__":
    sys.exit(main())
