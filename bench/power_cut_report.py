"""The power-cut benchmark's figures: one table per update, the exposure of
each kind of update, and a picture of each update's cut points."""

import textwrap
from collections import Counter

from power_cut_board import PART_NAMES, SECTOR, bootcheck, records
from power_cut_sweep import NOT_STARTS

MEANING = ("a cut falls just before the write it names lands. \"board starts\": the boot "
           "loader, kernel, device tree and root filesystem are whole, so the board starts and "
           "runs the launcher; \"board does NOT start\": one of them is broken and the board "
           "stops before the launcher, which lives in the root filesystem, can run")


def cuts_word(n):
    return f"{n} cut" if n == 1 else f"{n} cuts"


def pct(v, of):
    return f"{v} ({100.0 * v / of:5.1f} %)" if of else "-"


def summary(cuts):
    """The closing line: how many of the cut points leave a board that does
    not start."""
    bad = sum(1 for c in cuts if c.answer == NOT_STARTS)
    share = 100.0 * bad / len(cuts)
    return f"board would not start after {bad} of {len(cuts)} cuts ({share:.1f} %)"


def label(where):
    return PART_NAMES.get(where, where)


def row(name, cuts):
    started = Counter(c.answer for c in cuts if c.answer != NOT_STARTS)
    said = ", ".join(f"{app} after {cuts_word(v)}" for app, v in sorted(started.items())) or "-"
    bad = sum(1 for c in cuts if c.answer == NOT_STARTS)
    return (f"  {name:<20}{len(cuts):>7}{pct(len(cuts) - bad, len(cuts)):>18}"
            f"{pct(bad, len(cuts)):>24}   {said}")


def say(text):
    """One figure, wrapped to the width of the tables."""
    print(textwrap.fill(text, 100, initial_indent="  ", subsequent_indent="    "))


def print_update(s, args):
    u, f = s.update, s.facts
    print(f"power cuts, update {u.number}: {u.label} ({f['bytes']} bytes; the application "
          f"into slot {u.slot})")
    say(f"the install: {f['writes']} flash writes of 1 KiB ({f['programmed']} bytes), "
        f"{f['erases']} sector erases, the slot file in {f['pieces']} pieces of 64 KiB, "
        f"{f['vpd']} VPD write(s) ({f['result']})")
    say("; ".join(f"{k}: {'yes' if v else 'NO'}" for k, v in s.checks.items()))
    if s.cuts:
        print_table(s)
        print_notes(s, args)


def print_table(s):
    say(MEANING)
    print(f"  {'cut while writing':<20}{'cuts':>7}{'board starts':>18}"
          f"{'board does NOT start':>24}   the launcher then started")
    groups = {}
    for c in s.cuts:
        groups.setdefault(c.where, []).append(c)
    for where, cuts in groups.items():
        if cuts[0].kind == "flash":
            print(row(label(where), cuts))
    print(row("flash, all", [c for c in s.cuts if c.kind == "flash"]))
    for where, cuts in groups.items():
        if cuts[0].kind != "flash":
            print(row(label(where), cuts))
    print(row("the whole install", s.cuts))


def print_notes(s, args):
    for part, counts in s.reasons.items():
        say(f"cuts while writing the {label(part)} break the chain at: " +
            "; ".join(f"{k} ({v})" for k, v in sorted(counts.items())))
    read = ", ".join(sorted({f"{p} 0x{o:x}+{n}" for p, o, n in s.reads})) or "nothing"
    flash = (f"{s.flash_boots} at the flash cuts where the chain is whole (again only when a "
             f"replayed request touched the flash the last one read: {read})"
             if s.flash_boots else "none at flash cuts (the chain is whole at none of them)")
    say(f"the launcher's answers: real boots with the chain checked, {flash}; "
        f"{s.file_boots} at the slot-file and VPD cuts, one for each")
    c, r = s.self_check, s.repair
    say(f"replay self-check: {c['points']} sampled cuts made for real (cut where aimed: "
        f"{c['cut there']}); they matched the replay in flash bytes at {c['flash bytes']}, "
        f"slot files and VPD at {c['slot files and VPD']} (a flash cut leaves both as they "
        f"were), the boot-chain check at {c['boot-chain check']}, the power-on's answer at "
        f"{c['power-on answer']}")
    say(f"repair at the sampled cuts: {r['starts']} left a board that starts, and a second "
        f"install repaired {r['repaired']} of them; {r['not starts']} left a board that does "
        f"NOT start, which needs a recovery the launcher cannot give (it never runs)")
    say(f"NOR time ({args.erase_s:g} s per {SECTOR // 1024} KiB sector erase, "
        f"{args.program_us_per_byte:g} us per byte programmed): the install's flash requests "
        f"{s.nor_s:.1f} s, of which the board is exposed (a cut then leaves a board that does "
        f"NOT start) {s.exposed_s:.1f} s")


def without_skip(update, args):
    """(flash writes, cuts after which the board does not start, exposed NOR
    seconds) if every sector a flash record covers were erased and
    programmed again, as without the sector skip: computed, not run. A
    boot-chain partition is then broken from its first erase until the 1 KiB
    piece holding its record's last byte lands."""
    writes, bad, exposed = 0, 0, 0.0
    chain = {kind for _, kind in bootcheck.CHAIN}
    for kind, record in records(update.image).items():
        if kind == "application":
            continue
        size = len(record) - 16 if kind == "uboot" else len(record)
        sectors = -(-size // SECTOR)
        writes += sectors * SECTOR // 1024
        if kind in chain:
            pieces = -(-size // 1024)
            bad += pieces
            exposed += sectors * args.erase_s + pieces * 1024 * args.program_us_per_byte / 1e6
    return writes, bad, exposed


def print_exposure(sweeps, args):
    print("exposure by kind of update")
    say(f"each installed over the one before as the rescue menu installs (skip-if-same off), "
        f"the application into the slot the board does not boot; NOR time at "
        f"{args.erase_s:g} s per sector erase and {args.program_us_per_byte:g} us per byte; "
        f"\"exposed\": the NOR time of the flash requests during which a cut leaves a board "
        f"that does NOT start")
    print(f"  {'':<44}{'as installed, the sector skip on':>44}   "
          f"{'without the sector skip (computed)':>36}")
    print(f"  {'':<44}{'flash':>8}{'flash':>8}{'board does NOT':>18}{'NOR time':>10}   "
          f"{'flash':>8}{'board does NOT':>18}{'NOR time':>10}")
    print(f"  {'update':<44}{'erases':>8}{'writes':>8}{'start after':>18}{'exposed':>10}   "
          f"{'writes':>8}{'start after':>18}{'exposed':>10}")
    for s in sweeps:
        bad = sum(1 for c in s.cuts if c.answer == NOT_STARTS)
        writes, bad_then, exposed = without_skip(s.update, args)
        cuts_then = len(s.cuts) - s.facts["writes"] + writes
        print(f"  {s.update.number}. {s.update.label:<41}{s.facts['erases']:>8}"
              f"{s.facts['writes']:>8}{f'{bad} of {len(s.cuts)}':>18}{s.exposed_s:>9.1f}s   "
              f"{writes:>8}{f'{bad_then} of {cuts_then}':>18}{exposed:>9.1f}s")


# ------------------------------------------------------------------ picture

COLOURS = {"uboot": "#6a3d9a", "kernel": "#1f78b4", "devicetree": "#a6cee3",
           "rfs": "#ff7f00", "rescue": "#b2b2b2", "slot": "#8c564b", "vpd": "#000000"}
STARTS, STOPS = "#33a02c", "#e31a1c"
LIGHT = {"#a6cee3", "#ff7f00", "#b2b2b2"}  # colours that take black text


def runs(values):
    """[(start, length, value)] of equal neighbours."""
    out = []
    for i, v in enumerate(values):
        if out and out[-1][2] == v:
            out[-1][1] += 1
        else:
            out.append([i, 1, v])
    return out


def plot(s, path):
    """The update's cut points in install order: the top strip what is
    being written, the bottom one what a cut there leaves."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.patches import Patch

    kinds = [c.where if c.kind == "flash" else c.kind for c in s.cuts]
    starts = [c.answer != NOT_STARTS for c in s.cuts]
    names = dict(PART_NAMES, slot=f"slot file {s.update.slot}", vpd="VPD")
    fig, ax = plt.subplots(figsize=(10, 2.5), dpi=90)
    strips = [(1.1, runs(kinds), lambda k: COLOURS[k], lambda k: names[k]),
              (0.1, runs(starts), lambda ok: STARTS if ok else STOPS,
               lambda ok: "starts" if ok else "does NOT start")]
    for y, segments, colour, text in strips:
        for x, n, value in segments:
            ax.broken_barh([(x, n)], (y, 0.8), color=colour(value))
            if n > 0.07 * len(s.cuts):
                ax.text(x + n / 2, y + 0.4, text(value), ha="center", va="center", fontsize=9,
                        color="black" if colour(value) in LIGHT else "white", fontweight="bold")
    ax.set_xlim(0, len(s.cuts))
    ax.set_ylim(0, 2)
    ax.set_yticks([0.5, 1.5], ["the board after\na cut there", "being written"])
    ax.set_xlabel("cut points in install order (a flash write of 1 KiB, a slot-file piece of "
                  "64 KiB, a VPD write)", fontsize=9)
    bad = len(starts) - sum(starts)
    ax.set_title(f"update {s.update.number}: {s.update.label}: the board does NOT start after "
                 f"{bad} of {len(starts)} cuts", fontsize=10)
    handles = [Patch(color=COLOURS[k], label=names[k]) for k in COLOURS if k in kinds]
    handles += [Patch(color=STARTS, label="board starts"),
                Patch(color=STOPS, label="board does NOT start")]
    ax.legend(handles=handles, loc="upper center", bbox_to_anchor=(0.45, -0.45),
              ncol=len(handles), fontsize=8, frameon=False, handlelength=1.2, columnspacing=1.2)
    fig.subplots_adjust(left=0.13, right=0.98, top=0.88, bottom=0.36)
    fig.savefig(path)
    plt.close(fig)
