#!/usr/bin/python3
"""Boot path of the launcher on the virtual switch with a 32 MiB application
record. Prints figures; asserts nothing about time.

Time. A sampler on the host follows the launcher's process from the outside
(every half millisecond or so) and notes when each step of the boot path
shows: the mount's shell (a child process) last seen alive, the slot file
open, the slot file and the archive /tmp/velosimage.tar.gz both closed
again, the unpacking shell started, the archive gone (the shell's last step
removes it), and the exec of /bin/backtrace. The process start comes from
/proc/<pid>/stat (its fork by the switch's init; 10 ms ticks, rounded down).
Each phase is the time from one sighting to the next; a sighting never comes
before the step it sees (the mount's, never after), so they come in boot
order, a step seen out of order or not at all is merged into the next phase,
no phase can come out negative and the phases add up to the whole. The
record phase (open of the slot file to the close of the archive: reading,
checking and writing the record) is the launcher's own work on the record;
it is set beside `cp` of the same file inside the switch (median of three
rounds of ten copies, for the 10 ms clock), the floor for reading and
writing the record once.

Memory. The sampler also reads VmHWM of the launcher's process while its
command name is still "launcher". VmHWM only grows until the exec resets it,
so the largest sample before the exec is the peak. It counts everything
resident: the C library, the device model preloaded into the launcher and
the flash pages it touched, so the same figure for a small record is
printed beside it.

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
SLOT_FILE = "/user/images/image1"
ARCHIVE = "/tmp/velosimage.tar.gz"

# The application measures cp on the switch itself, with the same BusyBox,
# on the same tmpfs and the same slot file.
APP = r"""#!/bin/sh
now() { cut -d' ' -f1 /proc/uptime; }
cps=""
for i in 1 2 3; do
    a=$(now)
    for j in 1 2 3 4 5 6 7 8 9 10; do cp /user/images/image1 /tmp/copy; done
    b=$(now)
    cps="$cps $(echo "$b $a" | awk '{printf "%.4f", ($1 - $2) / 10}')"
    rm -f /tmp/copy
done
echo "BENCH cp=$(echo $cps | tr ' ' '\n' | sort -n | sed -n 2p)"
"""

# The sightings, in boot order, and the name of the phase that each one ends.
STEPS = [
    ("mount_end", "start-up to the end of the mount (I2C, MTD, environment)"),
    ("slot_open", "to the slot file's open (boot slot, message)"),
    ("record_done", "the record: read, CRC-checked, payload written"),
    ("unpack_start", "booted-image VPD write (0.1 s cycle), 1 s pause"),
    ("unpack_end", "unpacking shell: tar, then rm of the archive"),
    ("exec", "end of the shell, marker check, I2C close, exec"),
]


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


def make_image(tmp, name, payload):
    src = os.path.join(tmp, name + ".payload")
    out = os.path.join(tmp, name)
    with open(src, "wb") as f:
        f.write(payload)
    subprocess.run([IMGTOOL, "create", out, f"application:1.0.0.1:{src}"], check=True,
                   capture_output=True)
    return out


def read(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return None


def open_files(pid):
    """The paths (as the switch sees them) of the process's open files."""
    names = set()
    try:
        fds = os.listdir(f"/proc/{pid}/fd")
    except OSError:
        return names
    for fd in fds:
        try:
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:
            continue
        # Seen from the host, the switch's root is /tmp/vswitch-root-*.
        names.add(re.sub(r"^/tmp/vswitch-root-[^/]+", "", target))
    return names


class Sampler(threading.Thread):
    """Finds the process named "launcher" and follows it to its exec."""

    def __init__(self, root):
        super().__init__(daemon=True)
        self.root = root  # the runner's process
        self.pid = None
        self.start_ticks = None
        self.hwm_kib = 0
        self.seen = {}  # sighting -> CLOCK_BOOTTIME seconds
        self.stop = False

    def find_launcher(self):
        """Walks down from the runner: its descendants are few, so the
        launcher is found within a sample of its exec."""
        while not self.stop:
            todo = [str(self.root)]
            while todo:
                pid = todo.pop()
                if read(f"/proc/{pid}/comm") == "launcher\n":
                    return int(pid)
                todo += (read(f"/proc/{pid}/task/{pid}/children") or "").split()
            time.sleep(0.0005)
        return None

    def note(self, what, now):
        self.seen.setdefault(what, now)

    def run(self):
        self.pid = self.find_launcher()
        if self.pid is None:
            return
        stat = read(f"/proc/{self.pid}/stat")
        self.start_ticks = int(stat.rsplit(")", 1)[1].split()[19])
        kids = {}  # pid -> the command lines each child showed
        while not self.stop:
            status = read(f"/proc/{self.pid}/status")
            if not status or not status.startswith("Name:\tlauncher\n"):
                self.note("exec", clock())
                return
            m = re.search(r"VmHWM:\s+(\d+) kB", status)
            # The largest sample: while execve swaps the memory, the new
            # image's small VmHWM can show under the old name.
            if m:
                self.hwm_kib = max(self.hwm_kib, int(m.group(1)))
            if "record_done" not in self.seen:  # later samples are cheaper without
                files = open_files(self.pid)
                if SLOT_FILE in files:
                    self.note("slot_open", clock())
                elif "slot_open" in self.seen and ARCHIVE not in files:
                    self.note("record_done", clock())
            self.follow_children(kids)
            time.sleep(0.0005)

    def follow_children(self, kids):
        """Tells the mount's shell and the unpacking shell by the command
        lines they showed (a child may not have exec'd its shell yet, and
        the mount's shell execs BusyBox's mount in turn)."""
        before = clock()
        alive = (read(f"/proc/{self.pid}/task/{self.pid}/children") or "").split()
        for kid in alive:
            kids[kid] = kids.get(kid, "") + (read(f"/proc/{kid}/cmdline") or "")
            if "/dev/mtd-user" in kids[kid]:
                # Last seen alive: never later than its end, so never after
                # the next step's sighting.
                self.seen["mount_end"] = before
        if any("tar mxzf" in cmd for cmd in kids.values()):
            self.note("unpack_start", clock())
            # The shell's last step removes the archive; its exit itself is
            # too close to the exec for a sample to fall between.
            if not os.path.exists(f"/proc/{self.pid}/root{ARCHIVE}"):
                self.note("unpack_end", clock())


def clock():
    return time.clock_gettime(time.CLOCK_BOOTTIME)


def boot_once(tmp, image):
    board = vswitch.create_board(os.path.join(tmp, "board"), force=True)
    os.makedirs(os.path.join(board.user, "images"))
    subprocess.run(["cp", image, os.path.join(board.user, "images", "image1")], check=True)
    board.set_vpd(vswitch.VPD_BOOT_SLOT, 1)
    runner = subprocess.Popen([os.path.join(REPO, "sim", "vswitch"), "boot", board.path,
                               "--launcher", LAUNCHER, "--preload", PRELOAD, "--timeout", "300"],
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, errors="replace")
    sampler = Sampler(runner.pid)
    sampler.start()
    out, err = runner.communicate()
    sampler.stop = True
    sampler.join(5)
    out = out.replace("\r", "")
    m = re.search(r"BENCH cp=([\d.]+)", out)
    if "exec" not in sampler.seen or not m:
        sys.exit("boot failed:\n" + out + err)
    start = sampler.start_ticks / os.sysconf("SC_CLK_TCK")
    return phases(start, sampler.seen), sampler.hwm_kib, float(m.group(1))


def phases(start, seen):
    """[(name, seconds)] between consecutive sightings; a step the sampler
    missed (a short one), or saw only after a later one, is merged into the
    next one's phase."""
    out, last, names = [], start, []
    for key, name in STEPS:
        names.append(name)
        if seen.get(key, -1.0) >= last:
            out.append((" + ".join(names), seen[key] - last))
            last, names = seen[key], []
    return out


def print_phases(title, found):
    print(title)
    for name, seconds in found:
        print(f"  {seconds:7.3f} s  {name}")
    print(f"  {sum(s for _, s in found):7.3f} s  launcher, start to exec")


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
        small = make_image(tmp, "small", archive(b""))
        # Incompressible data: the payload is about as large as its data,
        # so the record comes to the size asked for.
        target = args.mib << 20
        payload = archive(os.urandom(target - 16 - 64 * 1024))
        payload = archive(os.urandom(target - 16 - 64 * 1024 - (len(payload) + 16 - target)))
        big = make_image(tmp, "big", payload)
        record = os.path.getsize(big)
        small_phases, small_hwm, _ = boot_once(tmp, small)
        big_phases, hwm, cp_s = boot_once(tmp, big)

    print(f"record size {record} bytes ({record / 2**20:.2f} MiB)")
    print_phases("phases with this record, each from one sighting to the next:", big_phases)
    print_phases("the same with a record of a few hundred bytes:", small_phases)
    own = dict(big_phases).get(STEPS[2][1])
    print(f"cp of the record on the switch (median of 3)   {cp_s:.3f} s")
    if own is None:
        print("record phase not seen apart from its neighbours; no ratio")
    elif cp_s > 0:
        print(f"record phase / cp                              {own / cp_s:.2f}  "
              "(target <= 1.5)")
    else:
        print("record phase / cp                              n/a (cp below the 10 ms clock)")
    print(f"launcher VmHWM before exec       {hwm} KiB ({hwm / 1024:.2f} MiB)")
    print(f"  same with a small record       {small_hwm} KiB ({small_hwm / 1024:.2f} MiB)")
    print(f"  above the small record         {(hwm - small_hwm) / 1024:.2f} MiB")
    print(f"target: record + 1 MiB           {(record + 2**20) / 2**20:.2f} MiB "
          f"({'met' if hwm * 1024 <= record + 2**20 else 'missed'} by the absolute figure)")


if __name__ == "__main__":
    main()
