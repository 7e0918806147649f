"""A picture of one update's cut points, readable without colour: the
outcomes told apart by hatching and named in the strips, every short run
magnified in a panel of what was being written, each panel with its
counts."""

from collections import Counter

from power_cut_board import PART_NAMES
from power_cut_sweep import ALL_NEW, ALL_OLD, MIXED, NO_APP, NOT_STARTS

# facecolour, hatch, short name: the hatch and the name carry the outcome
# without colour, the colour's lightness helps in grey.
STYLE = {NOT_STARTS: ("#b2182b", "xxx", "does NOT start"),
         ALL_NEW: ("#d9f0d3", "", "all new"),
         ALL_OLD: ("#92c5de", "///", "all old"),
         MIXED: ("#fdb863", "..", "mixed"),
         NO_APP: ("#bababa", "--", "no application")}
WRITTEN = {"uboot": "#6a3d9a", "kernel": "#1f78b4", "devicetree": "#a6cee3",
           "rfs": "#ff7f00", "rescue": "#b2b2b2", "slot": "#8c564b", "vpd": "#000000"}
LIGHT = {"#a6cee3", "#ff7f00", "#b2b2b2", "#d9f0d3", "#92c5de", "#fdb863", "#bababa"}


def runs(values):
    """[[start, length, value]] of equal neighbours."""
    out = []
    for i, v in enumerate(values):
        if out and out[-1][2] == v:
            out[-1][1] += 1
        else:
            out.append([i, 1, v])
    return out


def strip(ax, y, values, style, names, total, min_share=0.07, mark=False):
    """One strip of runs at height y; names inside the runs wide enough.
    With `mark`, a run too narrow to see is drawn 1 % of the strip wide
    (over its neighbours) and named above the strip with its length."""
    for x, n, value in runs(values):
        face, hatch = style(value)
        width = max(n, 0.01 * total) if mark else n
        ax.broken_barh([(x + n / 2 - width / 2, width)], (y, 0.8), facecolors=face, hatch=hatch,
                       edgecolor="black", linewidth=0.3 if width > n else 0)
        if n > min_share * total:
            ax.text(x + n / 2, y + 0.4, names(value), ha="center", va="center", fontsize=8,
                    fontweight="bold", color="black" if face in LIGHT else "white",
                    bbox=dict(facecolor=face, edgecolor="none", pad=1.5) if hatch else None)
        elif mark:
            at = (x + n / 2) / total
            ax.annotate(f"{names(value)} ({n})", (x + n / 2, y + 0.8), (0, 6),
                        textcoords="offset points", va="bottom", fontsize=7,
                        ha="left" if at < 0.2 else "right" if at > 0.8 else "center",
                        arrowprops=dict(arrowstyle="-", linewidth=0.5))


def where_key(c):
    return c.where if c.kind not in ("slot", "vpd") else c.kind


def overview(ax, s, names):
    kinds = [where_key(c) for c in s.cuts]
    strip(ax, 1.1, kinds, lambda k: (WRITTEN[k], ""), lambda k: names[k], len(kinds))
    strip(ax, 0.1, [c.outcome for c in s.cuts], lambda o: STYLE[o][:2], lambda o: STYLE[o][2],
          len(kinds))
    ax.set_xlim(0, len(kinds))
    ax.set_ylim(0, 2)
    ax.set_yticks([0.5, 1.5], ["the board after\na cut there", "being written"], fontsize=8)
    ax.tick_params(axis="x", labelsize=8)
    ax.set_xlabel("all cut points in install order (before and inside each flash erase and "
                  "1 KiB write, before each 64 KiB slot-file piece and VPD write)", fontsize=8)


def panel(ax, name, cuts):
    """The cut points while one thing was written, magnified, with the
    count of each outcome under them."""
    outcomes = [c.outcome for c in cuts]
    strip(ax, 0.1, outcomes, lambda o: STYLE[o][:2], lambda o: STYLE[o][2], len(cuts), 0.25,
          mark=True)
    ax.set_xlim(0, len(cuts))
    ax.set_ylim(0, 1.5)
    ax.set_yticks([])
    ax.tick_params(axis="x", labelsize=7)
    ax.set_title(f"writing the {name}: {len(cuts)} cut point"
                 f"{'s' if len(cuts) != 1 else ''}", fontsize=8)
    said = Counter(outcomes)
    blind = sum(1 for c in cuts if c.outcome == NOT_STARTS and not c.damage)
    ax.set_xlabel("; ".join(f"{STYLE[o][2]} {n}" for o, n in said.items()) +
                  (f"\n(of which the chain check passes {blind})" if blind else ""), fontsize=8)


def plot(s, path):
    """The update's cut points in install order: an overview (what is being
    written, what a cut there leaves), then each thing written magnified."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.patches import Patch

    matplotlib.rcParams["hatch.linewidth"] = 0.6
    names = dict(PART_NAMES, slot=f"slot file {s.update.slot}", vpd="VPD")
    groups = {}
    for c in s.cuts:
        groups.setdefault(where_key(c), []).append(c)
    cols = 4
    rows = -(-(len(groups) + 1) // cols)
    fig = plt.figure(figsize=(12, 2.4 + 1.6 * rows), dpi=90)
    grid = fig.add_gridspec(1 + rows, cols, height_ratios=[1.5] + [1] * rows, hspace=0.9,
                            wspace=0.2, left=0.1, right=0.98, top=0.88,
                            bottom=0.5 / (2.4 + 1.6 * rows))
    overview(fig.add_subplot(grid[0, :]), s, names)
    for i, (key, cuts) in enumerate(groups.items()):
        panel(fig.add_subplot(grid[1 + i // cols, i % cols]), names[key], cuts)
    legend = fig.add_subplot(grid[1 + len(groups) // cols, len(groups) % cols])
    legend.axis("off")
    shown = [o for o in STYLE if any(c.outcome == o for c in s.cuts)]
    legend.legend(handles=[Patch(facecolor=STYLE[o][0], hatch=STYLE[o][1], edgecolor="black",
                                 label=f"the board {o}")
                           for o in shown], loc="center", fontsize=8, frameon=False)
    said = Counter(c.outcome for c in s.cuts)
    fig.suptitle(f"update {s.update.number}: {s.update.label}: of {len(s.cuts)} cut points, "
                 f"the board " + "; ".join(f"{STYLE[o][2]} at {said[o]}" for o in shown),
                 fontsize=10)
    fig.savefig(path)
    plt.close(fig)
