"""The lot page: lot.html in an output folder of `orvane batch` (or orvane.batch),
one self-contained page over all its modules.

    /usr/bin/python3 -m orvane.lot_page DIR        # writes DIR/lot.html

It shows the yield and the modules by failure reason, the DCC and the curve of
field per window position across the lot (median and spread as heat maps), and
names the outlier modules: those with a window far from the lot at that window
position. It reads DIR/lot.csv and each calibrated module's summary.json.
"""

import argparse
import csv
import json
import os
import sys

import numpy as np
from matplotlib.figure import Figure

from . import page
from .page import Html, escape
from .report.figures import heatmap

__all__ = ["Lot", "build", "write", "main", "OUTLIER_Z"]

# A window is an outlier when it lies this many robust standard deviations
# (1.4826 x the median absolute deviation over the lot) from the lot's median
# at its position.
OUTLIER_Z = 5.0


class Lot:
    """lot.csv and the per-window grids of the modules' summary.json."""

    def __init__(self, folder):
        self.folder = folder
        with open(os.path.join(folder, "lot.csv"), newline="", encoding="utf-8") as f:
            self.rows = list(csv.DictReader(f))
        self.grids = {}  # module -> (dcc grid, peak grid), numpy float arrays
        for row in self.rows:
            if row["verdict"] == "error":
                continue
            try:
                with open(os.path.join(folder, row["module"], "summary.json"),
                          encoding="utf-8") as f:
                    s = json.load(f)
                dcc = np.array(s["dcc_lens_per_px"], dtype=np.float64)
                peak = np.array(s["peak_lens"], dtype=np.float64)
            except (OSError, ValueError, KeyError, TypeError):
                continue
            if dcc.ndim == 2 and dcc.shape == peak.shape and dcc.size:
                self.grids[row["module"]] = (dcc, peak)
        # The window grid most modules share; the heat maps and outliers use those modules.
        shapes = {}
        for dcc, _ in self.grids.values():
            shapes[dcc.shape] = shapes.get(dcc.shape, 0) + 1
        self.shape = max(sorted(shapes), key=lambda k: shapes[k]) if shapes else None
        self.on_grid = [m for m in sorted(self.grids) if self.grids[m][0].shape == self.shape]

    def count(self, verdict):
        return sum(r["verdict"] == verdict for r in self.rows)

    def by_reason(self):
        """[(reason, [modules])], most modules first."""
        reasons = {}
        for r in self.rows:
            for reason in r["reasons"].split():
                reasons.setdefault(reason, []).append(r["module"])
        return sorted(reasons.items(), key=lambda kv: (-len(kv[1]), kv[0]))

    def stack(self, which):
        """modules x rows x cols of the DCC (0) or peak lens (1) on the common grid."""
        return np.stack([self.grids[m][which] for m in self.on_grid])

    def outliers(self):
        """[(module, what, row, col, value, lot median, z)], worst first: per module
        its worst window of each quantity beyond OUTLIER_Z."""
        out = []
        if len(self.on_grid) < 3:
            return out
        for which, what in ((0, "DCC"), (1, "peak lens")):
            values = self.stack(which)
            median = np.median(values, axis=0)
            mad = np.median(np.abs(values - median), axis=0)
            # A floor (0.5% of the DCC, 2 lens units) keeps a lot of near-identical
            # modules from calling noise an outlier.
            floor = 0.005 * np.abs(median) if which == 0 else np.full_like(median, 2.0)
            sigma = np.maximum(1.4826 * mad, floor)
            z = (values - median) / sigma
            for i, module in enumerate(self.on_grid):
                r, c = np.unravel_index(int(np.argmax(np.abs(z[i]))), z[i].shape)
                if abs(z[i, r, c]) > OUTLIER_Z:
                    out.append((module, what, int(r), int(c), float(values[i, r, c]),
                                float(median[r, c]), float(z[i, r, c])))
        out.sort(key=lambda o: -abs(o[6]))
        return out


def _reason_figure(lot, reasons):
    n = len(lot.rows)
    fig = Figure(figsize=(9, 0.45 * (len(reasons) + 1) + 1.2), layout="constrained")
    ax = fig.subplots()
    names = ["pass"] + [r for r, _ in reasons]
    counts = [lot.count("pass")] + [len(m) for _, m in reasons]
    colours = ["#1e6b35"] + ["#b3261e" if r == "error" else "#8a5a00" for r, _ in reasons]
    y = np.arange(len(names))
    ax.barh(y, counts, color=colours)
    for k, c in enumerate(counts):
        ax.text(c, k, f" {c} ({100.0 * c / n:.1f}%)", va="center", fontsize=8)
    ax.set_yticks(y, names, fontsize=9)
    ax.invert_yaxis()
    ax.set_xlabel("modules")
    ax.set_xlim(0, max(counts) * 1.25 + 1)
    ax.set_title(f"Yield and failure reasons over {n} modules (a module may have several "
                 "reasons)", fontsize=10)
    return fig


def _distribution_figure(values, title, unit, fmt, spread_fmt):
    median = np.median(values, axis=0)
    q75, q25 = np.percentile(values, [75, 25], axis=0)
    fig = Figure(figsize=(12.4, 4.4), layout="constrained")
    axes = fig.subplots(1, 2)
    heatmap(fig, axes[0], median, f"{title}: median over {len(values)} modules", unit, fmt)
    heatmap(fig, axes[1], q75 - q25, f"{title}: spread (75th - 25th percentile)", unit,
            spread_fmt, cmap="magma")
    return fig


def module_dcc_from_summaries(lot):
    """Median, minimum and maximum of each module's DCC over its windows (modules on
    the common grid). lot.csv carries the same three, rounded to 4 decimals; the
    figure takes them from the summaries at full precision, the one thing the page
    works out again: drop this for lot.csv's columns when a changed figure is fine."""
    values = lot.stack(0)
    median = np.median(values.reshape(len(values), -1), axis=1)
    return median, values.min(axis=(1, 2)), values.max(axis=(1, 2))


def _module_dcc_figure(lot, outliers):
    per_module, lo, hi = module_dcc_from_summaries(lot)
    fig = Figure(figsize=(12, 3.2), layout="constrained")
    ax = fig.subplots()
    x = np.arange(len(per_module))
    named = {o[0] for o in outliers}
    verdict = {r["module"]: r["verdict"] for r in lot.rows}
    colour = ["#b3261e" if m in named else ("#8a5a00" if verdict.get(m) == "fail" else "#3a6ea5")
              for m in lot.on_grid]
    ax.scatter(x, per_module, c=colour, s=14)
    ax.vlines(x, lo, hi, colors=colour, linewidth=0.8, alpha=0.6)
    for i, m in enumerate(lot.on_grid):
        if m in named:
            ax.annotate(m, (x[i], per_module[i]), fontsize=7, xytext=(4, 2),
                        textcoords="offset points")
    ax.set_xlabel("module (in name order)")
    ax.set_ylabel("DCC (lens units per pixel)")
    ax.set_title("DCC per module: median over its windows (dot) and its range (line); red: "
                 "outlier modules, amber: other failed modules", fontsize=10)
    return fig


def _names(modules, shown=40):
    more = f" and {len(modules) - shown} more" if len(modules) > shown else ""
    return " ".join(modules[:shown]) + more


def build(folder):
    """The lot page of an output folder, as HTML text."""
    lot = Lot(folder)
    name = os.path.basename(os.path.abspath(folder))
    n = len(lot.rows)
    reasons = lot.by_reason()
    outliers = lot.outliers()
    parts = [f"<h1>Lot report: {escape(name)}</h1>"]

    def share(k):
        return f"{k} ({100.0 * k / n:.1f}%)" if n else "0"

    parts.append(page.table(["modules", "pass (yield)", "fail", "error (not calibrated)"],
                            [[n, share(lot.count("pass")), share(lot.count("fail")),
                              share(lot.count("error"))]], cls="facts"))

    body = [page.figure(_reason_figure(lot, reasons),
                        caption="Modules that pass, and the modules behind each failure reason "
                                "(status flag names; error: the module could not be calibrated).")
            ] if n else []
    body.append(page.table(["reason", "modules", "share", "which"],
                           [[r, len(m), f"{100.0 * len(m) / n:.1f}%", _names(m)]
                            for r, m in reasons]) if reasons else Html("<p>No module failed.</p>"))
    parts.append(Html('<section id="yield"><h2>Yield by failure reason</h2>' + "".join(body)
                      + "</section>"))

    if len(lot.on_grid) >= 2:
        rows, cols = lot.shape
        others = len(lot.grids) - len(lot.on_grid)
        note = (f" {others} module(s) on another window grid are left out." if others else "")
        dist = [page.figure(
                    _distribution_figure(lot.stack(0), "DCC", "lens units per pixel",
                                         lambda v: f"{v:.2f}", lambda v: f"{v:.3f}"),
                    caption=f"DCC per window position ({cols} x {rows} windows) across the "
                            f"{len(lot.on_grid)} calibrated modules, failed ones included: "
                            f"median and interquartile spread.{note}"),
                page.figure(
                    _distribution_figure(lot.stack(1), "Peak lens", "lens position",
                                         lambda v: f"{v:.0f}", lambda v: f"{v:.1f}"),
                    caption="Curve of field (focus peak lens position) per window position "
                            "across the same modules: median and interquartile spread."),
                page.figure(_module_dcc_figure(lot, outliers),
                            caption="Each module's DCC over its windows.")]
        parts.append(Html('<section id="distribution"><h2>DCC and curve of field across the '
                          'lot</h2>' + "".join(dist) + "</section>"))

    if outliers:
        verdict = {r["module"]: r["verdict"] for r in lot.rows}
        body = page.table(
            ["module", "verdict", "quantity", "window (row, col)", "value", "lot median",
             "robust z"],
            [[m, verdict.get(m, ""), what, f"{r}, {c}", f"{v:.3f}", f"{med:.3f}", f"{z:+.1f}"]
             for m, what, r, c, v, med, z in outliers])
    elif len(lot.on_grid) >= 3:
        body = Html("<p>No module has a window beyond the limit.</p>")
    else:
        body = Html("<p>Fewer than three calibrated modules: no lot to compare with.</p>")
    parts.append(Html(
        '<section id="outliers"><h2>Outlier modules</h2>'
        f"<p>A module is named when one of its windows lies more than {OUTLIER_Z:g} robust "
        "standard deviations (1.4826 x the median absolute deviation over the lot) from the lot's "
        "median at that window position, in DCC or in peak lens position; its worst window is "
        "shown.</p>" + body + "</section>"))

    table_rows = [[r["module"], r["verdict"], r["reasons"] or "", r["dcc_median"],
                   r["peak_lens_median"], r["error"]] for r in lot.rows]
    parts.append(Html('<section id="modules"><h2>Modules</h2>' + page.table(
        ["module", "verdict", "reasons", "DCC median", "peak lens median", "error"], table_rows)
        + "<p class=\"muted\">From lot.csv; each module's files are in its folder.</p>"
        "</section>"))
    return page.document(f"Lot report: {name}", Html("\n".join(parts)))


def write(folder, out=None):
    """Writes the lot page (default folder/lot.html) and returns its path."""
    out = out or os.path.join(folder, "lot.html")
    text = build(folder)
    tmp = out + ".tmp"
    page.write(tmp, text)
    os.replace(tmp, out)
    return out


def main(argv=None):
    """The command line: writes the lot page and prints its path; returns the exit status."""
    parser = argparse.ArgumentParser(
        prog="python3 -m orvane.lot_page",
        description="Writes lot.html, the lot page, for an output folder of orvane batch.")
    parser.add_argument("dir", help="the output folder (with lot.csv)")
    parser.add_argument("--out", help="the page to write (default DIR/lot.html)")
    args = parser.parse_args(argv)
    if not os.path.isfile(os.path.join(args.dir, "lot.csv")):
        print(f"orvane.lot_page: {args.dir}: no lot.csv (run orvane batch first)",
              file=sys.stderr)
        return 1
    try:
        print(write(args.dir, args.out))
    except OSError as e:
        print(f"orvane.lot_page: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
