#!/usr/bin/python3
"""Erases and power cuts of a whole install on the virtual switch (root, and
the host build). Figures only; nothing is asserted.

The image is of a real switch's size: boot loader 512 KiB (its version
header at byte 240), kernel 3 MiB, device tree 64 KiB, root filesystem
12 MiB, diagnostics 2 MiB and a 4 MiB application record, in that order. It
is installed by the real installer (the install driver, booted in the
launcher's place, skip-if-same off, application into slot 2, as the rescue
menu's install with the operator's answer 2) over a board that carries an
older image of the same layout with its boot chain checked at power-on.

  1. Erases, from the device log: erases and bytes programmed for that first
     install, for the same install again, and for an image that differs
     from the installed one in one sector of the root filesystem; with the
     time a NOR part would take (datasheet figures below, as options).
  2. Power cuts at every flash write of the whole install. The flash after
     a cut at write N is rebuilt from the device log of the one whole
     install: its requests before the Nth write replayed over the flash as
     it was before the install, an erase filling its sector with 0xFF and a
     write putting down the bytes that its range holds once the install is
     over. That is exact when no later request touches a write's range
     again, which the script checks on the log: the bytes a write put down
     then stay to the end. The cut itself (cut-at-write N) kills the
     installer before any byte of write N lands, after everything the log
     shows before it. For every point: does the launcher still boot (the
     board powered on with the boot-chain check off, as the virtual switch
     counted a board before), would the board start (the power-on check of
     the boot loader, kernel, device tree and root filesystem), and, at
     sampled points, does a second install repair it. A sampled point is a
     real cut (the install run with cut-at-write N), which also checks the
     replay against the real flash.
  3. Power cuts during a USB replacement of slot 2 at start-up: at every
     64 KiB write of the slot file (--cut-at-file-size) and at the VPD
     writes (cut-at-vpd-write): the launcher at the next start with the
     stick pulled, the power-on check, and the next start with the stick
     still in.

The launcher's boot in (2) is a real boot whenever its answer could have
changed: the launcher is a deterministic program whose boot reads the
flash only through the device model, which logs every read; until a
replayed request touches a range that the last real boot read, every read
of a boot would return the same bytes, so the boot goes the same way.

Usage: bench/power_cut_bench.py [--only erases|flash|usb] [--every N] [--erase-s S]
       [--program-us-per-byte US]
"""

import argparse
import hashlib
import os
import random
import re
import shutil
import struct
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests" / "system"))

from conftest import (APP_ENDED, APP_SCRIPT, BOOT_SLOT, DIAG_SCRIPT, LAUNCHER,  # noqa: E402
                      PRELOAD, Terminal, devices_log, driver, make_image, set_faults, tar_gz,
                      version_id, vswitch)
from vsw import bootcheck  # noqa: E402  (sim/, put on the path by conftest)

KIB, MIB = 1024, 1 << 20
SECTOR = 128 * KIB
ORDER = ["uboot", "kernel", "dft", "rfs", "diags", "application"]
# Payload bytes per record; the kernel record fills its 3 MiB partition.
SIZES = {"uboot": 512 * KIB, "kernel": 3 * MIB - 16, "dft": 64 * KIB, "rfs": 12 * MIB,
         "diags": 2 * MIB, "application": 4 * MIB}
PARTS = ["uboot", "kernel", "devicetree", "rfs", "rescue"]
OLD, NEW = "1.0.0.1", "2.0.0.2"
# The image file in the board directory, as the switch sees it.
IMAGE_FILE = "install.img"
IN_SWITCH = "/.vswitch/" + IMAGE_FILE
REPLACE2 = "QLX5270_replace2_OS.img"
WAIT = 1800
FLASH_LINE = re.compile(r"mtd-(\S+) (erase|write|read) 0x([0-9a-f]+) (\S+)$")


# ------------------------------------------------------------------ images

def payloads(version, seed):
    rnd = random.Random(seed)
    uboot = bytearray(rnd.randbytes(SIZES["uboot"]))
    uboot[240:256] = struct.pack(">IIII", 0, SIZES["uboot"], bootcheck.MAGIC["uboot"],
                                 version_id(version))
    pad = {kind: rnd.randbytes(SIZES[kind] - 64 * KIB) for kind in ("diags", "application")}
    return {
        "uboot": bytes(uboot),
        "kernel": rnd.randbytes(SIZES["kernel"]),
        "dft": rnd.randbytes(SIZES["dft"]),
        "rfs": rnd.randbytes(SIZES["rfs"]),
        "diags": tar_gz({"mpdiag.elf.strip": (DIAG_SCRIPT.format(name=f"diags-{version}",
                                                                 status=7).encode(), 0o755),
                         "pad.bin": (pad["diags"], 0o644)}),
        "application": tar_gz({
            "home/bin/mp.elf.strip": (APP_SCRIPT.format(name=f"app-{version}",
                                                        status=7).encode(), 0o755),
            "home/bin/distro-id": (b"bench\n", 0o644),
            "home/pad.bin": (pad["application"], 0o644)}),
    }


def image_of(tmp, version, parts):
    return make_image(tmp, [(kind, version, parts[kind]) for kind in ORDER])


def records(image):
    return dict(bootcheck.records(image))


def installed_form(kind, record):
    return record[16:] if kind == "uboot" else record


# ------------------------------------------------------------------ boards

class Saved:
    """A board's flash, VPD and user files, put back at will."""

    def __init__(self, board, where):
        self.flash = {p: board.read_partition(p) for p in vswitch.PARTITION_NAMES}
        self.vpd = board.vpd(0, vswitch.EEPROM_SIZE)
        self.user = str(where)
        shutil.rmtree(self.user, ignore_errors=True)
        shutil.copytree(board.user, self.user, symlinks=True)

    def restore(self, board, flash=None):
        for part, data in dict(self.flash, **(flash or {})).items():
            board.write_partition(part, 0, data)
        with open(os.path.join(board.dev, vswitch.EEPROM_FILE), "wb") as f:
            f.write(self.vpd)
        shutil.rmtree(board.user)
        shutil.copytree(self.user, board.user, symlinks=True)


def old_board(tmp, name, old_image, **vpd):
    """A board carrying the older image: its flash records installed, its
    application in slot 1 (which the VPD names), the boot chain checked."""
    board = vswitch.create_board(str(tmp / name))
    recs = bootcheck.records(old_image)
    bootcheck.install_chain(board, b"".join(r for kind, r in recs if kind != "application"))
    os.makedirs(os.path.join(board.user, "images"))
    with open(os.path.join(board.user, "images", "image1"), "wb") as f:
        f.write(dict(recs)["application"])
    board.set_vpd(BOOT_SLOT, 1)
    for offset, value in vpd.items():
        board.set_vpd(int(offset, 0), value)
    return board


def power_on(board, tmp, launcher=LAUNCHER, args=(), send=None):
    """One boot to its end; (console text, final line, exit status)."""
    # Both logs start afresh: a file-size cut must fall in the slot file.
    open(os.path.join(board.dev, "devices.log"), "w").close()
    open(board.log, "w").close()
    t = Terminal(board, tmp, launcher, PRELOAD, args=list(args), timeout=WAIT, tag=False)
    try:
        if send:
            t.expect(send[0], timeout=WAIT)
            t.send(send[1])
        final = t.finish(timeout=WAIT)
    finally:
        t.kill()
    return t.out(), final


def install(board, tmp, image, skip, faults=()):
    """The install driver installs `image` (application into slot 2); the
    console text, the final line and the device log of the boot."""
    with open(os.path.join(board.path, IMAGE_FILE), "wb") as f:
        f.write(image)
    set_faults(board, *faults)
    try:
        out, final = power_on(board, tmp, driver("install_driver"),
                              send=("install driver: path skip slot? ", f"{IN_SWITCH} {skip} 2\r"))
    finally:
        set_faults(board)
    return out, final, devices_log(board)


def started_app(out, final):
    """The application a boot started ("app-2.0.0.2"), or None."""
    m = re.search(r"^APP (\S+) ", out, re.M)
    return m.group(1) if m and final == APP_ENDED else None


def flash_requests(lines, verbs=("erase", "write")):
    """[(partition, verb, offset, length)] of the device log's flash requests
    that succeeded, in order."""
    out = []
    for line in lines:
        m = FLASH_LINE.match(line)
        if m and m.group(2) in verbs:
            out.append((m.group(1), m.group(2), int(m.group(3), 16), int(m.group(4), 0)))
    return out


# ------------------------------------------------------------------ erases

def nor_seconds(erases, programmed, args):
    return erases * args.erase_s + programmed * args.program_us_per_byte / 1e6


def wear(lines, image, args):
    requests = flash_requests(lines)
    erases = sum(n // SECTOR for _, verb, _, n in requests if verb == "erase")
    programmed = sum(n for _, verb, _, n in requests if verb == "write")
    # What every touched sector read, erased and written back would cost.
    touched = sum(-(-len(installed_form(kind, r)) // SECTOR)
                  for kind, r in bootcheck.records(image) if kind != "application")
    return erases, programmed, touched


def erase_figures(tmp, old, new, args):
    # The new image with one byte changed in sector 50 of the root
    # filesystem; its record's CRC word, in sector 0, changes with it.
    parts = payloads(NEW, 2)
    rfs = bytearray(parts["rfs"])
    rfs[50 * SECTOR] ^= 0xFF
    one_sector = image_of(tmp, NEW, dict(parts, rfs=bytes(rfs)))
    print(f"erases: assumed NOR figures: {args.erase_s:g} s per {SECTOR // KIB} KiB sector "
          f"erase, {args.program_us_per_byte:g} us per byte programmed (buffered programming)")
    print(f"  {'install':<54}{'erases':>7}{'bytes programmed':>18}{'NOR time':>10}"
          f"   without the sector skip")
    board = old_board(tmp, "erases", old)
    installed = None
    for label, image, skip in [("first install over the older image", new, 0),
                               ("the same install again, skip-if-same off", new, 0),
                               ("the same install again, skip-if-same on", new, 1),
                               ("one root-filesystem sector differs, skip-if-same off",
                                one_sector, 0),
                               ("one root-filesystem sector differs, skip-if-same on",
                                one_sector, 1)]:
        if installed:
            installed.restore(board)
        out, final, lines = install(board, tmp, image, skip)
        installed = installed or Saved(board, tmp / "erases-installed")
        erases, programmed, touched = wear(lines, image, args)
        result = re.search(r"install driver: result (\d+)", out)
        print(f"  {label:<54}{erases:>7}{programmed:>18}"
              f"{nor_seconds(erases, programmed, args):>9.1f}s   {touched} erases, "
              f"{nor_seconds(touched, touched * SECTOR, args):.1f} s"
              f" (result {result.group(1) if result else final})")


# ------------------------------------------------------------------ replay

def later_untouched(requests, sizes):
    """Whether no request touches the range of a write after it: then the
    bytes a write put down are the bytes its range holds at the end."""
    seen = {p: bytearray(-(-sizes[p] // KIB)) for p in sizes}
    for part, verb, offset, length in reversed(requests):
        units = seen[part]
        lo, hi = offset // KIB, -(-(offset + length) // KIB)
        if verb == "write" and any(units[lo:hi]):
            return False
        units[lo:hi] = b"\x01" * (hi - lo)
    return True


def apply(state, final, request):
    part, verb, offset, length = request
    if verb == "erase":
        state[part][offset:offset + length] = b"\xff" * length
    else:
        state[part][offset:offset + length] = final[part][offset:offset + length]


def overlaps(request, reads):
    part, _, offset, length = request
    return any(p == part and offset < o + n and o < offset + length for p, o, n in reads)


class LauncherBoots:
    """Whether the launcher boots an application from a flash state, by real
    boots only when a replayed request touched what the last one read."""

    def __init__(self, board, tmp, before):
        self.board, self.tmp, self.before = board, tmp, before
        self.reads = None
        self.answer = None
        self.real = 0
        self.read_at_last = []

    def touched(self, request):
        if self.reads is not None and overlaps(request, self.reads):
            self.reads = None

    def __call__(self, state):
        if self.reads is None:
            self.answer, lines = boot_launcher(self.board, self.tmp, self.before,
                                               {p: bytes(d) for p, d in state.items()})
            self.real += 1
            reads = [(p, o, n) for p, _, o, n in flash_requests(lines, ("read",))]
            # A boot that changes the flash leaves nothing to carry over.
            self.reads = None if flash_requests(lines) else reads
            self.read_at_last = reads
        return self.answer


def boot_launcher(board, tmp, before, flash):
    """The launcher's boot from this flash with the rest of the board as it
    was before the install, the boot chain unchecked."""
    before.restore(board, flash)
    bootcheck.set_checked(board, False)
    try:
        out, final = power_on(board, tmp)
    finally:
        bootcheck.set_checked(board, True)
    return started_app(out, final), devices_log(board)


def digest(state):
    return {p: hashlib.sha256(d).hexdigest() for p, d in state.items()}


# ------------------------------------------------------------------ sweep

def flash_sweep(tmp, old, new, args):
    board = old_board(tmp, "sweep", old)
    before = Saved(board, tmp / "sweep-before")
    out, final, lines = install(board, tmp, new, 0)
    after = {p: board.read_partition(p) for p in PARTS}
    requests = [r for r in flash_requests(lines) if r[0] in PARTS]
    sizes = board.geometry()[1]
    writes = [r for r in requests if r[1] == "write"]
    vpd_at = [i for i, line in enumerate(lines) if re.match(r"i2c-0 write 0x54 (\S+ ){2}\S+", line)]
    last_flash = max(i for i, line in enumerate(lines) if FLASH_LINE.match(line))
    exact = later_untouched(requests, sizes)
    state = {p: bytearray(before.flash[p]) for p in PARTS}
    for r in requests:
        apply(state, after, r)
    print(f"power cuts: a whole install of {len(new)} bytes writes {len(writes)} times "
          f"({sum(r[3] for r in writes)} bytes) and erases {len(requests) - len(writes)} sectors "
          f"({'result 1' if 'install driver: result 1' in out else final})")
    print(f"  replay exact (no write's range touched again later): {'yes' if exact else 'NO'}; "
          f"the whole log replayed rebuilds the installed flash: "
          f"{'yes' if all(state[p] == after[p] for p in PARTS) else 'NO'}; "
          f"VPD written only after the last flash write: "
          f"{'yes' if all(i > last_flash for i in vpd_at) else 'NO'}")
    if not exact:
        return

    groups = {p: [n for n, r in enumerate(writes, 1) if r[0] == p] for p in PARTS}
    groups = {p: g for p, g in groups.items() if g}
    # Every so many writes, so that the sampled cuts move through the
    # sectors' pieces, and each partition's first and last write.
    sampled = set(range(1, len(writes) + 1, args.every))
    sampled |= {w for g in groups.values() for w in (g[0], g[-1])}

    boots = LauncherBoots(board, tmp, before)
    chain = {name: None for name, _ in bootcheck.CHAIN}
    state = {p: bytearray(before.flash[p]) for p in PARTS}
    dirty = set(chain)
    seen = {}   # write number -> (launcher's app, first damage, digest if sampled)
    reasons = {p: {} for p in groups}
    n = 0
    for r in requests:
        if r[1] == "write":
            n += 1
            for name in dirty & set(chain):
                chain[name] = bootcheck.partition_damage(name, state[name])
            dirty = set()
            damage = next(((name, why) for name, why in chain.items() if why), None)
            app = boots(state)
            seen[n] = (app, damage, digest(state) if n in sampled else None)
            if damage:
                key = f"{damage[0]}: {damage[1].split(' at 0x')[0]}"
                reasons[r[0]][key] = reasons[r[0]].get(key, 0) + 1
        apply(state, after, r)
        boots.touched(r)
        dirty.add(r[0])

    repaired = sampled_cuts(board, tmp, before, new, after, sorted(sampled), seen)
    print(f"  {'cut inside':<12}{'writes':>8}{'launcher boots':>18}{'board would start':>20}"
          f"{'repaired by a 2nd install':>28}")
    totals = [0, 0, 0, 0, 0]
    for part, g in groups.items():
        boots_n = sum(1 for w in g if seen[w][0])
        starts = sum(1 for w in g if not seen[w][1])
        fixed = sum(1 for w in g if w in repaired and repaired[w])
        tried = sum(1 for w in g if w in repaired)
        for i, v in enumerate((len(g), boots_n, starts, fixed, tried)):
            totals[i] += v
        print(row(part, len(g), boots_n, starts, fixed, tried))
    print(row("total", *totals))
    for part, counts in reasons.items():
        if counts:
            print(f"  cuts inside {part} stop the board at: " +
                  "; ".join(f"{k} ({v})" for k, v in sorted(counts.items())))
    apps = sorted({seen[w][0] or "none" for w in seen})
    read = ", ".join(sorted({f"{p} 0x{o:x}+{n}" for p, o, n in boots.read_at_last}))
    print(f"  the launcher's answer came from {boots.real} real boot(s) (started: "
          f"{', '.join(apps)}; the flash it read: {read or 'nothing'}); no replayed request "
          f"touched that before any other point")


def row(label, total, boots_n, starts, fixed, tried):
    def pct(v, of):
        return f"{v} ({100.0 * v / of:.1f}%)" if of else "-"
    return (f"  {label:<12}{total:>8}{pct(boots_n, total):>18}{pct(starts, total):>20}"
            f"{f'{fixed}/{tried} sampled':>28}")


def sampled_cuts(board, tmp, before, new, after, points, seen):
    """Real cuts at the sampled writes: the replay, the launcher's and the
    check's answers compared with the sweep's, then a second install."""
    repaired = {}
    same = {"flash": 0, "launcher": 0, "check": 0}
    app_record = records(new)["application"]
    for n in points:
        before.restore(board)
        _, final, _ = install(board, tmp, new, 0, faults=[f"cut-at-write {n}"])
        real = {p: board.read_partition(p) for p in PARTS}
        app, damage, want = seen[n]
        same["flash"] += digest(real) == want and final == ("launcher was killed by signal 9", 1)
        same["check"] += bootcheck.chain_damage(board) == damage
        cut = Saved(board, tmp / "sweep-cut")
        same["launcher"] += boot_launcher(board, tmp, cut, real)[0] == app
        cut.restore(board)
        # The second install as if the board had started.
        bootcheck.set_checked(board, False)
        out, _, _ = install(board, tmp, new, 0)
        bootcheck.set_checked(board, True)
        whole = all(board.read_partition(p) == after[p] for p in PARTS)
        slot = open(os.path.join(board.user, "images", "image2"), "rb").read() == app_record
        out2, final2 = power_on(board, tmp)
        repaired[n] = (whole and slot and board.vpd(BOOT_SLOT) == 2 and
                       started_app(out2, final2) == f"app-{NEW}" and
                       "install driver: result 1" in out)
    print(f"  {len(points)} sampled points cut for real: the replayed flash matched at "
          f"{same['flash']}, the launcher's answer at {same['launcher']}, the check's at "
          f"{same['check']}")
    return repaired


# ------------------------------------------------------------------ USB

def usb_sweep(tmp, old, new, args):
    """A USB replacement of slot 2 at start-up, cut at every slot-file write
    and at each VPD write."""
    record = records(new)["application"]
    board = old_board(tmp, "usb", old, **{hex(vswitch.VPD_USB_BOOT): 0xD5})
    vswitch.make_stick(board.usb, [(REPLACE2, record)])
    stick = Saved(board, tmp / "usb-before")
    with open(board.usb, "rb") as f:
        stick_image = f.read()
    pieces = -(-len(record) // 65536)
    # A limit of 0 would stop the device log's first line, not the slot
    # file: the first piece stays out.
    points = [("slot-file write", k + 1, ["--cut-at-file-size", str(k * 65536)], [])
              for k in range(1, pieces)]
    points += [("VPD boot-slot write", 1, [], ["cut-at-vpd-write 1"]),
               ("VPD booted-image write", 2, [], ["cut-at-vpd-write 2"])]
    rows = {}
    for label, number, args, faults in points:
        stick.restore(board)
        with open(board.usb, "wb") as f:
            f.write(stick_image)
        set_faults(board, *faults)
        out, final = power_on(board, tmp, args=args)
        set_faults(board)
        cut_where = cut_place(board, label, number, final)
        after_cut = Saved(board, tmp / "usb-cut")
        os.rename(board.usb, board.usb + ".out")
        pulled = started_app(*power_on(board, tmp))
        os.rename(board.usb + ".out", board.usb)
        after_cut.restore(board)
        starts = bootcheck.chain_damage(board) is None
        out, final = power_on(board, tmp)
        slot2 = os.path.join(board.user, "images", "image2")
        mended = (started_app(out, final) == f"app-{NEW}" and board.vpd(BOOT_SLOT) == 2 and
                  open(slot2, "rb").read() == record)
        r = rows.setdefault(label, {"points": 0, "cut": 0, "pulled": {}, "starts": 0,
                                    "mended": 0, "seen": set()})
        r["points"] += 1
        r["cut"] += cut_where
        r["pulled"][pulled or "none"] = r["pulled"].get(pulled or "none", 0) + 1
        r["starts"] += starts
        r["mended"] += mended
        if not mended:
            r["seen"].add(next_start_summary(out))
    print(f"power cuts during a USB replacement of slot 2 at start-up ({len(record)}-byte "
          f"record, {pieces} slot-file writes of 64 KiB; the stick stays in)")
    print(f"  {'cut during':<24}{'points':>7}{'cut there':>10}  launcher boots, stick pulled"
          f"{'board would start':>19}{'mended at the next start':>26}")
    for label, r in rows.items():
        pulled = ", ".join(f"{app} {v}" for app, v in sorted(r["pulled"].items()))
        print(f"  {label:<24}{r['points']:>7}{r['cut']:>10}  {pulled:<28}{r['starts']:>19}"
              f"{r['mended']:>26}")
        for summary in sorted(r["seen"]):
            print(f"    not mended: the next start with the stick in {summary}")


def cut_place(board, label, number, final):
    """Whether the cut fell where it was aimed."""
    if label == "slot-file write":
        slot2 = os.path.join(board.user, "images", "image2")
        size = os.path.getsize(slot2) if os.path.exists(slot2) else -1
        return final[0].startswith("power cut") and size == (number - 1) * 65536
    return any(line.startswith("i2c-0 write 0x54") and line.endswith("-> power-cut")
               for line in devices_log(board)) and final[0] == "launcher was killed by signal 9"


def next_start_summary(out):
    said = [line for line in out.splitlines()
            if "same version" in line or "No valid image" in line or line.startswith("APP ")]
    return "; ".join(line.split(" pid=")[0] for line in said) or "showed nothing known"


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--only", choices=("erases", "flash", "usb"),
                   help="only the erase figures, the flash sweep or the USB replacement's cuts")
    p.add_argument("--every", type=int, default=127,
                   help="a real cut and a second install at every so many writes (default "
                        "127: one in each 128 KiB sector, at a piece that moves through it)")
    p.add_argument("--erase-s", type=float, default=1.0,
                   help="seconds per 128 KiB sector erase (default 1.0)")
    p.add_argument("--program-us-per-byte", type=float, default=4.0,
                   help="microseconds per byte programmed (default 4.0)")
    args = p.parse_args()
    if os.geteuid() != 0:
        print("power_cut_bench: needs root to boot the virtual switch")
        return 0
    with tempfile.TemporaryDirectory(prefix="power-cut-bench-") as tmp:
        tmp = Path(tmp)
        old, new = image_of(tmp, OLD, payloads(OLD, 1)), image_of(tmp, NEW, payloads(NEW, 2))
        for name, run in (("erases", erase_figures), ("flash", flash_sweep),
                          ("usb", usb_sweep)):
            if args.only in (None, name):
                start = time.monotonic()
                run(tmp, old, new, args)
                print(f"  ({name}: {time.monotonic() - start:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
