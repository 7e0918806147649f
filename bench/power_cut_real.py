"""Sampled cut points of a sweep made for real with the device model's cut
rules, what they leave compared with the replay, and a second install as
the repair of a board that starts.

What each respect of the comparison adds:
 - cut there: the device log's cut request is the one the replay names
   (partition, verb, offset, length): the replay numbers the requests as
   the device model counts them;
 - flash bytes: the replay's order of requests and its models of whole and
   partial erases and writes against the device model's own; the one
   respect that tests the rebuilt bytes;
 - slot files and VPD: that a flash cut leaves them as they were, a
   slot-file cut the pieces that landed, a VPD cut the writes before it;
 - boot-chain check: the same check on bytes already compared, so it adds
   only a check of the replay's bookkeeping (it rechecks only the partition
   a request touched; the real board is checked whole);
 - power-on answer: where the board starts, a real boot from the real
   cut's state against the replay's answer, which may have been carried
   over from an earlier boot (LauncherBoots): a check of that carry-over;
   where the board does not start, nothing beyond the chain check, which
   the rig's power-on runs itself."""

from power_cut_board import (FLASH_LINE, PART_NAMES, PIECE, PARTS, Saved, answer, bootcheck,
                             install, power_on, slot_path)
from power_cut_replay import KIND_NAMES, VERSIONED, installed_record
from power_cut_sweep import NOT_STARTS, digest

RULES = {KIND_NAMES["before", "erase"]: "cut-at-erase",
         KIND_NAMES["inside", "erase"]: "cut-inside-erase",
         KIND_NAMES["before", "write"]: "cut-at-write",
         KIND_NAMES["inside", "write"]: "cut-inside-write"}
RESPECTS = ["cut there", "flash bytes", "slot files and VPD", "boot-chain check",
            "power-on answer"]


def sample_flash(requests, args):
    """The flash cut points to make for real, as (kind, n): before every so
    many writes and inside as many (half-way between), before and inside
    every so many erases, and the first and last of each partition's."""
    chosen = set()
    for verb, every in (("write", args.every), ("erase", args.erase_every)):
        parts = [r[0] for r in requests if r[1] == verb]
        ends = set()
        for part in set(parts):
            ends |= {parts.index(part) + 1, len(parts) - parts[::-1].index(part)}
        top = len(parts) + 1
        chosen |= {(KIND_NAMES["before", verb], n) for n in set(range(1, top, every)) | ends}
        chosen |= {(KIND_NAMES["inside", verb], n)
                   for n in set(range(1 + every // 2, top, every)) | ends}
    return chosen


def sample(s, args):
    """The cut points made for real: the sampled flash cuts, every so many
    slot-file pieces (those the file-size limit can reach: past the device
    log's own bytes) and its last, and every VPD write."""
    chosen = {id(c) for c in s.cuts if c.digest}
    pieces = [c for c in s.cuts if c.kind == "slot" and c.n * PIECE > s.facts["log"]]
    chosen |= {id(c) for c in pieces[::args.slot_every] + pieces[-1:]}
    chosen |= {id(c) for c in s.cuts if c.kind == "vpd"}
    return [c for c in s.cuts if id(c) in chosen]


def make_cut(board, tmp, update, cut):
    """The install cut for real at `cut`; whether it was cut there."""
    if cut.kind == "slot":
        _, final, _ = install(board, tmp, update.image, update.slot,
                              args=["--cut-at-file-size", str(cut.n * PIECE)])
        return final[0].startswith("power cut as a file reached")
    fault = f"cut-at-vpd-write {cut.n}" if cut.kind == "vpd" else f"{RULES[cut.kind]} {cut.n}"
    _, final, lines = install(board, tmp, update.image, update.slot, faults=[fault])
    if final != ("launcher was killed by signal 9", 1) or not lines[-1].endswith(" -> power-cut"):
        return False
    if cut.kind == "vpd":
        return lines[-1].startswith("i2c-0 write 0x54")
    m = FLASH_LINE.match(lines[-1][:-len(" -> power-cut")])
    return bool(m) and (m.group(1), m.group(2), int(m.group(3), 16),
                        int(m.group(4), 0)) == cut.request


def expected_files(cut, before, record, slot):
    """(slot 1, slot 2, VPD) as the replay says a cut leaves them."""
    files = {n: before.slot_file(n) for n in (1, 2)}
    if cut.kind == "slot":
        files[slot] = record[:cut.n * PIECE]
    elif cut.kind == "vpd":
        files[slot] = record
    return files[1], files[2], cut.vpd or before.vpd


def cut_name(cut):
    """A cut point as the self-check names it."""
    if cut.kind == "slot":
        return f"slot file with {cut.n} pieces landed"
    if cut.kind == "vpd":
        return f"before VPD write {cut.n}"
    verb = cut.request[1]
    return f"{cut.kind} (the install's {verb} {cut.n}, {PART_NAMES[cut.where]})"


def sampled_cuts(s, board, tmp, before, after, record, args):
    """Real cuts at the sampled points: what they leave compared with the
    replay, in each respect, and which did not match; where the board
    starts, a second install as its repair."""
    check = dict.fromkeys(["points"] + RESPECTS, 0)
    repair = dict.fromkeys(("starts", "repaired", "beyond", "not starts"), 0)
    for cut in sample(s, args):
        before.restore(board)
        s.sampled[cut.kind] = s.sampled.get(cut.kind, 0) + 1
        check["points"] += 1
        got = {"cut there": make_cut(board, tmp, s.update, cut)}
        at_cut = Saved(board, tmp / "cut")
        got["flash bytes"] = digest(at_cut.flash) == (cut.digest or digest(after.flash))
        got["slot files and VPD"] = (at_cut.slot_file(1), at_cut.slot_file(2), at_cut.vpd) == \
            expected_files(cut, before, record, s.update.slot)
        got["boot-chain check"] = bootcheck.chain_damage(board) == cut.damage
        got["power-on answer"] = answer(*power_on(board, tmp)) == cut.answer
        for respect, ok in got.items():
            check[respect] += ok
        missed = [respect for respect, ok in got.items() if not ok]
        if missed:
            s.mismatches.append(f"{cut_name(cut)}: {', '.join(missed)}")
        if cut.outcome == NOT_STARTS:
            repair["not starts"] += 1
            continue
        at_cut.restore(board)
        repair["starts"] += 1
        short = repair_faults(board, tmp, s.update, after, record)
        repair["repaired"] += not short
        repair["beyond"] += not short and any(board.read_partition(p) != after.flash[p]
                                              for p in PARTS)
        if short:
            s.unrepaired.append(f"{cut_name(cut)}: {', '.join(short)}")
    s.self_check, s.repair = check, repair


def repair_faults(board, tmp, update, after, record):
    """What a second install of the same image leaves short of a whole
    board ([] when none): every flash record and the slot file installed,
    the install's result, the VPD naming the slot, the new application
    started at the next power-on. The bytes beyond a record's end are not
    compared: the install patches the record into what its last sector
    holds, so that they stay as the cut left them (half erased by a cut
    inside that sector's erase), and nothing reads them."""
    out, _, _ = install(board, tmp, update.image, update.slot)
    checks = {"flash records": all(installed_record(p, board.read_partition(p)) ==
                                   installed_record(p, after.flash[p]) for p in VERSIONED),
              "slot file": open(slot_path(board, update.slot), "rb").read() == record,
              "install result": "install driver: result 1" in out,
              "VPD": board.vpd(0, len(after.vpd)) == after.vpd}
    said = answer(*power_on(board, tmp))  # which writes the VPD's booted image
    checks[f"power-on ({said})"] = said == update.app
    return [name for name, ok in checks.items() if not ok]
