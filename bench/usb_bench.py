#!/usr/bin/python3
"""USB stick figures on the virtual switch (root, and the host build):

  1. A stick left in the switch: a boot-loader image and replacements for
     both slots, all already installed. Start-up from power-on to the
     application, and the bytes the skip-if-same checks read back, against
     the same start-up without a stick (USB boot off, and allowed but no
     stick). Flash bytes read are summed from the device log; file bytes are
     the read(2) total of the launcher's process (rchar: its own reads and
     those of the children it waited for, md5sum and tar among them; the
     process keeps it across the exec, and the application prints it).
  2. Installs from the stick by the real installer (bench/install_bench,
     skip-if-same on as the USB steps call it): a 32 MiB slot replacement
     and a 15 MiB root-filesystem record, against a plain copy of the same
     file from the stick to /tmp.

Figures only; nothing is asserted. Usage: bench/usb_bench.py [--mib 32]
"""

import argparse
import os
import re
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests" / "system"))

from conftest import (BUILD_DIR, LAUNCHER, PRELOAD, Terminal, devices_log,  # noqa: E402
                      make_image, tar_gz, uboot_payload, vswitch)

INSTALL_BENCH = os.path.join(BUILD_DIR, "bench", "install_bench")

# Prints what the launcher's process read and when it started, then ends.
APP = r"""#!/bin/sh
while read key value; do [ "$key" = rchar: ] && rchar=$value; done < /proc/$$/io
set -- $(cat /proc/$$/stat | sed 's/.*) //')
echo "BENCH rchar=$rchar start_ticks=${20} uptime=$(cut -d' ' -f1 /proc/uptime)"
"""
BOOT_PAYLOAD = 256 * 1024
RFS_RECORD = 15 * 1024 * 1024


def app_record(tmp, name, version, size):
    """An application image of about `size` bytes (incompressible padding)."""
    files = {"home/bin/mp.elf.strip": (APP.encode(), 0o755),
             "home/bin/distro-id": (b"bench\n", 0o644),
             "home/pad.bin": (os.urandom(max(0, size - 64 * 1024)), 0o644)}
    return make_image(tmp, [("application", version, tar_gz(files))])


def flash_bytes_read(lines):
    return sum(int(m.group(1)) for m in (re.match(r"mtd-\S+ read 0x[0-9a-f]+ (\d+)", line)
                                         for line in lines) if m)


def start_up(tmp, name, images, stick, usb_boot=0xD5):
    """One start-up; (seconds from power-on, seconds from the launcher's
    start, launcher's rchar, flash bytes read)."""
    board = vswitch.create_board(str(tmp / name))
    os.makedirs(os.path.join(board.user, "images"))
    for slot in (1, 2):
        with open(os.path.join(board.user, "images", f"image{slot}"), "wb") as f:
            f.write(images[slot])
    board.write_partition("uboot", 0, images["uboot"])
    board.set_vpd(vswitch.VPD_BOOT_SLOT, 1)
    board.set_vpd(vswitch.VPD_USB_BOOT, usb_boot)
    if stick:
        vswitch.make_stick(board.usb, stick)
    power_on = time.monotonic()
    t = Terminal(board, tmp, LAUNCHER, PRELOAD, tag=False)
    try:
        t.expect("BENCH ", timeout=600)
        host_s = time.monotonic() - power_on
        fields = dict(item.split("=") for item in t.expect("\n").split())
        t.finish()
    finally:
        t.kill()
    launcher_s = float(fields["uptime"]) - int(fields["start_ticks"]) / os.sysconf("SC_CLK_TCK")
    return host_s, launcher_s, int(fields["rchar"]), flash_bytes_read(devices_log(board))


def left_in_figures(tmp, mib):
    record = mib << 20
    uboot = make_image(tmp, [("uboot", "7.0.0.1", uboot_payload("7.0.0.1", BOOT_PAYLOAD))])
    images = {1: app_record(tmp, "r1", "3.0.0.3", record),
              2: app_record(tmp, "r2", "2.0.0.2", record),
              "uboot": uboot[16:]}
    stick = [("QLX5270_Boot.img", uboot), ("QLX5270_replace2_OS.img", images[2]),
             ("QLX5270_replace1_OS.img", images[1])]
    on_stick = sum(len(data) for _, data in stick)
    bare = start_up(tmp, "usb-off", images, None, usb_boot=0)
    waiting = start_up(tmp, "no-stick", images, None)
    left = start_up(tmp, "stick-left-in", images, stick)
    print(f"stick left in: boot image of {len(uboot)} bytes and two replacements of "
          f"{len(images[1])} and {len(images[2])} bytes, all installed")
    for label, (host_s, launcher_s, rchar, flash) in (("USB boot off", bare),
                                                       ("no stick", waiting),
                                                       ("stick in", left)):
        print(f"  {label:<13} power-on to application {host_s:6.2f} s; launcher start to "
              f"application {launcher_s:6.2f} s; flash read {flash} bytes; files read "
              f"(rchar) {rchar} bytes")
    extra = left[2] - bare[2]
    slots = len(images[1]) + len(images[2])
    print(f"  against USB boot off, the stick costs {left[0] - bare[0]:.2f} s (1 s of it the "
          f"wait's first pause); flash read back {left[3] - bare[3]} bytes (boot-loader payload "
          f"{BOOT_PAYLOAD}); files read {extra} more bytes: the installer reads the stick's "
          f"files ({on_stick}), md5sum the replacements ({slots}), and the rest, "
          f"{extra - on_stick - slots}, is read back from the slot files ({slots} both whole)")


def install_figures(tmp):
    replacement = app_record(tmp, "r2", "2.0.0.2", 32 << 20)
    rfs = make_image(tmp, [("rfs", "1.0.0.1", os.urandom(RFS_RECORD - 16))])
    for name, data, slot in (("QLX5270_replace2_OS.img", replacement, 2), ("rfs.img", rfs, 0)):
        board = vswitch.create_board(str(tmp / f"install-{slot}"))
        vswitch.make_stick(board.usb, [(name, data)])
        t = Terminal(board, tmp, INSTALL_BENCH, PRELOAD, tag=False)
        try:
            t.expect("install bench: path skip slot? ")
            t.send(f"/mnt/usb/{name} 1 {slot}\r")
            t.expect("bench install_s=", timeout=600)  # not the echo of the line typed
            fields = dict(item.split("=") for item in ("install_s=" + t.expect("\n")).split())
            result = t.expect("\n").strip()
            t.finish()
        finally:
            t.kill()
        install_s, copy_s = float(fields["install_s"]), float(fields["copy_s"])
        print(f"install of {name} ({len(data)} bytes) from the stick: {install_s:.3f} s; "
              f"plain copy from the stick: {copy_s:.3f} s; ratio {install_s / copy_s:.1f}x "
              f"({result})")


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--mib", type=int, default=32, help="replacement size in MiB (default 32)")
    args = p.parse_args()
    if os.geteuid() != 0:
        print("usb_bench: needs root to boot the virtual switch")
        return 0
    with tempfile.TemporaryDirectory(prefix="usb-bench-") as tmp:
        left_in_figures(Path(tmp), args.mib)
        install_figures(Path(tmp))
    return 0


if __name__ == "__main__":
    sys.exit(main())
