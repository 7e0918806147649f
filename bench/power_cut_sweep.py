"""Power cuts at every write of one install: each flash write, each piece
of the slot file and each VPD write, rebuilt by replaying the device log
of the one whole install, the sampled ones also made for real.

The flash after a cut at write N is the flash as it was before the install
with the log's requests before the Nth write replayed over it: an erase
fills its sector with 0xFF, a write puts down the bytes its range holds once
the install is over. That is exact when no later request touches a write's
range again, which is checked on the log. A cut while the slot file is
written leaves the flash installed (the application record comes last), the
file holding the pieces that landed, and the VPD as it was; a cut at a VPD
write leaves the writes before it. The sampled cuts check all of that
against the real thing."""

import hashlib
import os
from dataclasses import dataclass, field

from power_cut_board import (FLASH_LINE, PART_NAMES, PARTS, PIECE, SECTOR, Saved, answer,
                             bootcheck, devices_log, flash_requests, install, power_on, records,
                             slot_path, vpd_writes)

NOT_STARTS = "does NOT start"


@dataclass
class Cut:
    where: str        # what the install was writing: a partition, the slot file, the VPD
    kind: str         # "flash", "slot" or "vpd"
    n: int            # flash: the write's number; slot: the pieces landed; vpd: the write's number
    damage: tuple     # (partition, why) of the boot chain's first break, or None
    answer: str       # NOT_STARTS, or what the launcher then did
    digest: str = None  # of the replayed flash, at the sampled flash cuts
    vpd: bytes = None   # the replayed VPD, at VPD cuts


@dataclass
class Sweep:
    update: object
    cuts: list = field(default_factory=list)
    facts: dict = field(default_factory=dict)
    checks: dict = field(default_factory=dict)
    reasons: dict = field(default_factory=dict)
    nor_s: float = 0.0
    exposed_s: float = 0.0
    flash_boots: int = 0
    file_boots: int = 0
    reads: list = field(default_factory=list)
    self_check: dict = field(default_factory=dict)
    repair: dict = field(default_factory=dict)


# ------------------------------------------------------------------ replay

def later_untouched(requests, sizes):
    """Whether no request touches the range of a write after it: then the
    bytes a write put down are the bytes its range holds at the end."""
    seen = {p: bytearray(-(-sizes[p] // 1024)) for p in sizes}
    for part, verb, offset, length in reversed(requests):
        units = seen[part]
        lo, hi = offset // 1024, -(-(offset + length) // 1024)
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


def digest(flash):
    return hashlib.sha256(b"".join(hashlib.sha256(flash[p]).digest() for p in PARTS)).hexdigest()


def nor_seconds(request, args):
    _, verb, _, length = request
    if verb == "erase":
        return length // SECTOR * args.erase_s
    return length * args.program_us_per_byte / 1e6


def first_damage(chain):
    return next(((name, why) for name, why in chain.items() if why), None)


def boot_state(board, tmp, base, flash=None, vpd=None, slot=None, data=None):
    """The launcher's answer at power-on from `base` with the flash, VPD and
    one slot file's bytes given, the boot chain checked."""
    base.restore(board, flash, vpd)
    if slot:
        with open(slot_path(board, slot), "wb") as f:
            f.write(data)
    return answer(*power_on(board, tmp))


class LauncherBoots:
    """The launcher's answer from a flash state whose boot chain is whole,
    by real boots only when a replayed request touched what the last one
    read: the launcher is a deterministic program whose boot reads the flash
    only through the device model, which logs every read, and a flash cut
    leaves the slot files and the VPD as they were."""

    def __init__(self, board, tmp, before):
        self.board, self.tmp, self.before = board, tmp, before
        self.reads, self.answer, self.real, self.read_at_last = None, None, 0, []

    def touched(self, request):
        if self.reads is not None and overlaps(request, self.reads):
            self.reads = None

    def __call__(self, state):
        if self.reads is None:
            self.answer = boot_state(self.board, self.tmp, self.before,
                                        {p: bytes(d) for p, d in state.items()})
            self.real += 1
            lines = devices_log(self.board)
            reads = [(p, o, n) for p, _, o, n in flash_requests(lines, ("read",))]
            # A boot that changes the flash leaves nothing to carry over.
            self.reads = None if flash_requests(lines) else reads
            self.read_at_last = reads
        return self.answer


# ------------------------------------------------------------------ sweep

def sweep_update(board, tmp, update, args):
    """The whole install of `update` over what the board carries, then every
    cut point rebuilt and judged; the board is left carrying the update."""
    s = Sweep(update)
    before = Saved(board, tmp / f"before-{update.number}")
    out, final, lines = install(board, tmp, update.image, update.slot)
    after = Saved(board, tmp / f"after-{update.number}")
    requests = [r for r in flash_requests(lines) if r[0] in PARTS]
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
        sampled_cuts(s, board, tmp, before, after, record, args)
        after.restore(board)
    return s


def log_checks(board, lines, requests, vpd, before, after, slot_whole):
    """What the replay rests on, checked on the device log of the install."""
    state = {p: bytearray(before.flash[p]) for p in PARTS}
    for r in requests:
        apply(state, after.flash, r)
    vpd_bytes = bytearray(before.vpd)
    for _, offset, value in vpd:
        vpd_bytes[offset] = value
    last_flash = max((i for i, line in enumerate(lines) if FLASH_LINE.match(line)), default=-1)
    return {
        "replay exact (no write's range touched again later)":
            later_untouched(requests, board.geometry()[1]),
        "the whole log replayed rebuilds the installed flash":
            all(state[p] == after.flash[p] for p in PARTS),
        "and the installed VPD": bytes(vpd_bytes) == after.vpd,
        "the slot file holds the whole record": slot_whole,
        "every flash write in the install's partitions":
            all(r[0] in PARTS for r in flash_requests(lines, ("write",))),
        "VPD written only after the last flash write": all(i > last_flash for i, _, _ in vpd)}


def sample_flash(requests, args):
    """The numbers of the flash writes to cut for real: every so many, and
    each partition's first and last."""
    parts = [r[0] for r in requests if r[1] == "write"]
    chosen = set(range(1, len(parts) + 1, args.every))
    for part in set(parts):
        chosen |= {parts.index(part) + 1, len(parts) - parts[::-1].index(part)}
    return chosen


def flash_cuts(s, board, tmp, before, after, requests, sampled, args):
    """A cut before each flash write: the boot chain checked on the replayed
    flash and, where it is whole, the launcher's answer; the NOR time of
    every request, and of those during which a cut would leave a board that
    does not start (the chain broken before or after it)."""
    state = {p: bytearray(before.flash[p]) for p in PARTS}
    chain = {name: bootcheck.partition_damage(name, state[name]) for name, _ in bootcheck.CHAIN}
    boots = LauncherBoots(board, tmp, before)
    damage = first_damage(chain)
    n = 0
    for r in requests:
        if r[1] == "write":
            n += 1
            s.cuts.append(Cut(r[0], "flash", n, damage, NOT_STARTS if damage else boots(state),
                              digest(state) if n in sampled else None))
            if damage:
                key = f"{PART_NAMES[damage[0]]}: {damage[1].split(' at 0x')[0]}"
                counts = s.reasons.setdefault(r[0], {})
                counts[key] = counts.get(key, 0) + 1
        apply(state, after.flash, r)
        boots.touched(r)
        if r[0] in chain:
            chain[r[0]] = bootcheck.partition_damage(r[0], state[r[0]])
        then = first_damage(chain)
        seconds = nor_seconds(r, args)
        s.nor_s += seconds
        s.exposed_s += seconds if damage or then else 0.0
        damage = then
    return boots


def file_cuts(s, board, tmp, before, after, record, vpd):
    """A cut before each piece of the slot file lands, and before each VPD
    write: the flash installed, every one a real boot."""
    slot = s.update.slot
    damage = first_damage({name: bootcheck.partition_damage(name, after.flash[name])
                           for name, _ in bootcheck.CHAIN})
    for k in range(s.facts["pieces"]):
        said = NOT_STARTS if damage else boot_state(board, tmp, before, after.flash, None, slot,
                                                    record[:k * PIECE])
        s.cuts.append(Cut(f"slot file {slot}", "slot", k, damage, said))
    vpd_bytes = bytearray(before.vpd)
    for j, (_, offset, value) in enumerate(vpd, 1):
        said = NOT_STARTS if damage else boot_state(board, tmp, before, after.flash,
                                                    bytes(vpd_bytes), slot, record)
        s.cuts.append(Cut("VPD", "vpd", j, damage, said, vpd=bytes(vpd_bytes)))
        vpd_bytes[offset] = value
    s.file_boots = 0 if damage else s.facts["pieces"] + len(vpd)


# ------------------------------------------------------------------ real cuts

def sample(s, args):
    """The cut points made for real: the sampled flash writes, every so many
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
    fault = f"cut-at-write {cut.n}" if cut.kind == "flash" else f"cut-at-vpd-write {cut.n}"
    _, final, lines = install(board, tmp, update.image, update.slot, faults=[fault])
    return final == ("launcher was killed by signal 9", 1) and lines[-1].endswith("-> power-cut")


def expected_files(cut, before, record, slot):
    """(slot 1, slot 2, VPD) as the replay says a cut leaves them."""
    files = {n: before.slot_file(n) for n in (1, 2)}
    if cut.kind == "slot":
        files[slot] = record[:cut.n * PIECE]
    elif cut.kind == "vpd":
        files[slot] = record
    return files[1], files[2], cut.vpd or before.vpd


def sampled_cuts(s, board, tmp, before, after, record, args):
    """Real cuts at the sampled points: what they leave compared with the
    replay; where the board starts, a second install as its repair."""
    check = dict.fromkeys(("points", "cut there", "flash bytes", "slot files and VPD",
                           "boot-chain check", "power-on answer"), 0)
    repair = dict.fromkeys(("starts", "repaired", "not starts"), 0)
    for cut in sample(s, args):
        before.restore(board)
        check["points"] += 1
        check["cut there"] += make_cut(board, tmp, s.update, cut)
        at_cut = Saved(board, tmp / "cut")
        check["flash bytes"] += digest(at_cut.flash) == (cut.digest or digest(after.flash))
        check["slot files and VPD"] += (at_cut.slot_file(1), at_cut.slot_file(2), at_cut.vpd) == \
            expected_files(cut, before, record, s.update.slot)
        check["boot-chain check"] += bootcheck.chain_damage(board) == cut.damage
        check["power-on answer"] += answer(*power_on(board, tmp)) == cut.answer
        if cut.answer == NOT_STARTS:
            repair["not starts"] += 1
            continue
        at_cut.restore(board)
        repair["starts"] += 1
        repair["repaired"] += repaired(board, tmp, s.update, after, record)
    s.self_check, s.repair = check, repair


def repaired(board, tmp, update, after, record):
    """Whether a second install of the same image makes the board whole: the
    flash and slot file installed, the VPD naming the slot, the new
    application started at the next power-on."""
    out, _, _ = install(board, tmp, update.image, update.slot)
    whole = all(board.read_partition(p) == after.flash[p] for p in PARTS)
    slot = open(slot_path(board, update.slot), "rb").read() == record
    return (whole and slot and "install driver: result 1" in out and
            board.vpd(0, len(after.vpd)) == after.vpd and
            answer(*power_on(board, tmp)) == update.app)
