#!/usr/bin/python3
"""Boot path of the launcher on the virtual switch with a 32 MiB application
record. Prints figures; asserts nothing about time.

Time. The launcher's own time runs from its process start (the start time
in /proc/<pid>/stat, 10 ms ticks) to its exec of /bin/backtrace (seen from
the host by a sampler polling /proc/<pid>/comm every millisecond or so).
From it are taken the fixed sleeps (one second before the unpack, 0.1 s
for the VPD write cycle of the booted-image byte) and the time
that BusyBox's tar alone needs for the same archive, measured inside the
switch by the application once it runs (the payload cut from the slot file
again, unpacked into /tmp with `tar mxzf`, median of three). What is left is
compared with `cp` of the record file inside the switch (median of three
rounds of ten copies, for the 10 ms clock), the floor for reading and
writing the record once.

Memory. The sampler also reads VmHWM of the launcher's process while its
command name is still "launcher". VmHWM only grows until the exec resets it, so
the largest sample before the exec is the peak. It counts
everything resident: the C library, the device model preloaded into the
launcher and the flash pages it touched, so the same figure for a small
record is printed beside it.

Usage: bench/boot_bench.py [--mib 32]   (root; sh scripts/build.sh first)
"""

import argparse
import gzip
import io
import os
import re
import subprocess
import sys
import tarfile
import tempfile
import threading
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "sim"))
import vswitch  # noqa: E402

BUILD = os.environ.get("SWITCH_BUILD_DIR", os.path.join(REPO, "build", "host"))
IMGTOOL = os.path.join(BUILD, "tools", "imgtool")
LAUNCHER = os.path.join(BUILD, "src", "launcher")
PRELOAD = os.path.join(BUILD, "sim", "libsimdev_preload.so")
FIXED_SLEEP = 1.0
# The VPD EEPROM's write cycle that the launcher waits out after writing the
# booted-image byte (kWriteCycleNs in src/i2c.cpp): one write on this path.
VPD_WRITE_WAIT = 0.1

# The application measures tar and cp on the switch itself, with the same
# BusyBox, on the same tmpfs and the same slot file.
APP = r"""#!/bin/sh
now() { cut -d' ' -f1 /proc/uptime; }
best() { echo "$@" | tr ' ' '\n' | sed '/^$/d' | sort -n | sed -n 2p; }
tail -c +17 /user/images/image1 > /tmp/bench.tar.gz
tars=""; cps=""
for i in 1 2 3; do
    rm -rf /tmp/unpack; mkdir /tmp/unpack; cd /tmp/unpack
    a=$(now); tar mxzf /tmp/bench.tar.gz; b=$(now)
    tars="$tars $(echo "$b $a" | awk '{printf "%.2f", $1 - $2}')"
    cd /; rm -rf /tmp/unpack
    a=$(now)
    for j in 1 2 3 4 5 6 7 8 9 10; do cp /user/images/image1 /tmp/copy; done
    b=$(now)
    cps="$cps $(echo "$b $a" | awk '{printf "%.4f", ($1 - $2) / 10}')"
    rm -f /tmp/copy
done
echo "BENCH tar=$(best $tars) cp=$(best $cps)"
"""


def archive(random_bytes):
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w") as tar:
        for path, data, mode in (("home/bin/distro-id", b"bench\n", 0o644),
                                 ("home/bin/mp.elf.strip", APP.encode(), 0o755),
                                 ("home/data.bin", random_bytes, 0o644)):
            info = tarfile.TarInfo(path)
            info.size, info.mode = len(data), mode
            tar.addfile(info, io.BytesIO(data))
    return gzip.compress(raw.getvalue(), compresslevel=6, mtime=0)


def make_image(tmp, payload):
    src = os.path.join(tmp, "payload")
    out = os.path.join(tmp, "image")
    with open(src, "wb") as f:
        f.write(payload)
    subprocess.run([IMGTOOL, "create", out, f"application:1.0.0.1:{src}"], check=True,
                   capture_output=True)
    return out


class Sampler(threading.Thread):
    """Finds the process named "launcher" and follows it to its exec."""

    def __init__(self):
        super().__init__(daemon=True)
        self.pid = None
        self.start_ticks = None
        self.hwm_kib = 0
        self.exec_at = None  # CLOCK_BOOTTIME seconds
        self.children = []  # (first seen, last seen) of each child, in order
        self.stop = False

    def run(self):
        while not self.stop and self.pid is None:
            for name in os.listdir("/proc"):
                if name.isdigit() and read("/proc/%s/comm" % name) == "launcher\n":
                    self.pid = int(name)
                    break
            else:
                time.sleep(0.001)
        if self.pid is None:
            return
        stat = read(f"/proc/{self.pid}/stat")
        self.start_ticks = int(stat.rsplit(")", 1)[1].split()[19])
        self.seen = {}
        while not self.stop:
            status = read(f"/proc/{self.pid}/status")
            now = time.clock_gettime(time.CLOCK_BOOTTIME)
            if not status or not status.startswith("Name:\tlauncher\n"):
                self.exec_at = now
                return
            kids = read(f"/proc/{self.pid}/task/{self.pid}/children") or ""
            for kid in kids.split():
                if kid not in self.seen:
                    self.seen[kid] = len(self.children)
                    self.children.append([now, now])
                self.children[self.seen[kid]][1] = now
            m = re.search(r"VmHWM:\s+(\d+) kB", status)
            # The largest sample: while execve swaps the memory, the new
            # image's small VmHWM can show under the old name.
            if m:
                self.hwm_kib = max(self.hwm_kib, int(m.group(1)))
            time.sleep(0.0005)


def read(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return None


def boot_once(tmp, image):
    board = vswitch.create_board(os.path.join(tmp, "board"), force=True)
    os.makedirs(os.path.join(board.user, "images"))
    subprocess.run(["cp", image, os.path.join(board.user, "images", "image1")], check=True)
    board.set_vpd(vswitch.VPD_BOOT_SLOT, 1)
    sampler = Sampler()
    sampler.start()
    result = subprocess.run([os.path.join(REPO, "sim", "vswitch"), "boot", board.path,
                             "--launcher", LAUNCHER, "--preload", PRELOAD, "--timeout", "300"],
                            stdin=subprocess.DEVNULL, capture_output=True, text=True,
                            errors="replace")
    sampler.stop = True
    sampler.join(5)
    out = result.stdout.replace("\r", "")
    if sampler.exec_at is None or "application exited with status 0" not in out:
        sys.exit("boot failed:\n" + out + result.stderr)
    hz = os.sysconf("SC_CLK_TCK")
    start = sampler.start_ticks / hz
    launcher_s = sampler.exec_at - start
    m = re.search(r"BENCH tar=([\d.]+) cp=([\d.]+)", out)
    # Phases from the launcher's children: the mount's shell, then the
    # unpacking shell (the system() calls of the boot path).
    phases = None
    if len(sampler.children) >= 2:
        mount, unpack = sampler.children[0], sampler.children[-1]
        phases = {"start to end of mount": mount[1] - start,
                  "mount to unpack, less the sleep": unpack[0] - mount[1] - FIXED_SLEEP,
                  "unpacking shell (tar, rm)": unpack[1] - unpack[0],
                  "unpack to exec": sampler.exec_at - unpack[1]}
    return launcher_s, sampler.hwm_kib, float(m.group(1)), float(m.group(2)), phases


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--mib", type=int, default=32, help="record size in MiB (default 32)")
    args = p.parse_args()
    if os.geteuid() != 0:
        sys.exit("boot_bench: booting the virtual switch needs root")
    for path in (IMGTOOL, LAUNCHER, PRELOAD):
        if not os.path.exists(path):
            sys.exit(f"boot_bench: {path} not built (sh scripts/build.sh)")
    with tempfile.TemporaryDirectory(prefix="boot-bench-") as tmp:
        small = make_image(tmp, archive(b""))
        os.rename(small, os.path.join(tmp, "small"))
        small = os.path.join(tmp, "small")
        # Incompressible data: the payload is about as large as its data,
        # so the record comes to the size asked for.
        target = args.mib << 20
        payload = archive(os.urandom(target - 16 - 64 * 1024))
        payload = archive(os.urandom(target - 16 - 64 * 1024 - (len(payload) + 16 - target)))
        big = make_image(tmp, payload)
        record = os.path.getsize(big)

        small_s, small_hwm, small_tar, _, small_phases = boot_once(tmp, small)
        launcher_s, hwm, tar_s, cp_s, phases = boot_once(tmp, big)

    own = launcher_s - FIXED_SLEEP - VPD_WRITE_WAIT - tar_s
    print(f"record size                      {record} bytes ({record / 2**20:.2f} MiB)")
    print(f"launcher, start to exec          {launcher_s:.3f} s")
    print(f"  minus fixed sleep              {FIXED_SLEEP:.3f} s")
    print(f"  minus VPD write cycle          {VPD_WRITE_WAIT:.3f} s")
    print(f"  minus tar alone (median of 3)    {tar_s:.3f} s")
    print(f"  = launcher's own work          {own:.3f} s")
    print(f"cp of the record (median of 3)     {cp_s:.3f} s")
    if cp_s > 0:
        print(f"ratio own work / cp              {own / cp_s:.2f}  (target <= 1.5)")
    else:
        print("ratio own work / cp              n/a (cp below the 10 ms clock)")
    print(f"same with a small record         "
          f"{small_s - FIXED_SLEEP - VPD_WRITE_WAIT - small_tar:.3f} s own work")
    if phases and small_phases:
        for name, value in phases.items():
            print(f"  phase {name:<32} {value:.3f} s (small record {small_phases[name]:.3f} s)")
        # The phase in which the record is read, checked and written out.
        record_s = phases["mount to unpack, less the sleep"] - VPD_WRITE_WAIT
        print(f"record phase, less VPD wait      {record_s:.3f} s; / cp = "
              f"{record_s / cp_s if cp_s else float('nan'):.2f}")
    print(f"launcher VmHWM before exec       {hwm} KiB ({hwm / 1024:.2f} MiB)")
    print(f"  same with a small record       {small_hwm} KiB ({small_hwm / 1024:.2f} MiB)")
    print(f"  above the small record         {(hwm - small_hwm) / 1024:.2f} MiB")
    print(f"target: record + 1 MiB           {(record + 2**20) / 2**20:.2f} MiB "
          f"({'met' if hwm * 1024 <= record + 2**20 else 'missed'} by the absolute figure)")


if __name__ == "__main__":
    main()
