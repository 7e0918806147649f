"""The power-cut benchmark's figures: one table per update, the exposure of
each kind of update, and the closing summary line."""

import textwrap
from collections import Counter

from power_cut_board import PART_NAMES, SECTOR
from power_cut_replay import FLASH_KINDS
from power_cut_sweep import MIXED, NO_APP, NOT_STARTS, OUTCOMES

MEANING = ("a cut point is where a power cut falls: before or inside a flash erase or 1 KiB "
           "write, before a 64 KiB slot-file piece lands, before a VPD write. The board \"does "
           "NOT start\" when one of boot loader, kernel, device tree and root filesystem holds "
           "neither its old record nor its new one whole: it stops before the launcher, which "
           "lives in the root filesystem, can run. Otherwise it starts with \"all new\" "
           "versions (those partitions, the diagnostics and the application the launcher "
           "starts all from the update), \"all old\" (all from before it), or \"mixed "
           "versions\"; a partition the update leaves as it was counts as both. Percentages "
           "are of the row's cut points")
HEADS = {NOT_STARTS: ("", "does NOT start"), "starts, all new": ("starts,", "all new"),
         "starts, all old": ("starts,", "all old"), MIXED: ("starts, mixed", "versions"),
         NO_APP: ("starts,", "no application")}


def points_word(n):
    return f"{n} cut point" if n == 1 else f"{n} cut points"


def pct(v, of):
    return f"{v} ({100.0 * v / of:5.1f} %)" if of else "-"


def say(text):
    """One figure, wrapped to the width of the tables."""
    print(textwrap.fill(text, 102, initial_indent="  ", subsequent_indent="    "))


def label(where):
    return PART_NAMES.get(where, where)


def columns(cuts):
    """The outcomes a table shows: the four always, "no application" only
    where it occurs."""
    return [o for o in OUTCOMES if o != NO_APP or any(c.outcome == NO_APP for c in cuts)]


def row(name, cuts, shown):
    said = Counter(c.outcome for c in cuts)
    return (f"  {name:<24}{len(cuts):>10}" +
            "".join(f"{pct(said[o], len(cuts)):>17}" for o in shown))


def print_update(s, args):
    u, f = s.update, s.facts
    print(f"power cuts, update {u.number}: {u.label} ({f['bytes']} bytes; the application "
          f"into slot {u.slot})")
    say(f"the install: {f['erases']} sector erases, {f['writes']} flash writes of 1 KiB "
        f"({f['programmed']} bytes), the slot file in {f['pieces']} pieces of 64 KiB, "
        f"{f['vpd']} VPD write(s) ({f['result']})")
    say("; ".join(f"{k}: {'yes' if v else 'NO'}" for k, v in s.checks.items()))
    if s.cuts:
        print_table(s)
        print_notes(s, args)


def print_table(s):
    say(MEANING)
    shown = columns(s.cuts)
    for line in (0, 1):
        first = ("", "") if line == 0 else ("cut while writing", "cut points")
        print(f"  {first[0]:<24}{first[1]:>10}" + "".join(f"{HEADS[o][line]:>17}"
                                                          for o in shown))
    groups = {}
    for c in s.cuts:
        groups.setdefault(c.where, []).append(c)
    flash = [c for c in s.cuts if c.kind in FLASH_KINDS]
    for where, cuts in groups.items():
        if cuts[0].kind in FLASH_KINDS:
            print(row(label(where), cuts, shown))
    print(row("flash, all", flash, shown))
    for where, cuts in groups.items():
        if cuts[0].kind not in FLASH_KINDS:
            print(row(label(where), cuts, shown))
    print(row("the whole install", s.cuts, shown))
    if flash:
        print("  the flash's cut points by where the cut falls:")
        for kind in FLASH_KINDS:
            print(row("  " + kind, [c for c in flash if c.kind == kind], shown))


def print_starts(s):
    """Which mixes of versions the board starts with, and what the
    launcher started."""
    mixes = {}
    for c in s.cuts:
        if c.outcome == MIXED:
            mixes.setdefault(c.mix, Counter())[label(c.where)] += 1
    for mix, where in mixes.items():
        say(f"mixed versions \"{mix}\" at {points_word(sum(where.values()))} (" +
            ", ".join(f"{points_word(n)} while writing the {w}" for w, n in where.items()) + ")")
    started = Counter(c.answer for c in s.cuts if c.outcome != NOT_STARTS)
    if started:
        say("where the board starts, the launcher started " +
            ", ".join(f"{app} at {points_word(n)}" for app, n in sorted(started.items())))


def print_notes(s, args):
    print_starts(s)
    for part, counts in s.reasons.items():
        say(f"cut points while writing the {label(part)} that stop the board, by the first "
            f"break: " + "; ".join(f"{k} ({v})" for k, v in sorted(counts.items())))
    read = ", ".join(sorted({f"{p} 0x{o:x}+{n}" for p, o, n in s.reads})) or "nothing"
    flash = (f"{s.flash_boots} at the flash cut points where the chain check passes (at the "
             f"first, and again wherever a replayed request had touched what the last boot "
             f"read: {read}); at the others the last boot's answer carries over"
             if s.flash_boots else "none at flash cut points (the chain check passes at none)"
             if any(c.kind in FLASH_KINDS for c in s.cuts) else "no flash cut points")
    say(f"the launcher's answers come from real boots, the chain checked: {flash}; "
        f"{s.file_boots} at the slot-file and VPD cuts, one for each")
    print_self_check(s)
    r = s.repair
    say(f"repair at the sampled cut points: {r['starts']} left a board that starts, and a "
        f"second install repaired {r['repaired']} of them (every record, the slot file and the "
        f"VPD installed, the new application started; {r['beyond']} of those keep bytes "
        f"beyond a record's end in its last sector as the cut left them, which nothing "
        f"reads); "
        f"{r['not starts']} left a board that does NOT start, which needs a recovery the "
        f"launcher cannot give (it never runs)")
    for line in s.unrepaired:
        say(f"  NOT repaired: {line}")
    say(f"NOR time ({args.erase_s:g} s per {SECTOR // 1024} KiB sector erase, "
        f"{args.program_us_per_byte:g} us per byte programmed): the install's flash requests "
        f"{s.nor_s:.1f} s, of which the board is exposed (a cut before, inside or just after "
        f"the request leaves a board that does NOT start) {s.exposed_s:.1f} s")


def print_self_check(s):
    c = s.self_check
    kinds = ", ".join(f"{k} {n}" for k, n in s.sampled.items())
    say(f"replay self-check: {c['points']} sampled cut points made for real ({kinds}); they "
        f"matched the replay in: the cut request {c['cut there']}, flash bytes "
        f"{c['flash bytes']}, slot files and VPD {c['slot files and VPD']}, the boot-chain "
        f"check {c['boot-chain check']}, the power-on's answer {c['power-on answer']}; "
        f"did not match: {'none' if not s.mismatches else len(s.mismatches)}")
    for line in s.mismatches:
        say(f"  NOT matched: {line}")


def print_exposure(sweeps, args):
    print("exposure by kind of update")
    say(f"each installed over the one before as the rescue menu installs (skip-if-same off), "
        f"the application into the slot the board does not boot; cut points of the whole "
        f"install (flash, slot file, VPD); NOR time at {args.erase_s:g} s per sector erase "
        f"and {args.program_us_per_byte:g} us per byte; \"exposed\": the NOR time of the flash "
        f"requests during which a cut leaves a board that does NOT start; without the sector "
        f"skip: every sector the records cover erased and written again, judged on the bytes, "
        f"not run")
    widths = [-66, 7, 7, 22, 10, 10, 22, 10]
    heads = [("", "update"), ("flash", "erases"), ("flash", "writes"),
             ("board does NOT start", "at cut points"), ("NOR time", "exposed"),
             ("flash", "writes"), ("board does NOT start", "at cut points"),
             ("NOR time", "exposed")]

    def line(cells):
        return "  " + "".join(f"{c:<{-w}}" if w < 0 else f"{c:>{w}}" for c, w in zip(cells, widths))

    print(f"  {'':<66}{'as installed, the sector skip on':^46}"
          f"{'without the sector skip (computed)':^42}".rstrip())
    for i in (0, 1):
        print(line([h[i] for h in heads]))
    for s in sweeps:
        bad = sum(1 for c in s.cuts if c.outcome == NOT_STARTS)
        ws = s.without_skip
        print(line([f"{s.update.number}. {s.update.label}", s.facts["erases"], s.facts["writes"],
                    f"{bad} of {len(s.cuts)}", f"{s.exposed_s:.1f} s", ws["writes"],
                    f"{ws['not starts']} of {ws['points']}", f"{ws['exposed']:.1f} s"]))


def summary(s):
    """The closing line: what the cut points of the whole install of one
    update leave."""
    said = Counter(c.outcome for c in s.cuts)
    n = len(s.cuts)
    parts = [f"{o} at {said[o]} ({100.0 * said[o] / n:.1f} %)" for o in OUTCOMES
             if o != NO_APP or said[o]]
    return (f"summary, update {s.update.number} ({s.update.label}), of {n} cut points: the "
            f"board " + "; ".join(parts))
