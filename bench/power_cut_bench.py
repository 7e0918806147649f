#!/usr/bin/python3
"""Power cuts at every point of an install on the virtual switch (root,
and the host build): after which of them would the board start, and with
which versions? Figures only; nothing is asserted.

The image is of a real switch's size: boot loader 512 KiB (its version
header at byte 240), kernel 3 MiB, device tree 64 KiB, root filesystem
12 MiB, diagnostics 2 MiB and a 4 MiB application record, in that order. A
board carries an older image of that layout, its boot chain (boot loader,
kernel, device tree, root filesystem) checked at every power-on, and seven
updates are installed over it one after the other, each over the image
before it: a whole new image (every record changed), a new application
only, a root filesystem and then a kernel changed in one byte, first in
the sector that holds the record's header (the best case: one sector
rewritten), then elsewhere (the common case: that sector and the header's),
and the same image again. Each is installed by the real installer (the
install driver, booted in the launcher's place) as the rescue menu installs
(skip-if-same off), its application into the slot the board does not boot.

For each update, a power cut at every point of the install: before and
inside every flash erase and every 1 KiB flash write, before every 64 KiB
piece of the slot file lands, before every VPD write (power_cut_replay.py
and power_cut_sweep.py tell how they are rebuilt from the device log of one
whole install, what a cut inside a request leaves, and how each is judged).
Sampled cuts are made for real and compared with the replay
(power_cut_real.py); where such a board starts, a second install is tried
as its repair. The time a NOR part would spend on the install's flash
requests, and on those during which a cut leaves a board that does not
start, comes from the datasheet figures below (options). A picture of each
update's cut points is written to --out.

Last, power cuts during the launcher's own USB replacement of slot 2 at
start-up; the closing line counts the cut points of the whole first install.

Usage: bench/power_cut_bench.py [--only flash|usb] [--updates 1,2,..] [--every N]
       [--erase-every N] [--slot-every N] [--erase-s S] [--program-us-per-byte US]
       [--out DIR]
"""

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from power_cut_board import (PARTS, PIECE, SECTOR, REPO, Saved, flash_requests,  # noqa: E402
                             install, old_board, records, updates, vpd_writes)
from power_cut_picture import plot  # noqa: E402
from power_cut_real import sample_flash, sampled_cuts  # noqa: E402
from power_cut_replay import content_not_starts, without_skip_requests  # noqa: E402
from power_cut_report import print_exposure, print_update, summary  # noqa: E402
from power_cut_sweep import NOT_STARTS, Sweep, file_cuts, flash_cuts, log_checks  # noqa: E402
from power_cut_usb import usb_sweep  # noqa: E402


def sweep_update(board, tmp, update, args):
    """The whole install of `update` over what the board carries, then every
    cut point rebuilt and judged; the board is left carrying the update."""
    s = Sweep(update)
    before = Saved(board, tmp / f"before-{update.number}")
    out, final, lines = install(board, tmp, update.image, update.slot)
    after = Saved(board, tmp / f"after-{update.number}")
    requests = [r for r in flash_requests(lines) if r[0] in PARTS and r[3] > 0]
    record = records(update.image)["application"]
    vpd = vpd_writes(lines)
    writes = [r for r in requests if r[1] == "write"]
    s.facts = {"bytes": len(update.image), "writes": len(writes),
               "programmed": sum(r[3] for r in writes),
               "erases": sum(r[3] // SECTOR for r in requests if r[1] == "erase"),
               "pieces": -(-len(record) // PIECE), "vpd": len(vpd),
               "log": os.path.getsize(os.path.join(board.dev, "devices.log")),
               "result": "result 1" if "install driver: result 1" in out else str(final)}
    s.checks = log_checks(board, lines, requests, vpd, before, after, after.slot_file(
        update.slot) == record)
    if all(s.checks.values()):
        boots = flash_cuts(s, board, tmp, before, after, requests,
                           sample_flash(requests, args), args)
        s.flash_boots, s.reads = boots.real, boots.read_at_last
        file_cuts(s, board, tmp, before, after, record, vpd)
        s.without_skip = without_skip(s, before, after, args)
        sampled_cuts(s, board, tmp, before, after, record, args)
        after.restore(board)
    return s


def without_skip(s, before, after, args):
    """What the install would expose if it rewrote every sector its records
    cover, as it would without the sector skip: its flash writes, its cut
    points, those after which the board does NOT start and the exposed NOR
    seconds; judged on the bytes, not run. The slot-file and VPD cuts are
    the sweep's own."""
    requests = without_skip_requests(records(s.update.image),
                                     {p: len(before.flash[p]) for p in PARTS})
    points, bad, exposed = content_not_starts(requests, before.flash, after.flash, args)
    files = [c for c in s.cuts if c.kind in ("slot", "vpd")]
    return {"writes": sum(r[1] == "write" for r in requests), "points": points + len(files),
            "not starts": bad + sum(c.outcome == NOT_STARTS for c in files),
            "exposed": exposed}


def flash_sweeps(tmp, old, steps, args):
    """Every update in turn over the board the one before left; the
    updates not asked for are installed without a sweep."""
    board = old_board(tmp, "sweep", old)
    sweeps = []
    for update in steps:
        start = time.monotonic()
        if update.number not in args.updates:
            install(board, tmp, update.image, update.slot)
            continue
        s = sweep_update(board, tmp, update, args)
        print_update(s, args)
        if s.cuts:
            path = args.out / f"update-{update.number}-{update.name}.png"
            plot(s, path)
            print(f"  picture: {path}")
        print(f"  ({time.monotonic() - start:.0f} s)")
        sweeps.append(s)
    print_exposure([s for s in sweeps if s.cuts], args)
    return sweeps


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--only", choices=("flash", "usb"),
                   help="only the updates' sweeps, or only the USB replacement's cuts")
    p.add_argument("--updates", default="1,2,3,4,5,6,7",
                   help="the updates swept (default all seven; the others are only installed)")
    p.add_argument("--every", type=int, default=254,
                   help="real cuts before every so many flash writes (default 254: one in every "
                        "other 128 KiB sector, at a piece that moves through it) and inside as "
                        "many, half-way between; before and inside each partition's first and "
                        "last")
    p.add_argument("--erase-every", type=int, default=16,
                   help="real cuts before and inside every so many flash erases (default 16), "
                        "and each partition's first and last")
    p.add_argument("--slot-every", type=int, default=16,
                   help="a real cut at every so many slot-file pieces (default 16)")
    p.add_argument("--erase-s", type=float, default=1.0,
                   help="seconds per 128 KiB sector erase (default 1.0)")
    p.add_argument("--program-us-per-byte", type=float, default=4.0,
                   help="microseconds per byte programmed (default 4.0)")
    p.add_argument("--out", type=Path, default=REPO / "build" / "power-cut",
                   help="where the pictures go (default build/power-cut)")
    args = p.parse_args()
    sys.stdout.reconfigure(line_buffering=True)  # a long run shows its figures as they come
    args.updates = {int(n) for n in args.updates.split(",")}
    if os.geteuid() != 0:
        print("power_cut_bench: needs root to boot the virtual switch")
        return 0
    args.out.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="power-cut-bench-") as tmp:
        tmp = Path(tmp)
        old, steps = updates(tmp)
        sweeps = []
        if args.only in (None, "flash"):
            sweeps = flash_sweeps(tmp, old, steps, args)
        if args.only in (None, "usb"):
            start = time.monotonic()
            usb_sweep(tmp, old, steps[0])
            print(f"  ({time.monotonic() - start:.0f} s)")
        first = [s for s in sweeps if s.update.number == 1 and s.cuts]
        if first:
            print(summary(first[0]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
