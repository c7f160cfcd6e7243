"""The lot page: lot.html in an output folder of `orvane batch` (or orvane.batch),
one self-contained page over all its modules.

    /usr/bin/python3 -m orvane.lot_page DIR [--module-reports]   # writes DIR/lot.html

It shows the yield by root cause (the stage that failed first, from lot.csv's
root_cause column) and the flags raised, the DCC and the curve of field per
window position across the passing modules (median and spread as heat maps),
and names the outlier modules: those with a window far from the lot at that
window position. Each module links its own report, DIR/<module>/report.html;
--module-reports writes the ones missing. It reads DIR/lot.csv and each
calibrated module's summary.json.
"""

import argparse
import csv
import json
import os
import sys
import urllib.parse

import numpy as np
from matplotlib.figure import Figure

from . import page
from .page import Html, escape
from .report.figures import heatmap

__all__ = ["Lot", "build", "write", "write_module_reports", "main", "OUTLIER_Z"]

# The stages in the order a calibration runs them, by their ids in lot.csv's
# root_cause column, with the titles verdict.json gives them.
ERROR_TITLE = "not calibrated (bad files or a refused set)"

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
            # lot.csv before the verdicts wrote them in lower case.
            row["verdict"] = row["verdict"].upper()
            if row["verdict"] == "ERROR":
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
        # The stages and their titles as the tool wrote them into every verdict.json.
        self.stages = {}
        for row in self.rows:
            try:
                with open(os.path.join(folder, row["module"], "verdict.json"),
                          encoding="utf-8") as f:
                    self.stages = {s["stage"]: s["title"] for s in json.load(f)["stages"]}
                break
            except (OSError, ValueError, KeyError, TypeError):
                continue
        self.stages["error"] = ERROR_TITLE
        verdict = {r["module"]: r["verdict"] for r in self.rows}
        # The spread across the lot is the passing modules' (a failed module's
        # values are what failed it).
        self.passing = [m for m in self.on_grid if verdict[m] == "PASS"]
        self.has_root_cause = bool(self.rows) and "root_cause" in self.rows[0]

    def count(self, verdict):
        return sum(r["verdict"] == verdict for r in self.rows)

    def by_root_cause(self):
        """[(stage, [modules])] of the modules that did not pass, in stage order."""
        causes = {}
        for r in self.rows:
            if r["verdict"] == "PASS":
                continue
            stage = "error" if r["verdict"] == "ERROR" else (r.get("root_cause") or "?")
            causes.setdefault(stage, []).append(r["module"])
        order = list(self.stages)
        return sorted(causes.items(),
                      key=lambda kv: (order.index(kv[0]) if kv[0] in order else -1, kv[0]))

    def root_checks(self, modules):
        """The root stage's failing checks of `modules`, with how many modules fail each."""
        counts = {}
        for r in self.rows:
            if r["module"] in modules:
                for check in (r.get("failed_checks") or "").split():
                    counts[check] = counts.get(check, 0) + 1
        return sorted(counts.items(), key=lambda kv: (-kv[1], kv[0]))

    def by_reason(self):
        """[(reason, [modules])], most modules first."""
        reasons = {}
        for r in self.rows:
            for reason in r["reasons"].split():
                reasons.setdefault(reason, []).append(r["module"])
        return sorted(reasons.items(), key=lambda kv: (-len(kv[1]), kv[0]))

    def stack(self, which, modules=None):
        """modules x rows x cols of the DCC (0) or peak lens (1) on the common grid
        (default: every calibrated module on it)."""
        return np.stack([self.grids[m][which] for m in
                         (self.on_grid if modules is None else modules)])

    def outliers(self):
        """[(module, what, row, col, value, lot median, z)], worst first: per module
        its worst window of each quantity beyond OUTLIER_Z. The lot's median and
        spread are the passing modules' when three pass; every calibrated module is
        measured against them."""
        out = []
        if len(self.on_grid) < 3:
            return out
        reference = self.passing if len(self.passing) >= 3 else self.on_grid
        for which, what in ((0, "DCC"), (1, "peak lens")):
            values = self.stack(which)
            ref = self.stack(which, reference)
            median = np.median(ref, axis=0)
            mad = np.median(np.abs(ref - median), axis=0)
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


def _cause_figure(lot, causes):
    n = len(lot.rows)
    fig = Figure(figsize=(9, 0.45 * (len(causes) + 1) + 1.2), layout="constrained")
    ax = fig.subplots()
    names = ["PASS"] + [lot.stages.get(r, r) for r, _ in causes]
    counts = [lot.count("PASS")] + [len(m) for _, m in causes]
    colours = ["#1e6b35"] + ["#b3261e" if r == "error" else "#8a5a00" for r, _ in causes]
    y = np.arange(len(names))
    ax.barh(y, counts, color=colours)
    for k, c in enumerate(counts):
        ax.text(c, k, f" {c} ({100.0 * c / n:.1f}%)", va="center", fontsize=8)
    ax.set_yticks(y, names, fontsize=9)
    ax.invert_yaxis()
    ax.set_xlabel("modules")
    ax.set_xlim(0, max(counts) * 1.25 + 1)
    ax.set_title(f"Yield and root causes over {n} modules", fontsize=10)
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
    fig = Figure(figsize=(12, 4.2), layout="constrained")
    ax = fig.subplots()
    x = np.arange(len(per_module))
    named = {o[0] for o in outliers}
    verdict = {r["module"]: r["verdict"] for r in lot.rows}
    colour = ["#b3261e" if m in named else ("#8a5a00" if verdict.get(m) == "FAIL" else "#3a6ea5")
              for m in lot.on_grid]
    ax.scatter(x, per_module, c=colour, s=14)
    ax.vlines(x, lo, hi, colors=colour, linewidth=0.8, alpha=0.6)
    # Every module's name below its dot; in a large lot every k-th, the outliers and
    # the failed ones by their dots.
    every = max(1, -(-len(x) // 60))
    ax.set_xticks(x[::every], lot.on_grid[::every], rotation=90, fontsize=6.5)
    for i, m in enumerate(lot.on_grid):
        if every > 1 and (m in named or verdict.get(m) == "FAIL"):
            ax.annotate(m, (x[i], per_module[i]), fontsize=7, xytext=(4, 2),
                        textcoords="offset points")
    ax.set_xlabel("module")
    ax.set_ylabel("DCC (lens units per pixel)")
    ax.set_title("DCC per module: median over its windows (dot) and its range (line); red: "
                 "outlier modules, amber: other failed modules", fontsize=10)
    return fig


def _names(modules, shown=40):
    more = f" and {len(modules) - shown} more" if len(modules) > shown else ""
    return " ".join(modules[:shown]) + more


def _yield_section(lot):
    n = len(lot.rows)
    causes = lot.by_root_cause()

    def share(k):
        return f"{k} ({100.0 * k / n:.1f}%)" if n else "0"

    head = page.table(["modules", "PASS (yield)", "FAIL", "ERROR (not calibrated)"],
                      [[n, share(lot.count("PASS")), share(lot.count("FAIL")),
                        share(lot.count("ERROR"))]], cls="facts")
    if not lot.has_root_cause:
        return Html(head + "<p><span class=\"missing\">no root cause</span> lot.csv has no "
                    "<code>root_cause</code> column (an older <code>orvane batch</code> wrote "
                    "it): the failed modules are counted by the flags they raised only.</p>")
    rows = [["PASS", lot.count("PASS"), f"{100.0 * lot.count('PASS') / n:.1f}%" if n else "",
             "", ""]]
    for stage, modules in causes:
        checks = " ".join(f"{c} ({k})" for c, k in lot.root_checks(set(modules)))
        rows.append([Html(f"<code>{escape(stage)}</code>: {escape(lot.stages.get(stage, stage))}"),
                     len(modules), f"{100.0 * len(modules) / n:.1f}%", checks, _names(modules)])
    fig = page.figure(_cause_figure(lot, causes),
                      caption="Modules that pass, and the failed ones by root cause: the stage "
                              "that failed first (what followed from it is not counted again).")
    return Html(head + page.table(
        ["verdict / root cause", "modules", "share", "failing checks of that stage (modules)",
         "which"], rows, cls="causes") + fig)


def _module_link(folder, module):
    """The module's name, linked to its own report when it has one."""
    if os.path.isfile(os.path.join(folder, module, "report.html")):
        href = urllib.parse.quote(f"{module}/report.html")
        return Html(f'<a href="{escape(href)}">{escape(module)}</a>')
    return module


def build(folder):
    """The lot page of an output folder, as HTML text."""
    lot = Lot(folder)
    name = os.path.basename(os.path.abspath(folder))
    n = len(lot.rows)
    reasons = lot.by_reason()
    outliers = lot.outliers()
    parts = [f"<h1>Lot report: {escape(name)}</h1>",
             '<section id="yield"><h2>Yield by root cause</h2>', _yield_section(lot),
             "</section>"]
    parts.append(Html(
        '<section id="reasons"><h2>Flags raised</h2><p>Every status flag a module raised, '
        "consequences of an earlier failure included (a module may have several).</p>"
        + (page.table(["flag", "modules", "share", "which"],
                      [[r, len(m), f"{100.0 * len(m) / n:.1f}%", _names(m)]
                       for r, m in reasons]) if reasons else "<p>No module raised a flag.</p>")
        + "</section>"))

    left_out = []
    for verdict, word in (("FAIL", "failed"), ("ERROR", "not calibrated (ERROR)")):
        if lot.count(verdict):
            left_out.append(f"{lot.count(verdict)} {word}")
    others = len([m for m in lot.grids if m not in lot.on_grid])
    if others:
        left_out.append(f"{others} on another window grid")
    note = (" Left out: " + ", ".join(left_out) + "." if left_out else "")
    if len(lot.passing) >= 2:
        rows, cols = lot.shape
        dist = [page.figure(
                    _distribution_figure(lot.stack(0, lot.passing), "DCC", "lens units per pixel",
                                         lambda v: f"{v:.2f}", lambda v: f"{v:.3f}"),
                    caption=f"DCC per window position ({cols} x {rows} windows) across the "
                            f"{len(lot.passing)} passing modules: median and interquartile "
                            f"spread.{note}"),
                page.figure(
                    _distribution_figure(lot.stack(1, lot.passing), "Peak lens", "lens position",
                                         lambda v: f"{v:.0f}", lambda v: f"{v:.1f}"),
                    caption="Curve of field (focus peak lens position) per window position "
                            "across the same modules: median and interquartile spread."),
                page.figure(_module_dcc_figure(lot, outliers),
                            caption="Each calibrated module's DCC over its windows, by name.")]
        parts.append(Html('<section id="distribution"><h2>DCC and curve of field across the '
                          'lot</h2>' + "".join(dist) + "</section>"))
    else:
        parts.append(Html('<section id="distribution"><h2>DCC and curve of field across the '
                          f"lot</h2><p>Fewer than two passing modules: no spread to show.{note}"
                          "</p></section>"))

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
        "standard deviations (1.4826 x the median absolute deviation over the passing modules, "
        "or over all when fewer than three pass) from their median at that window position, in "
        "DCC or in peak lens position; its worst window is shown.</p>" + body + "</section>"))

    table_rows = [[_module_link(folder, r["module"]), r["verdict"], r.get("root_cause", ""),
                   r.get("failed_checks", ""), r["reasons"] or "", r["dcc_median"],
                   r["peak_lens_median"], r["error"]] for r in lot.rows]
    parts.append(Html('<section id="modules"><h2>Modules</h2>' + page.table(
        ["module", "verdict", "root cause", "failed checks", "flags", "DCC median",
         "peak lens median", "error"], table_rows, cls="modules")
        + "<p class=\"muted\">From lot.csv; a module's name links its own report where it has "
        "one (<code>orvane lot-page DIR --module-reports all</code> writes them); its "
        "files are in its folder.</p></section>"))
    return page.document(f"Lot report: {name}", Html("\n".join(parts)),
                         css="table.modules td:first-child { white-space: nowrap; }")


def _report_is_current(module, out):
    """Whether the module's report is newer than the files it shows."""
    try:
        made = os.path.getmtime(out)
    except OSError:
        return False
    for name in ("summary.json", "verdict.json", "verify.json"):
        path = os.path.join(module, name)
        if os.path.exists(path) and os.path.getmtime(path) > made:
            return False
    return True


def write_module_reports(folder, which="all"):
    """Writes folder/<module>/report.html for every calibrated module ("all") or every
    failed one ("failed") whose report is missing or older than its outputs; returns
    how many it wrote."""
    from .report import command
    written = 0
    with open(os.path.join(folder, "lot.csv"), newline="", encoding="utf-8") as f:
        rows = list(csv.DictReader(f))
    for row in rows:
        module = os.path.join(folder, row["module"])
        out = os.path.join(module, "report.html")
        verdict = row["verdict"].upper()
        if verdict == "ERROR" or (which == "failed" and verdict == "PASS") or \
                _report_is_current(module, out) or \
                not os.path.isfile(os.path.join(module, "summary.json")):
            continue
        page.write(out + ".tmp", command.build(module))
        os.replace(out + ".tmp", out)
        written += 1
    return written


def write(folder, out=None, module_reports=False):
    """Writes the lot page (default folder/lot.html) and returns its path; with
    module_reports ("all" or True, or "failed"), first those modules' reports where
    they are missing or out of date."""
    if module_reports:
        write_module_reports(folder, "failed" if module_reports == "failed" else "all")
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
    parser.add_argument("--module-reports", nargs="?", const="all", choices=["all", "failed"],
                        help="first write DIR/<module>/report.html of every calibrated module "
                             "(all, the default) or of the failed ones, where it is missing or "
                             "older than the module's outputs (the page links them; a report "
                             "takes a few seconds)")
    args = parser.parse_args(argv)
    if not os.path.isfile(os.path.join(args.dir, "lot.csv")):
        print(f"orvane.lot_page: {args.dir}: no lot.csv (run orvane batch first)",
              file=sys.stderr)
        return 1
    try:
        print(write(args.dir, args.out, module_reports=args.module_reports))
    except OSError as e:
        print(f"orvane.lot_page: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
