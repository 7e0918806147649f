#!/usr/bin/python3
"""Power cuts at every write of an install on the virtual switch (root, and
the host build): after which of them would the board start? Figures only;
nothing is asserted.

The image is of a real switch's size: boot loader 512 KiB (its version
header at byte 240), kernel 3 MiB, device tree 64 KiB, root filesystem
12 MiB, diagnostics 2 MiB and a 4 MiB application record, in that order. A
board carries an older image of that layout, its boot chain (boot loader,
kernel, device tree, root filesystem) checked at every power-on, and five
updates are installed over it one after the other, each over the image
before it: a whole new image (every record changed), a new application
only, a root filesystem differing in one sector, a kernel differing in one
sector, the same image again. Each is installed by the real installer (the
install driver, booted in the launcher's place) as the rescue menu installs
(skip-if-same off), its application into the slot the board does not boot.

For each update, a power cut just before every write of the install: every
1 KiB flash write, every 64 KiB piece of the slot file, every VPD write
(power_cut_sweep.py tells how they are rebuilt from the device log of one
whole install, and how the launcher's answers are had). For every cut: the
boot chain as the board checks it at power-on, which says whether the board
starts at all, and where it does, what the launcher then starts. Sampled
cuts are made for real and compared with the replay; where such a board
starts, a second install is tried as its repair. The time a NOR part would
spend on the install's flash requests, and on those during which a cut
leaves a board that does not start, comes from the datasheet figures below
(options). A picture of each update's cut points is written to --out.

Last, power cuts during the launcher's own USB replacement of slot 2 at
start-up; the closing line counts the cuts of the whole first install.

Usage: bench/power_cut_bench.py [--only flash|usb] [--updates 1,2,..] [--every N]
       [--slot-every N] [--erase-s S] [--program-us-per-byte US] [--out DIR]
"""

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from power_cut_board import REPO, install, old_board, updates  # noqa: E402
from power_cut_report import plot, print_exposure, print_update, summary  # noqa: E402
from power_cut_sweep import sweep_update  # noqa: E402
from power_cut_usb import usb_sweep  # noqa: E402


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
    p.add_argument("--updates", default="1,2,3,4,5",
                   help="the updates swept (default all five; the others are only installed)")
    p.add_argument("--every", type=int, default=127,
                   help="a real cut at every so many flash writes (default 127: one in each "
                        "128 KiB sector, at a piece that moves through it), and at each "
                        "partition's first and last")
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
            print(f"summary: every cut point of the whole install of update 1, "
                  f"{first[0].update.label}:")
            print(summary(first[0].cuts))
    return 0


if __name__ == "__main__":
    sys.exit(main())
