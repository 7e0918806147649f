"""Power cuts during the launcher's USB replacement of slot 2 at start-up:
before each 64 KiB write of the slot file but the first (a file-size limit
of 0 would stop the device log's first line, not the slot file) and before
each VPD write, then the next start with the stick pulled and with it left
in. The replacement touches no flash: the board's partitions hold the same
records before and after it, and a start's versions are told by the
application it starts."""

import os
from collections import Counter
from types import SimpleNamespace

from power_cut_board import (OLD, PIECE, Saved, answer, devices_log, old_board, power_on,
                             records, set_faults, slot_path, vswitch)
from power_cut_replay import VERSIONED
from power_cut_report import HEADS, pct
from power_cut_sweep import NO_APP, OUTCOMES, judge

REPLACE2 = "QLX5270_replace2_OS.img"


def usb_sweep(tmp, old, update):
    record = records(update.image)["application"]
    versions = SimpleNamespace(old_app=f"app-{OLD}", app=update.app)
    unchanged = {p: {"old", "new"} for p in VERSIONED}
    board = old_board(tmp, "usb", old, **{hex(vswitch.VPD_USB_BOOT): 0xD5})
    vswitch.make_stick(board.usb, [(REPLACE2, record)])
    stick = Saved(board, tmp / "usb-before")
    with open(board.usb, "rb") as f:
        stick_image = f.read()
    pieces = -(-len(record) // PIECE)
    # A limit of 0 would stop the device log's first line, not the slot
    # file: the first piece stays out.
    points = [(f"slot-file writes 2 to {pieces}", k + 1,
               ["--cut-at-file-size", str(k * PIECE)], []) for k in range(1, pieces)]
    points += [("VPD boot-slot write", 1, [], ["cut-at-vpd-write 1"]),
               ("VPD booted-image write", 2, [], ["cut-at-vpd-write 2"])]
    rows = {}
    for where, number, args, faults in points:
        stick.restore(board)
        with open(board.usb, "wb") as f:
            f.write(stick_image)
        set_faults(board, *faults)
        _, final = power_on(board, tmp, args=args)
        set_faults(board)
        r = rows.setdefault(where, {"points": 0, "cut": 0, "pulled": Counter(), "mended": 0,
                                    "seen": set()})
        r["points"] += 1
        r["cut"] += cut_place(board, where, number, final)
        after_cut = Saved(board, tmp / "usb-cut")
        os.rename(board.usb, board.usb + ".out")
        pulled = answer(*power_on(board, tmp))
        os.rename(board.usb + ".out", board.usb)
        after_cut.restore(board)
        r["pulled"][judge(unchanged, pulled, versions)[0]] += 1
        out, final = power_on(board, tmp)
        mended = (answer(out, final) == update.app and board.vpd(vswitch.VPD_BOOT_SLOT) == 2 and
                  open(slot_path(board, 2), "rb").read() == record)
        r["mended"] += mended
        if not mended:
            r["seen"].add(next_start_summary(out))
    print_usb(rows, record, pieces)


def print_usb(rows, record, pieces):
    print(f"power cuts during a USB replacement of slot 2 at start-up ({len(record)}-byte "
          f"record, {pieces} slot-file writes of 64 KiB; the stick stays in)")
    print("  the next start with the stick pulled: the board's outcome (\"all old\": the "
          "application it ran before; percentages of the row's cut points); then with it in")
    shown = [o for o in OUTCOMES if o != NO_APP or any(r["pulled"][o] for r in rows.values())]
    print(f"  {'':<24}{'':>11}{'':>10}" + "".join(f"{HEADS[o][0]:>17}" for o in shown) +
          f"  {'mended at the next':>20}")
    print(f"  {'cut before':<24}{'cut points':>11}{'cut there':>10}" +
          "".join(f"{HEADS[o][1]:>17}" for o in shown) + f"  {'start, stick in':>20}")
    for where, r in rows.items():
        print(f"  {where:<24}{r['points']:>11}{r['cut']:>10}" +
              "".join(f"{pct(r['pulled'][o], r['points']):>17}" for o in shown) +
              f"  {pct(r['mended'], r['points']):>20}")
        for said in sorted(r["seen"]):
            print(f"    not mended: the next start with the stick in {said}")


def cut_place(board, where, number, final):
    """Whether the cut fell where it was aimed."""
    if where.startswith("slot-file"):
        slot2 = slot_path(board, 2)
        size = os.path.getsize(slot2) if os.path.exists(slot2) else -1
        return final[0].startswith("power cut") and size == (number - 1) * PIECE
    return any(line.startswith("i2c-0 write 0x54") and line.endswith("-> power-cut")
               for line in devices_log(board)) and final[0] == "launcher was killed by signal 9"


def next_start_summary(out):
    said = [line for line in out.splitlines()
            if "same version" in line or "No valid image" in line or line.startswith("APP ")]
    return "; ".join(line.split(" pid=")[0] for line in said) or "showed nothing known"
