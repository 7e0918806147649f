"""Power cuts at every point of one install: before and inside each flash
erase and write, before each piece of the slot file lands, before each VPD
write; rebuilt by replaying the device log of the one whole install
(power_cut_replay.py tells how), the sampled ones also made for real
(power_cut_real.py).

A cut while the slot file is written leaves the flash installed (the
application record comes last), the file holding the pieces that landed,
and the VPD as it was; a cut at a VPD write leaves the writes before it.

Each cut point gets two verdicts. The rig's: the boot chain as the board
checks it at power-on (sim/vsw/bootcheck.py) and, where it is whole, what
the launcher then started. The outcome: judged on the bytes, which version
each partition holds (the old record whole, the new one, or neither), and
the launcher's answer. The board does NOT start when a boot-chain partition
holds neither; it starts with all new versions, all old ones, or mixed
versions (some partitions or the application of one install, some of the
other, or the diagnostics broken). The two differ where the chain check is
blind: a boot loader whose bytes are neither old nor new, with no erased
1 KiB piece, passes it."""

import hashlib
from dataclasses import dataclass, field

from power_cut_board import (FLASH_LINE, PART_NAMES, PARTS, PIECE, answer, bootcheck,
                             devices_log, flash_requests, power_on, slot_path)
from power_cut_replay import (VERSIONED, Versions, apply, cut_points, exposed_seconds,
                              nor_seconds)

NOT_STARTS = "does NOT start"
ALL_NEW = "starts, all new"
ALL_OLD = "starts, all old"
MIXED = "starts, mixed versions"
NO_APP = "starts, no application"
OUTCOMES = [NOT_STARTS, ALL_NEW, ALL_OLD, MIXED, NO_APP]
CHAIN = [name for name, _ in bootcheck.CHAIN]


@dataclass
class Cut:
    where: str        # what the install was writing: a partition, the slot file, the VPD
    kind: str         # a flash cut point's kind (power_cut_replay.FLASH_KINDS), "slot" or "vpd"
    n: int            # flash: the request's number among its verb's; slot: the pieces
                      # landed; vpd: the write's number
    damage: tuple     # (partition, why) of the chain check's first break, or None
    answer: str       # the rig's power-on: NOT_STARTS (the chain check), or the launcher's answer
    outcome: str      # one of OUTCOMES
    mix: str = None   # at MIXED: which version each part holds
    request: tuple = None  # the flash request
    digest: str = None     # of the replayed flash, at the sampled flash cuts
    vpd: bytes = None      # the replayed VPD, at VPD cuts


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
    sampled: dict = field(default_factory=dict)
    mismatches: list = field(default_factory=list)
    unrepaired: list = field(default_factory=list)
    repair: dict = field(default_factory=dict)
    without_skip: dict = field(default_factory=dict)


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


def overlaps(request, reads):
    part, _, offset, length = request
    return any(p == part and offset < o + n and o < offset + length for p, o, n in reads)


def digest(flash):
    return hashlib.sha256(b"".join(hashlib.sha256(flash[p]).digest() for p in PARTS)).hexdigest()


def first_damage(chain):
    return next(((name, why) for name, why in chain.items() if why), None)


def judge(held, said, update):
    """(outcome, mix) of a cut point: `held` maps each partition of
    VERSIONED to the versions it holds, `said` is the rig's answer."""
    if said == NOT_STARTS or any(not held[p] for p in CHAIN):
        return NOT_STARTS, None
    apps = {v for v, app in (("old", update.old_app), ("new", update.app)) if said == app}
    if not apps and not said.startswith("app-"):
        return NO_APP, None
    parts = dict(held, application=apps)
    common = set.intersection(*parts.values())
    if common:
        return (ALL_NEW if "new" in common else ALL_OLD), None
    groups = {"new": [], "old": [], "damaged": []}
    for part, versions in parts.items():
        if versions != {"old", "new"}:  # what the install left as it was goes unnamed
            word = next(iter(versions)) if versions else (
                "damaged" if part != "application" else said)
            groups.setdefault(word, []).append(PART_NAMES.get(part, part))
    return MIXED, "; ".join(f"{word}: {', '.join(names)}" for word, names in groups.items()
                            if names)


def boot_state(board, tmp, base, flash=None, vpd=None, slot=None, data=None):
    """The rig's answer at power-on from `base` with the flash, VPD and one
    slot file's bytes given, the boot chain checked."""
    base.restore(board, flash, vpd)
    if slot:
        with open(slot_path(board, slot), "wb") as f:
            f.write(data)
    return answer(*power_on(board, tmp))


class LauncherBoots:
    """The launcher's answer from a flash state whose boot chain the board's
    check passes, by real boots only when a replayed request touched what
    the last one read: the launcher is a deterministic program whose boot
    reads the flash only through the device model, which logs every read,
    and a flash cut leaves the slot files and the VPD as they were."""

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
        "every flash erase and write in the install's partitions":
            all(r[0] in PARTS for r in flash_requests(lines)),
        "VPD written only after the last flash write": all(i > last_flash for i, _, _ in vpd)}


def note_reason(s, where, damage, held):
    """Counts why a cut point leaves a board that does not start."""
    if damage:
        key = f"{PART_NAMES[damage[0]]}: {damage[1].split(' at 0x')[0]}"
    else:
        broken = next(p for p in CHAIN if not held[p])
        key = (f"{PART_NAMES[broken]}: neither its old nor its new bytes, which the chain "
               f"check passes")
    counts = s.reasons.setdefault(where, {})
    counts[key] = counts.get(key, 0) + 1


def flash_cuts(s, board, tmp, before, after, requests, sampled, args):
    """Every flash cut point: the chain check and the versions on the
    replayed flash and, where the check passes, the launcher's answer; the
    NOR time of every request, and of those during which a cut leaves a
    board that does not start."""
    state = {p: bytearray(before.flash[p]) for p in PARTS}
    versions = Versions(before.flash, after.flash, state)
    chain = {name: bootcheck.partition_damage(name, state[name]) for name in CHAIN}
    boots = LauncherBoots(board, tmp, before)

    def refresh(request):
        versions.update(request)
        boots.touched(request)
        if request[0] in chain:
            chain[request[0]] = bootcheck.partition_damage(request[0], state[request[0]])

    stops = []
    for kind, n, r, touched in cut_points(requests, state, after.flash):
        if touched:
            refresh(touched)
        damage = first_damage(chain)
        said = NOT_STARTS if damage else boots(state)
        held = {p: versions.of(p) for p in VERSIONED}
        outcome, mix = judge(held, said, s.update)
        s.cuts.append(Cut(r[0], kind, n, damage, said, outcome, mix, r,
                          digest(state) if (kind, n) in sampled else None))
        stops.append(outcome == NOT_STARTS)
        if outcome == NOT_STARTS:
            note_reason(s, r[0], damage, held)
    if requests:
        refresh(requests[-1])
    stops.append(first_damage(chain) is not None or any(not versions.of(p) for p in CHAIN))
    s.nor_s = sum(nor_seconds(r, args) for r in requests)
    s.exposed_s = exposed_seconds(requests, stops, args)
    return boots


def file_cuts(s, board, tmp, before, after, record, vpd):
    """A cut before each piece of the slot file lands, and before each VPD
    write: the flash installed, every one a real boot."""
    slot = s.update.slot
    damage = first_damage({name: bootcheck.partition_damage(name, after.flash[name])
                           for name in CHAIN})
    versions = Versions(before.flash, after.flash, {p: after.flash[p] for p in PARTS})
    held = {p: versions.of(p) for p in VERSIONED}

    def cut(where, kind, n, said, vpd_bytes=None):
        outcome, mix = judge(held, said, s.update)
        s.cuts.append(Cut(where, kind, n, damage, said, outcome, mix, vpd=vpd_bytes))

    for k in range(s.facts["pieces"]):
        cut(f"slot file {slot}", "slot", k, NOT_STARTS if damage else boot_state(
            board, tmp, before, after.flash, None, slot, record[:k * PIECE]))
    vpd_bytes = bytearray(before.vpd)
    for j, (_, offset, value) in enumerate(vpd, 1):
        cut("VPD", "vpd", j, NOT_STARTS if damage else boot_state(
            board, tmp, before, after.flash, bytes(vpd_bytes), slot, record), bytes(vpd_bytes))
        vpd_bytes[offset] = value
    s.file_boots = 0 if damage else s.facts["pieces"] + len(vpd)
