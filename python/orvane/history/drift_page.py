"""history.html: the lots over time. Yield per lot; per window position the
lot median of DCC and of peak lens with control limits (mean +- 3 sigma of the
first lots' medians, or given) and the lots beyond them named; the station and
library version of each lot."""

import time

import numpy as np
from matplotlib.figure import Figure

from .. import page
from ..page import Html, escape
from . import query

QUANTITIES = (("dcc", "DCC", "lens units / px"), ("peak_lens", "peak lens", "lens position"))


def _when(t):
    return time.strftime("%Y-%m-%d %H:%M", time.gmtime(t))


def control_limits(medians, baseline, given=None):
    """Per window (lo, hi): `given` for every window, else mean +- 3 sigma of the
    first `baseline` lots' medians."""
    n_win = medians.shape[1]
    if given is not None:
        return np.full(n_win, given[0]), np.full(n_win, given[1])
    base = medians[:baseline]
    with np.errstate(all="ignore"):
        mean = np.nanmean(base, axis=0)
        sigma = np.nanstd(base, axis=0, ddof=1) if len(base) > 1 else np.zeros(n_win)
    return mean - 3 * sigma, mean + 3 * sigma


def drift(url, baseline=5, limits=None):
    """{quantity: (lot names, medians [lot, window], lo, hi, beyond [lot, window] bool)}."""
    out = {}
    for column, _, _ in QUANTITIES:
        names, values = query.window_values(url, column, verdict=None)
        with np.errstate(all="ignore"):
            import warnings
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", RuntimeWarning)
                medians = np.nanmedian(values, axis=1) if values.size else \
                    np.zeros((len(names), 0))
        lo, hi = control_limits(medians, baseline, (limits or {}).get(column))
        beyond = (medians < lo) | (medians > hi)
        out[column] = (names, medians, lo, hi, beyond)
    return out


def _yield_figure(lots):
    fig = Figure(figsize=(9, 2.6))
    ax = fig.add_subplot()
    x = np.arange(len(lots))
    ax.plot(x, [100 * r["yield"] for r in lots], "o-", color="#1e6b35")
    ax.set_xticks(x, [r["lot"] for r in lots], rotation=30, ha="right", fontsize=8)
    ax.set_ylabel("yield (%)")
    ax.set_ylim(0, 105)
    ax.grid(alpha=0.3)
    fig.tight_layout()
    return fig


def _control_figure(names, medians, lo, hi, beyond, title, unit):
    n_win = medians.shape[1]
    cols = min(n_win, 4)
    rows = -(-n_win // cols)
    fig = Figure(figsize=(9, 1.9 * rows + 0.4))
    x = np.arange(len(names))
    for w in range(n_win):
        ax = fig.add_subplot(rows, cols, w + 1)
        ax.plot(x, medians[:, w], "o-", color="#33597a", ms=3, lw=1)
        ax.axhline(lo[w], color="#b3261e", lw=0.8, ls="--")
        ax.axhline(hi[w], color="#b3261e", lw=0.8, ls="--")
        bad = beyond[:, w]
        ax.plot(x[bad], medians[bad, w], "o", color="#b3261e", ms=7, mfc="none", mew=1.5)
        ax.set_title(f"window {w}", fontsize=8)
        ax.tick_params(labelsize=7)
        ax.set_xticks(x, [str(i + 1) for i in x])
    fig.suptitle(f"{title} ({unit}): lot median per window, control limits dashed, "
                 "lots beyond them circled red", fontsize=9)
    fig.tight_layout()
    return fig


def build(url, baseline=5, limits=None):
    lots = query.lots(url)
    found = drift(url, baseline, limits)
    flagged = {}
    for column, title, _ in QUANTITIES:
        names, _, _, _, beyond = found[column]
        for i, name in enumerate(names):
            wins = np.flatnonzero(beyond[i])
            if wins.size:
                flagged.setdefault(name, []).append(
                    f"{title}: window{'s' if wins.size > 1 else ''} "
                    + " ".join(str(w) for w in wins))
    rows = []
    for i, r in enumerate(lots):
        failed = ", ".join(f"{k} {v}" for k, v in sorted(r["failed"].items())) or "-"
        mark = (Html('<span class="fail">' + escape("; ".join(flagged[r["lot"]])) + "</span>")
                if r["lot"] in flagged else Html('<span class="pass">in control</span>'))
        rows.append([i + 1, r["lot"], _when(r["time"]), r["station"], r["library_version"],
                     r["modules"], f"{100 * r['yield']:.1f}%", failed, mark])
    limit_text = ("given limits" if limits else
                  f"mean +- 3 sigma of the first {min(baseline, len(lots))} lots' medians")
    parts = [f"<h1>Lot history</h1><p class=\"muted\">{len(lots)} lots; control limits: "
             f"{escape(limit_text)}.</p>"]
    out_of_control = [r["lot"] for r in lots if r["lot"] in flagged]
    parts.append('<section id="drift-summary"><h2>Out of control</h2>' + (
        "<p>" + ", ".join(f'<span class="fail lot">{escape(n)}</span>'
                          for n in out_of_control) + "</p>"
        if out_of_control else "<p>No lot beyond the control limits.</p>") + "</section>")
    parts.append('<section id="lots"><h2>Lots</h2>' + page.table(
        ["#", "lot", "time (UTC)", "station", "library", "modules", "yield",
         "failed by root cause", "drift"], rows) + "</section>")
    if lots:
        parts.append('<section id="yield"><h2>Yield per lot</h2>'
                     + page.figure(_yield_figure(lots), alt="yield per lot") + "</section>")
        for column, title, unit in QUANTITIES:
            names, medians, lo, hi, beyond = found[column]
            if medians.shape[1]:
                parts.append(f'<section id="{column}"><h2>{escape(title)} per window</h2>'
                             + page.figure(_control_figure(names, medians, lo, hi, beyond,
                                                           title, unit),
                                           caption="x: lot number as in the table")
                             + "</section>")
    return page.document("Lot history", Html("\n".join(parts)))


def write(url, out, baseline=5, limits=None):
    return page.write(out, build(url, baseline, limits))
