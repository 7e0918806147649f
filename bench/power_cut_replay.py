"""The flash after a power cut at any point of an install, rebuilt from the
flash requests of the whole install, and which version each partition then
holds.

A cut falls before a request (between two requests), or inside one:
 - before an erase or a write: every request before it landed whole;
 - inside an erase: the sector half erased. Erase pulses raise the bits of
   the whole sector together, so that a cut leaves every byte between its
   old value and 0xFF; the model takes the half-way point, every byte with
   its low four bits erased and its high four as they were (old | 0x0F):
   the sector holds neither its old bytes nor erased ones, and no 1 KiB of
   it reads as erased;
 - inside a write: the 1 KiB piece half programmed. A program clears the
   bits of a piece in order, so that a cut leaves its first part
   programmed and the rest erased; the model takes the half-way point, the
   first 512 bytes programmed, the next only in its high four bits
   (old & (new | 0x0F)), the rest still erased.
The device model's cut rules (sim/simdev.h) leave the same bytes, so that
real cuts can be compared with the rebuild byte for byte.

A whole write puts down the bytes its range holds once the install is over:
exact when no later request touches a write's range again, which the sweep
checks on the log."""

import struct
from collections import Counter

from power_cut_board import PARTS, SECTOR, bootcheck

KIND_NAMES = {("before", "erase"): "before an erase", ("inside", "erase"): "inside an erase",
              ("before", "write"): "before a 1 KiB write",
              ("inside", "write"): "inside a 1 KiB write"}
FLASH_KINDS = list(KIND_NAMES.values())
HALF_ERASED = bytes(b | 0x0F for b in range(256))
# The partitions whose version the board's outcome names, in install order:
# the boot chain, then the diagnostics (the launcher's last fallback).
VERSIONED = [name for name, _ in bootcheck.CHAIN] + ["rescue"]
UNIT = 1024


def apply(state, final, request):
    part, verb, offset, length = request
    if verb == "erase":
        state[part][offset:offset + length] = b"\xff" * length
    else:
        state[part][offset:offset + length] = final[part][offset:offset + length]


def and_bytes(a, b):
    return (int.from_bytes(a, "big") & int.from_bytes(b, "big")).to_bytes(len(a), "big")


def cut_inside(state, final, request):
    """Puts into `state` what a cut inside `request` leaves."""
    part, verb, offset, length = request
    data = state[part]
    old = bytes(data[offset:offset + length])
    if verb == "erase":
        data[offset:offset + length] = old.translate(HALF_ERASED)
        return
    new = final[part][offset:offset + length]
    half = length // 2
    data[offset:offset + half] = and_bytes(old[:half], new[:half])
    data[offset + half] = old[half] & (new[half] | 0x0F)


def cut_points(requests, state, final):
    """Every cut point of the flash requests in order: (kind, n, request,
    touched), `state` (partition -> bytearray) holding the flash a cut there
    leaves while the caller looks at it; n counts the requests of its verb
    as the device model's cut rules do; `touched` is the request whose range
    changed since the point before (None at the first)."""
    numbers = Counter()
    touched = None
    for r in requests:
        verb = r[1]
        numbers[verb] += 1
        yield KIND_NAMES["before", verb], numbers[verb], r, touched
        cut_inside(state, final, r)
        yield KIND_NAMES["inside", verb], numbers[verb], r, r
        apply(state, final, r)
        touched = r


def nor_seconds(request, args):
    _, verb, _, length = request
    if verb == "erase":
        return length // SECTOR * args.erase_s
    return length * args.program_us_per_byte / 1e6


# ------------------------------------------------------------------ versions

def installed_record(name, data):
    """The bytes a board runs from partition `name` when it holds a whole
    record: the boot loader's payload as its version header at byte 240
    gives its length, or the record as its own header does; None when there
    is none."""
    kind = dict(bootcheck.CHAIN).get(name, "diags")
    if kind == "uboot":
        if bootcheck.uboot_damage(data):
            return None
        return bytes(data[:struct.unpack_from(">I", data, bootcheck.UBOOT_HEADER_AT + 4)[0]])
    if bootcheck.record_damage(data, kind):
        return None
    return bytes(data[:16 + struct.unpack_from(">I", data, 4)[0]])


class Versions:
    """Which version each partition of VERSIONED holds, kept up to date a
    request at a time: "old" when it holds the record it held before the
    install, "new" when the one it holds after, both when the install left
    it as it was, neither when it holds neither whole (damaged). Counts the
    1 KiB units of each record that differ, so that a request costs only
    the units it touched."""

    def __init__(self, before, after, state):
        self.state = state
        self.records = {p: {"old": installed_record(p, before[p]),
                            "new": installed_record(p, after[p])} for p in VERSIONED}
        self.differs = {p: {v: bytearray(-(-len(r) // UNIT)) if r else None
                            for v, r in recs.items()} for p, recs in self.records.items()}
        self.count = {p: {v: 0 for v in ("old", "new")} for p in VERSIONED}
        for p in VERSIONED:
            self.update((p, None, 0, len(state[p])))

    def update(self, request):
        part, _, offset, length = request
        if part not in self.records:
            return
        data = self.state[part]
        for version, record in self.records[part].items():
            flags = self.differs[part][version]
            if record is None:
                continue
            for u in range(offset // UNIT, min(-(-(offset + length) // UNIT), len(flags))):
                lo, hi = u * UNIT, min((u + 1) * UNIT, len(record))
                now = data[lo:hi] != record[lo:hi]
                self.count[part][version] += now - flags[u]
                flags[u] = now

    def of(self, part):
        """{"old", "new"}, one of them, or the empty set (damaged)."""
        return {v for v, r in self.records[part].items()
                if r is not None and self.count[part][v] == 0}


def without_skip_requests(records_by_kind, sizes):
    """The flash requests an install would make if it rewrote every sector
    its records cover, as it does without the sector skip: each sector
    erased and programmed again in 1 KiB pieces, records in file order."""
    out = []
    for kind, record in records_by_kind.items():
        if kind not in bootcheck.PLACE:
            continue
        part = bootcheck.PLACE[kind]
        size = len(record) - 16 if kind == "uboot" else len(record)
        for sector in range(0, min(-(-size // SECTOR) * SECTOR, sizes[part]), SECTOR):
            out.append((part, "erase", sector, SECTOR))
            out += [(part, "write", at, UNIT) for at in range(sector, sector + SECTOR, UNIT)]
    return out


def exposed_seconds(requests, stops, args):
    """The NOR seconds of the requests during which a cut leaves a board
    that does NOT start: `stops` says so of each cut point in order (before
    and inside each request) and of the flash after the last; a request is
    exposed when a cut before it, inside it or just after it stops the
    board."""
    return sum(nor_seconds(r, args) for i, r in enumerate(requests) if any(stops[2 * i:2 * i + 3]))


def content_not_starts(requests, before, after, args):
    """(cut points, those after which the board does NOT start, the NOR
    seconds during which a cut leaves it so) of `requests`, judged on the
    bytes alone: a boot-chain partition that holds neither its old record
    nor its new one whole stops the board."""
    state = {p: bytearray(before[p]) for p in PARTS}
    versions = Versions(before, after, state)
    chain = [name for name, _ in bootcheck.CHAIN]
    stops = []
    for _, _, _, touched in cut_points(requests, state, after):
        if touched:
            versions.update(touched)
        stops.append(any(not versions.of(p) for p in chain))
    points = len(stops)
    if requests:
        versions.update(requests[-1])
    stops.append(any(not versions.of(p) for p in chain))
    return points, sum(stops[:points]), exposed_seconds(requests, stops, args)
