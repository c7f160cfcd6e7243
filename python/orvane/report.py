"""The calibration report: one self-contained HTML page of an output folder of
`orvane demo` or `orvane calibrate` (blocks, state dump, JSON records,
summary, truth and verification when present).

    /usr/bin/python3 -m orvane.report DIR [--out FILE]      # default DIR/report.html

Everything is read through the package's own readers; a missing or broken
file is named on the page and the sections that need it say so, so a folder
of a failed or flagged calibration still gets its report.
"""

import argparse
import json
import os
import sys

import numpy as np
from matplotlib.figure import Figure
from matplotlib.patches import Rectangle
from matplotlib.ticker import MaxNLocator

from . import files as F
from . import page
from . import records as R
from .constants import FRAME_SLOTS, MAX_DCC_WINDOWS
from .page import Html, escape
from .status import Status

__all__ = ["Folder", "build", "main"]

# Application treats 512 as a gain of 1, whatever gain_shift the generation used.
GAIN_UNITY = 512

FILES = (
    ("summary.json", "layout, frame size, settings, status words, per-window flags, accuracy"),
    ("state_dump.bin", "per frame and window PD, focus, confidence, flags; the fit per window"),
    ("gainmap.json", "the gain tables"),
    ("dccmap.json", "the DCC per window"),
    ("calibration_block.bin", "the calibration block (gain tables and DCC, big-endian)"),
    ("curve_of_field_block.bin", "the in-focus lens position per window"),
    ("truth.json", "ground truth (simulated modules only)"),
    ("verify.json", "closed-loop verification on a second sweep (orvane demo, orvane verify)"),
)
OPTIONAL = ("truth.json", "verify.json")

MEANING = {
    "lens_out_of_range": "lens position outside lens_min..lens_max",
    "layout_unusable": "no PD pairs, zero block size or nothing extracted",
    "level_too_high": "a PD level of the flat field above the maximum level",
    "level_too_low": "a PD level of the flat field below the minimum level",
    "gain_too_high": "a gain above the maximum gain",
    "pd_at_edge": "disparity at the edge of the search range",
    "invalid_roi": "invalid window rectangle",
    "not_monotonic": "PD steps against its direction over the sweep and the fit residual "
                     "exceeds residual_limit",
    "too_few_frames": "fewer frames than sweep_frames, or fewer than 2 left for the fit",
    "dcc_deviation": "|zero-PD lens - peak lens| / lens span above the window's dcc_dev_limit",
    "pd_range_low": "PD spread over the fitted frames below min_pd_range",
    "focus_failed": "the focus measure failed for the window",
    "peak_at_end": "focus peak at or beyond an end of the sweep",
    "hard_failure": "the call failed",
}


def flag_names(word, dcc_map=False):
    """Flag names of a status word as the header spells them ([] for 0)."""
    if word is None:
        return []
    word = int(word) & 0xFFFFFFFF
    if word == 0:
        return []
    return [n.lower() for n in Status(word).names(dcc_map=dcc_map)]


def chips(names, none="none"):
    if not names:
        return Html(f'<span class="muted">{escape(none)}</span>')
    return Html(" ".join(f'<span class="flag">{escape(n)}</span>' for n in names))


def missing_note(names, what):
    return Html(f'<p><span class="missing">missing</span> {escape(what)}: needs '
                + ", ".join(f"<code>{escape(n)}</code>" for n in names) + ".</p>")


# ---- reading the folder ---------------------------------------------------------------------

def _json_object(path):
    with open(path, encoding="utf-8") as f:
        value = json.load(f)
    if not isinstance(value, dict):
        raise ValueError(f"{os.path.basename(path)}: expected a JSON object")
    return value


class Folder:
    """The files of one output folder, each read or marked missing/broken."""

    def __init__(self, path):
        self.path = path
        self.state_of = {}  # file name -> (word, detail): "read", "missing" or "broken"
        self.summary = self._load("summary.json", _json_object)
        self.state = self._load("state_dump.bin", F.read_state_dump)
        self.gains = self._load("gainmap.json", R.gainmap.load)
        self.dcc = self._load("dccmap.json", R.dccmap.load)
        self.block = self._load("calibration_block.bin", F.read_calibration_block_file)
        self.cof = self._load("curve_of_field_block.bin", F.read_curve_of_field)
        self.truth = self._load("truth.json", _json_object)
        self.verify = self._load("verify.json", _json_object)
        s = self.summary or {}
        self.settings = self._record(s, "settings", R.cal_settings)
        self.limits = self._record(s, "limits", R.gain_limits)

    def _load(self, name, reader):
        path = os.path.join(self.path, name)
        if not os.path.exists(path):
            self.state_of[name] = ("missing", "")
            return None
        try:
            value = reader(path)
        except (OSError, ValueError, KeyError, TypeError) as e:
            detail = str(e)
            self.state_of[name] = ("broken", detail if name in detail else f"{name}: {detail}")
            return None
        self.state_of[name] = ("read", "")
        return value

    def _record(self, summary, key, cls):
        if key not in summary:
            return None
        try:
            return cls.from_json(summary[key], source=f"summary.json: {key}")
        except (ValueError, TypeError) as e:
            self.state_of["summary.json"] = ("read", f"its {key} do not parse: {e}")
            return None


class Calibration:
    """What the folder's files say, each value from the first file that has it."""

    def __init__(self, folder):
        f = self.f = folder
        s = f.summary or {}
        self.layout = s.get("layout") if isinstance(s.get("layout"), str) else None
        self.rows, self.cols = self._grid()
        self.windows = self.rows * self.cols

        # Sweep: lens position of each frame of the sweep (the dump's slots, or the summary).
        self.lens = None
        if f.state is not None and f.state.frames > 0:
            self.lens = np.array(f.state.lens_position[:f.state.frames], dtype=np.int64)
        elif isinstance(s.get("lens_positions"), list) and s["lens_positions"]:
            self.lens = np.array(s["lens_positions"], dtype=np.int64)
        self.frames = 0 if self.lens is None else len(self.lens)
        self.trim = None
        if f.settings is not None:
            self.trim = int(f.settings.trim_frames)
        elif f.state is not None:
            self.trim = max(0, (int(f.state.sweep_frames) - int(f.state.frames_fitted)) // 2)

        self.dcc = self._dcc()
        self.peak = self._peak()
        self.frame_flags, self.fit_flags, self.fit_flags_source = self._window_flags()
        self.truth = self._truth()

    def _grid(self):
        f, s = self.f, self.f.summary or {}
        for src in (f.state, f.dcc, f.cof):
            if src is not None and src.win_rows * src.win_cols > 0:
                return int(src.win_rows), int(src.win_cols)
        if isinstance(s.get("win_rows"), int) and isinstance(s.get("win_cols"), int):
            return s["win_rows"], s["win_cols"]
        return 0, 0

    def _fits(self, values):
        a = np.asarray(values)
        return a.shape == (self.rows, self.cols) and self.windows > 0

    def _dcc(self):
        """DCC per window in lens units per pixel, and the file it came from."""
        f = self.f
        if f.dcc is not None and self._fits(f.dcc.grid()):
            return np.ldexp(f.dcc.grid().astype(np.float64), -int(f.dcc.dcc_shift)), "dccmap.json"
        if f.state is not None and self.windows <= MAX_DCC_WINDOWS:
            return np.ldexp(f.state.dcc.astype(np.float64), -int(f.state.dcc_shift)), \
                "state_dump.bin"
        if f.block is not None and self._fits(f.block.dcc):
            return np.ldexp(f.block.dcc.astype(np.float64), -f.block.dcc_shift), \
                "calibration_block.bin"
        s = f.summary or {}
        if "dcc_lens_per_px" in s and self._fits(s["dcc_lens_per_px"]):
            return np.array(s["dcc_lens_per_px"], dtype=np.float64), "summary.json"
        return None

    def _peak(self):
        f, s = self.f, self.f.summary or {}
        if f.cof is not None and self._fits(f.cof.peak_lens):
            return f.cof.peak_lens.astype(np.int64), "curve_of_field_block.bin"
        if f.state is not None:
            return f.state.peak_lens.astype(np.int64), "state_dump.bin"
        if "peak_lens" in s and self._fits(s["peak_lens"]):
            return np.array(s["peak_lens"], dtype=np.int64), "summary.json"
        return None

    def gain_tables(self):
        """(first, second, names, source) of the layout's gain tables as gains, or None."""
        f = self.f
        vertical = self.layout == "vertical"
        names = ("left_v", "right_v") if vertical else ("left", "right")
        if f.gains is not None:
            try:
                tables = [f.gains.grid(n) for n in names]
                if tables[0].size:
                    return (*[t / GAIN_UNITY for t in tables], names, "gainmap.json")
            except (ValueError, R.RecordError):
                pass
        if f.block is not None and f.block.left.size:
            first, second = (f.block.left, f.block.right)
            if f.block.kind != F.SINGLE and vertical:
                first, second = f.block.left_v, f.block.right_v
            return first / GAIN_UNITY, second / GAIN_UNITY, names, "calibration_block.bin"
        if f.state is not None and f.state.gain_left.size:
            return (f.state.gain_left / GAIN_UNITY, f.state.gain_right / GAIN_UNITY, names,
                    "state_dump.bin (the map of frame 0)")
        return None

    def _window_flags(self):
        """Per window: the OR of its per-frame flags over the sweep, and the DCC map's
        checks it fails (from the summary, else worked out again from the dump)."""
        f, s = self.f, self.f.summary or {}
        frame = fit = None
        if f.state is not None and f.state.frames > 0:
            frame = np.bitwise_or.reduce(f.state.flags.astype(np.int64), axis=0)
        elif "frame_flags" in s and self._fits(s["frame_flags"]):
            frame = np.array(s["frame_flags"], dtype=np.int64)
        if "fit_flags" in s and self._fits(s["fit_flags"]):
            return frame, np.array(s["fit_flags"], dtype=np.int64), "from summary.json"
        if f.state is not None:
            fit, unchecked = fit_checks(f.state, f.settings, self.trim)
            note = "worked out again from state_dump.bin"
            if unchecked:
                note += " (" + " and ".join(unchecked) + " not checked: the settings are unknown)"
            return frame, fit, note
        return frame, None, None

    def _truth(self):
        t = self.f.truth
        if not t:
            return None
        try:
            if (int(t["win_rows"]), int(t["win_cols"])) != (self.rows, self.cols):
                self.truth_note = (f"truth.json has a {t['win_cols']} x {t['win_rows']} window "
                                   f"grid, not the calibration's {self.cols} x {self.rows}")
                return None
            return {"dcc": np.array(t["dcc"], dtype=np.float64),
                    "focus": np.array(t["in_focus_lens"], dtype=np.float64),
                    "step": float(t["lens_step"])}
        except (KeyError, TypeError, ValueError) as e:
            self.truth_note = f"truth.json does not parse: {e}"
            return None

    def flags_of(self, w):
        r, c = divmod(w, self.cols)
        frame = [] if self.frame_flags is None else flag_names(self.frame_flags[r, c])
        fit = [] if self.fit_flags is None else flag_names(self.fit_flags[r, c], dcc_map=True)
        return frame, fit


def fit_checks(state, settings, trim):
    """The DCC map reports only the OR of its checks; this redoes them per window from the
    dump, as the library does. Returns (flags per window, checks left out)."""
    rows, cols = int(state.win_rows), int(state.win_cols)
    n = state.frames
    k = n - 2 * trim
    slots_pd = state.raw["slots"]["pd"]  # all twelve slots: the direction may look past n
    lens = state.lens_position.astype(np.int16)
    unchecked = []
    if settings is None:
        unchecked = ["not_monotonic", "pd_range_low"]
    flags = np.zeros(rows * cols, dtype=np.int64)
    norm = state.zero_pd_offset_norm.reshape(-1)
    limit = state.dcc_dev_limit.reshape(-1)
    residual = state.fit_residual.reshape(-1)
    peak = state.peak_lens.reshape(-1)
    for w in range(rows * cols):
        mid = trim + k // 2
        if settings is not None and k >= 2 and n >= 2 and 0 <= trim and mid + 1 < FRAME_SLOTS:
            rising = slots_pd[mid + 1][w] > slots_pd[mid][w]
            prev = slots_pd[0][w]
            hi, lo = np.float32(-999999), np.float32(999999)
            for i in range(trim, trim + k):
                v = slots_pd[i][w]
                hi, lo = max(hi, v), min(lo, v)
                if (prev > v if rising else v > prev) and residual[w] > settings.residual_limit:
                    flags[w] |= Status.NOT_MONOTONIC
                prev = v
            if np.float32(settings.min_pd_range) > abs(hi - lo):
                flags[w] |= Status.PD_RANGE_LOW
        if w < MAX_DCC_WINDOWS and abs(norm[w]) > limit[w]:
            flags[w] |= Status.DCC_DEVIATION
        if n >= 1 and (peak[w] <= lens[0] or peak[w] >= lens[n - 1]):
            flags[w] |= Status.PEAK_AT_END
    return flags.reshape(rows, cols), unchecked


# ---- figures --------------------------------------------------------------------------------

def _text_colour(im, value):
    r, g, b, _ = im.cmap(im.norm(value))
    return "black" if 0.299 * r + 0.587 * g + 0.114 * b > 0.55 else "white"


def _window_axes(ax, rows, cols):
    ax.set_xticks(range(cols))
    ax.set_yticks(range(rows))
    ax.set_xlabel("window column")
    ax.set_ylabel("window row")
    ax.tick_params(labelsize=8)


def _outline(ax, flagged):
    for r, c in flagged:
        ax.add_patch(Rectangle((c - 0.5, r - 0.5), 1, 1, fill=False, edgecolor="#d00000",
                               linewidth=2.2))


def heatmap(fig, ax, values, title, unit, fmt, cmap="viridis", vmin=None, vmax=None,
            flagged=()):
    """A window-grid heat map with each cell's value written in it."""
    values = np.asarray(values, dtype=np.float64)
    finite = values[np.isfinite(values)]
    if vmin is None:
        vmin = float(finite.min()) if finite.size else 0.0
    if vmax is None:
        vmax = float(finite.max()) if finite.size else 1.0
    if vmax <= vmin:
        vmin, vmax = vmin - 0.5, vmax + 0.5
    im = ax.imshow(values, cmap=cmap, vmin=vmin, vmax=vmax, aspect="equal")
    rows, cols = values.shape
    size = 8 if cols <= 8 else 6.5
    for (r, c), v in np.ndenumerate(values):
        ax.text(c, r, fmt(v + 0.0) if np.isfinite(v) else "n/a", ha="center", va="center",
                fontsize=size, color=_text_colour(im, v if np.isfinite(v) else vmin))
    _window_axes(ax, rows, cols)
    _outline(ax, flagged)
    ax.set_title(title, fontsize=10)
    fig.colorbar(im, ax=ax, label=unit, shrink=0.9)
    return im


def _signed(v, digits):
    return f"{round(v, digits) + 0.0:+.{digits}f}"  # + 0.0: no "-0.00"


def _symmetric(values, floor):
    finite = np.abs(values[np.isfinite(values)])
    return max(float(finite.max()) if finite.size else 0.0, floor)


def gain_figure(cal, first, second, names, frame_size):
    rows, cols = first.shape
    if frame_size:
        w, h = frame_size
        extent, unit = (0, w, h, 0), "px"
    else:
        extent, unit = (0, 1, 1, 0), "image fraction"
    fig = Figure(figsize=(12, 3.4), layout="constrained")
    axes = fig.subplots(1, 3)
    lo = float(min(first.min(), second.min()))
    hi = float(max(first.max(), second.max()))
    images = []
    for ax, table, name in zip(axes, (first, second), names):
        images.append(ax.imshow(table, cmap="magma", vmin=lo, vmax=hi, extent=extent,
                                aspect="auto" if not frame_size else "equal",
                                interpolation="nearest"))
        ax.set_title(f"{name} gains ({cols} x {rows} cells)", fontsize=10)
    fig.colorbar(images[0], ax=list(axes[:2]), label="gain (code / 512)", shrink=0.9)
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = np.where(second > 0, first / second, np.nan)
    span = _symmetric(ratio - 1.0, 0.005)
    im = axes[2].imshow(ratio, cmap="RdBu_r", vmin=1 - span, vmax=1 + span, extent=extent,
                        aspect="auto" if not frame_size else "equal", interpolation="nearest")
    axes[2].set_title(f"ratio {names[0]} / {names[1]}", fontsize=10)
    fig.colorbar(im, ax=axes[2], label="gain ratio", shrink=0.9)
    for ax in axes:
        ax.set_xlabel(f"x ({unit})")
        ax.set_ylabel(f"y ({unit})")
        ax.tick_params(labelsize=8)
    return fig


def _flagged_cells(cal):
    out = []
    for w in range(cal.windows):
        frame, fit = cal.flags_of(w)
        if frame or fit:
            out.append(divmod(w, cal.cols))
    return out


def _grid_figure(panels):
    fig = Figure(figsize=(6.2 * len(panels), 4.4), layout="constrained")
    axes = fig.subplots(1, len(panels), squeeze=False)[0]
    for ax, panel in zip(axes, panels):
        heatmap(fig, ax, **panel)
    return fig


def dcc_figure(cal):
    dcc, _ = cal.dcc
    flagged = _flagged_cells(cal)
    panels = [dict(values=dcc, title="DCC per window", unit="lens units per pixel",
                   fmt=lambda v: f"{v:.2f}", cmap="viridis", flagged=flagged)]
    if cal.truth is not None:
        with np.errstate(divide="ignore", invalid="ignore"):
            err = 100.0 * (dcc - cal.truth["dcc"]) / cal.truth["dcc"]
        span = _symmetric(err, 1.0)
        panels.append(dict(values=err, title="DCC error against the truth", unit="error (%)",
                           fmt=lambda v: _signed(v, 1), cmap="RdBu_r", vmin=-span,
                           vmax=span, flagged=flagged))
    return _grid_figure(panels)


def curve_of_field_figure(cal):
    peak, _ = cal.peak
    flagged = _flagged_cells(cal)
    panels = [dict(values=peak, title="in-focus lens position (curve of field)",
                   unit="lens position", fmt=lambda v: f"{v:.0f}", cmap="cividis",
                   flagged=flagged)]
    if cal.truth is not None:
        diff = (peak - cal.truth["focus"]) / cal.truth["step"]
        span = _symmetric(diff, 0.25)
        panels.append(dict(values=diff, title="found minus true in-focus position",
                           unit="lens steps", fmt=lambda v: _signed(v, 2), cmap="RdBu_r",
                           vmin=-span, vmax=span, flagged=flagged))
    return _grid_figure(panels)


def _panel_flags(ax, cal, w):
    frame, fit = cal.flags_of(w)
    names = frame + fit
    if not names:
        return
    for spine in ax.spines.values():
        spine.set_edgecolor("#d00000")
        spine.set_linewidth(2.2)
    ax.text(0.03, 0.97, "\n".join(names), transform=ax.transAxes, ha="left", va="top",
            fontsize=6.5, color="#b00000", fontweight="bold",
            bbox=dict(facecolor="white", alpha=0.75, edgecolor="none", pad=1))


def _fitted_mask(cal):
    k = np.arange(cal.frames)
    trim = cal.trim or 0
    return (k >= trim) & (k < cal.frames - trim)


def _small_multiples(cal):
    row = min(max(0.7 * 11.0 / cal.cols, 1.35), 2.6)  # panels near 4:3 whatever the grid
    height = row * cal.rows + 1.1
    # Fixed margins (inches): a constrained layout of ~100 axes costs seconds.
    fig = Figure(figsize=(12, height))
    fig.subplots_adjust(left=0.065, right=0.99, top=1 - 0.25 / height, bottom=0.85 / height,
                        wspace=0.12, hspace=0.32)
    axes = fig.subplots(cal.rows, cal.cols, sharex=True, sharey=True, squeeze=False)
    for ax in axes.flat:
        ax.xaxis.set_major_locator(MaxNLocator(4))
        ax.yaxis.set_major_locator(MaxNLocator(5))
    return fig, axes


def pd_sweep_figure(cal):
    st = cal.f.state
    fig, axes = _small_multiples(cal)
    fitted = _fitted_mask(cal)
    lens = cal.lens.astype(np.float64)
    xs = np.linspace(lens.min(), lens.max(), 2)
    dcc = np.ldexp(st.dcc.astype(np.float64), -int(st.dcc_shift))
    for w in range(cal.windows):
        r, c = divmod(w, cal.cols)
        ax = axes[r, c]
        pd = st.pd[:, r, c].astype(np.float64)
        bad = st.flags[:, r, c] != 0
        if dcc[r, c] != 0:
            ax.plot(xs, (xs - st.zero_pd_lens[r, c]) / dcc[r, c], color="#1f77b4", lw=1,
                    label="fitted line")
        ax.plot(lens[fitted], pd[fitted], "o", ms=3, color="#1f77b4", label="fitted frame")
        ax.plot(lens[~fitted], pd[~fitted], "o", ms=3.5, mfc="none", mec="#888888",
                label="trimmed frame")
        if bad.any():
            ax.plot(lens[bad], pd[bad], "x", ms=5, color="#d00000", label="frame flagged")
        ax.axhline(0, color="#bbbbbb", lw=0.6, zorder=0)
        _finish_panel(ax, cal, w)
    return _finish_grid(fig, axes, "PD (px)")


def focus_sweep_figure(cal):
    st = cal.f.state
    fig, axes = _small_multiples(cal)
    lens = cal.lens.astype(np.float64)
    for w in range(cal.windows):
        r, c = divmod(w, cal.cols)
        ax = axes[r, c]
        focus = st.focus[:, r, c].astype(np.float64)
        top = np.nanmax(np.abs(focus)) if np.isfinite(focus).any() else 0.0
        if top > 0:
            focus = focus / top
        ax.plot(lens, focus, "o-", lw=0.8, ms=3, color="#2ca02c", label="focus measure")
        bad = st.flags[:, r, c] != 0
        if bad.any():
            ax.plot(lens[bad], focus[bad], "x", ms=5, color="#d00000", label="frame flagged")
        peak = st.peak_lens[r, c]
        ax.axvline(peak, color="#d62728", lw=1, ls="--", label="peak lens")
        ax.plot([peak], [1.0], "v", color="#d62728", ms=5)
        if cal.truth is not None:
            ax.axvline(cal.truth["focus"][r, c], color="#444444", lw=0.8, ls=":",
                       label="true in-focus")
        _finish_panel(ax, cal, w)
    return _finish_grid(fig, axes, "focus / max")


def _finish_panel(ax, cal, w):
    r, c = divmod(w, cal.cols)
    ax.set_title(f"w{w} (row {r}, col {c})", fontsize=7.5)
    ax.tick_params(labelsize=6.5)
    _panel_flags(ax, cal, w)


def _finish_grid(fig, axes, ylabel):
    for ax in axes[-1]:
        ax.set_xlabel("lens position", fontsize=7.5)
    for ax in axes[:, 0]:
        ax.set_ylabel(ylabel, fontsize=7.5)
    _legend(fig, axes)
    return fig


def _legend(fig, axes):
    seen = {}
    for ax in axes.flat:
        for handle, label in zip(*ax.get_legend_handles_labels()):
            seen.setdefault(label, handle)
    if seen:  # in the strip kept free below the panels
        fig.legend(list(seen.values()), list(seen.keys()), loc="lower center",
                   ncol=len(seen), fontsize=8, frameon=False)


def confidence_figure(cal):
    st = cal.f.state
    conf = st.confidence.reshape(cal.frames, cal.windows).astype(np.float64)
    fig = Figure(figsize=(12, 0.32 * cal.frames + 1.6), layout="constrained")
    ax = fig.subplots()
    im = ax.imshow(conf, cmap="viridis", vmin=0, vmax=1024, aspect="auto",
                   interpolation="nearest")
    fitted = _fitted_mask(cal)
    ax.set_yticks(range(cal.frames))
    ax.set_yticklabels([f"{k}: lens {cal.lens[k]}" + ("" if fitted[k] else " (trimmed)")
                        for k in range(cal.frames)], fontsize=7)
    for k in range(cal.frames):
        if not fitted[k]:
            ax.get_yticklabels()[k].set_color("#888888")
    step = 1 if cal.windows <= 48 else 4
    ax.set_xticks(range(0, cal.windows, step))
    ax.tick_params(axis="x", labelsize=6.5)
    for r in range(1, cal.rows):
        ax.axvline(r * cal.cols - 0.5, color="white", lw=1)
    ax.set_xlabel("window (row-major; white lines separate window rows)")
    ax.set_ylabel("frame: lens position")
    fig.colorbar(im, ax=ax, label="PD confidence (0..1024)", pad=0.01)
    return fig


# ---- sections -------------------------------------------------------------------------------

def _ranges(ks):
    """0, 1, 2, 5 as "0-2, 5"."""
    out, start = [], None
    for i, k in enumerate(ks):
        if start is None:
            start = k
        if i + 1 == len(ks) or ks[i + 1] != k + 1:
            out.append(str(start) if start == k else f"{start}-{k}")
            start = None
    return ", ".join(out)


def _hex(word):
    return f"0x{int(word) & 0xFFFFFFFF:08X}"


def _lens_text(lens):
    if lens is None or not len(lens):
        return "unknown"
    steps = np.unique(np.diff(lens))
    step = f", step {steps[0]}" if len(steps) == 1 else ""
    return f"{len(lens)} frames, lens {lens.min()}..{lens.max()}{step}"


def header(cal):
    f, s = cal.f, cal.f.summary or {}
    st, cfg = f.state, f.settings
    facts = [("output folder", os.path.abspath(f.path)),
             ("layout", cal.layout or "unknown (summary.json missing)")]
    if "frame_width" in s and "frame_height" in s:
        facts.append(("frame size", f"{s['frame_width']} x {s['frame_height']} px"
                      + (" (each of the two images)" if cal.layout == "dual" else "")))
    else:
        facts.append(("frame size", "not recorded in this folder's summary.json"))
    if "black_level" in s:
        facts.append(("black level", str(s["black_level"])))
    if st is not None:
        facts.append(("focus channel", f"Bayer channel {st.bayer_channel}; "
                      + ("absolute-sum" if st.focus_abs_sum else "line-pattern")
                      + " focus measure"))
    facts.append(("window grid", f"{cal.cols} x {cal.rows} (cols x rows)"
                  + (f", margin {cfg.win_margin:g} cell" if cfg is not None else "")))
    if cfg is not None:
        facts.append(("gain grid", f"{cfg.gain_cols} x {cfg.gain_rows} (cols x rows), "
                                   f"gain shift {cfg.gain_shift}"))
        taps = " ".join(f"{t:g}" for t in cfg.filter_taps[:cfg.filter_tap_count])
        facts.append(("profile filter", f"{cfg.filter_tap_count} taps [{taps}]"))
        facts.append(("search range", f"max_shift {cfg.max_shift} px"))
    sweep = _lens_text(cal.lens)
    if cal.trim is not None and cal.frames:
        sweep += f"; {cal.trim} trimmed at each end, {cal.frames - 2 * cal.trim} fitted"
    facts.append(("sweep", sweep))
    if cfg is not None:
        limits = np.unique(cfg.dcc_dev_limit[:min(cal.windows, MAX_DCC_WINDOWS)])
        facts.append(("DCC fit", f"shift {cfg.dcc_shift}, min PD range {cfg.min_pd_range} px, "
                      f"residual limit {cfg.residual_limit:g}, zero-PD deviation limit "
                      + ", ".join(f"{v:g}" for v in limits)))
    if f.limits is not None:
        lim = f.limits
        facts.append(("gain limits", f"max gain {lim.max_gain}, level {lim.min_level}.."
                      f"{lim.max_level}, level window {lim.level_window}"))
    if cfg is None:
        facts.append(("settings", "not recorded in this folder's summary.json"))
    keyed = "".join(f"<tr><th>{escape(k)}</th><td>{escape(v)}</td></tr>" for k, v in facts)
    return Html(f'<div class="grid2"><div><h3>Module and settings</h3><table class="facts">'
                f'{keyed}</table></div><div>{status_table(cal)}{verdicts(cal)}</div></div>')


def status_table(cal):
    f, s = cal.f, cal.f.summary or {}
    rows = []

    def word(name, value, dcc_map=False):
        if value is None:
            return
        names = flag_names(value, dcc_map)
        rows.append([name, _hex(value), chips(names, "OK")])
    word("gain map", s.get("gain_status"))
    statuses = s.get("frame_status") if isinstance(s.get("frame_status"), list) else []
    lens = s.get("lens_positions") or []
    for v in dict.fromkeys(statuses):  # one row per distinct word, in order of appearance
        ks = [k for k, x in enumerate(statuses) if x == v]
        if len(ks) == len(statuses) and len(ks) > 1:
            name = f"frames 0-{len(ks) - 1} (all)"
        else:
            name = ("frame " if len(ks) == 1 else "frames ") + _ranges(ks)
            if len(ks) <= 4 and all(k < len(lens) for k in ks):
                name += " (lens " + ", ".join(str(lens[k]) for k in ks) + ")"
        word(name, v)
    if "dcc_status" in s:
        word("DCC map", s["dcc_status"], dcc_map=True)
    elif f.state is not None:
        word("DCC map (the dump's dcc_flags)", f.state.dcc_flags, dcc_map=True)
    if not rows:
        return missing_note(["summary.json", "state_dump.bin"], "status words")
    return Html("<h3>Status words</h3>" + page.table(["call", "status", "flags"], rows))


def _verdict(ok):
    return Html('<span class="pass">PASS</span>' if ok else '<span class="fail">FAIL</span>')


def verdicts(cal):
    f, s = cal.f, cal.f.summary or {}
    out = []
    a = s.get("accuracy")
    if isinstance(a, dict):
        rows = []
        if "median_dcc_error" in a:
            rows.append(["median |DCC error|", f"{100 * a['median_dcc_error']:.2f}% of the true "
                         f"DCC (target at most {100 * a.get('dcc_error_target', 0):.0f}%), "
                         f"worst {100 * a.get('max_dcc_error', 0):.2f}%"])
        if "sign_errors" in a:
            rows.append(["DCC of the wrong sign", f"{a['sign_errors']} windows (target 0)"])
        if "peaks_within_step" in a:
            rows.append(["peak lens within one lens step",
                         f"{a['peaks_within_step']} of {a.get('windows')} windows"])
        if "one_shot_frames" in a:
            rows.append(["one-shot focus within one step",
                         f"{a['one_shot_within_step']} of {a['one_shot_frames']} window-frames, "
                         f"median error {a.get('median_one_shot_error', 0):.1f} lens units"])
        out.append(f"<h3>Accuracy against the ground truth {_verdict(a.get('pass'))}</h3>")
        out.append(page.table(["check", "result"], rows))
    elif cal.truth is not None and cal.dcc is not None:
        err = np.abs(cal.dcc[0] - cal.truth["dcc"]) / np.abs(cal.truth["dcc"])
        out.append("<h3>Accuracy against the ground truth</h3>")
        out.append(f"<p>median |DCC error| {100 * np.median(err):.2f}%, worst "
                   f"{100 * err.max():.2f}% (no verdict: summary.json is missing).</p>")
    note = getattr(cal, "truth_note", None)
    if note:
        out.append(f'<p><span class="missing">truth ignored</span> {escape(note)}</p>')
    v = f.verify
    if isinstance(v, dict) and isinstance(v.get("summary"), dict):
        vs = v["summary"]
        out.append(f"<h3>Verification on a second sweep {_verdict(vs.get('pass'))}</h3>")
        out.append(f"<p>One-shot prediction within one lens step in {vs.get('within_one_step')} "
                   f"of {vs.get('window_frames')} window-frames "
                   f"({100 * float(vs.get('share', 0)):.1f}%), |error| median "
                   f"{float(vs.get('median_abs_error', 0)):.1f}, 95th percentile "
                   f"{float(vs.get('p95_abs_error', 0)):.1f} lens units; reference: "
                   f"{escape(v.get('reference', '?'))}, PD from "
                   f"{escape(v.get('pd_source', '?'))}.</p>")
    if s.get("gain_residual"):
        g = s["gain_residual"]
        out.append(f"<p>Gain map residual (flat field corrected by its own map, left/right - 1 "
                   f"per window): median {100 * g.get('median', 0):.2f}%, worst "
                   f"{100 * g.get('worst', 0):+.2f}%.</p>")
    return Html("".join(out))


def _why(cal, w, name):
    """The numbers behind a window's DCC-map flag."""
    st, cfg = cal.f.state, cal.f.settings
    if st is None:
        return ""
    r, c = divmod(w, cal.cols)
    if name == "dcc_deviation":
        return (f"|{st.zero_pd_offset_norm[r, c]:.4f}| > {st.dcc_dev_limit[r, c]:g} "
                f"(offset {st.zero_pd_offset[r, c]} lens units)")
    if name == "peak_at_end":
        return f"peak {st.peak_lens[r, c]} vs sweep {cal.lens[0]}..{cal.lens[-1]}"
    if name == "pd_range_low" and cfg is not None:
        fitted = _fitted_mask(cal)
        pd = st.pd[fitted, r, c]
        return f"spread {float(pd.max() - pd.min()):.2f} px < {cfg.min_pd_range} px"
    if name == "not_monotonic" and cfg is not None:
        return f"residual {st.fit_residual[r, c]:.4f} > {cfg.residual_limit:g}"
    return ""


def flagged_table(cal):
    if cal.frame_flags is None and cal.fit_flags is None:
        return missing_note(["state_dump.bin", "summary.json"], "per-window flags")
    st = cal.f.state
    rows, present = [], set()
    for w in range(cal.windows):
        frame, fit = cal.flags_of(w)
        if not (frame or fit):
            continue
        r, c = divmod(w, cal.cols)
        frames = []
        if st is not None:
            for name in frame:
                bit = int(name, 16) if name.startswith("0x") else int(Status[name.upper()])
                ks = [k for k in range(cal.frames) if st.flags[k, r, c] & bit]
                frames.append(f"{name}: frame{'s' if len(ks) > 1 else ''} {_ranges(ks)}")
        why = "; ".join(f"{n}: {x}" for n, x in ((n, _why(cal, w, n)) for n in fit) if x)
        rows.append([w, r, c, chips(frame + fit), "; ".join(frames + ([why] if why else []))])
        present.update(frame + fit)
    text = (f"<p>Per-frame flags are the OR over the sweep; the DCC map's checks per window: "
            f"{escape(cal.fit_flags_source or 'not available')}.</p>")
    if not rows:
        return Html(text + "<p>No window raised a flag.</p>")
    legend = "".join(f"<li><code>{escape(n)}</code>: {escape(MEANING.get(n, ''))}</li>"
                     for n in sorted(present))
    return Html(text + page.table(["window", "row", "col", "flags", "where / why"], rows,
                                  cls="flagged") + f"<ul>{legend}</ul>")


def files_table(folder):
    rows = []
    for name, what in FILES:
        word, detail = folder.state_of.get(name, ("missing", ""))
        if word == "read":
            cell = Html('<span class="pass">read</span>' + (f" {escape(detail)}" if detail else ""))
        elif word == "missing":
            optional = " (optional)" if name in OPTIONAL else ""
            cell = Html(f'<span class="missing">missing</span>{optional}')
        else:
            cell = Html(f'<span class="fail">unreadable</span> {escape(detail)}')
        rows.append([Html(f"<code>{escape(name)}</code>"), what, cell])
    return page.table(["file", "holds", "state"], rows)


def consistency(cal):
    """Whether the files that carry the same values agree."""
    f = cal.f
    checks = []
    if f.block is not None and f.dcc is not None:
        same = (f.block.dcc.shape == f.dcc.grid().shape and np.array_equal(f.block.dcc,
                f.dcc.grid()) and f.block.dcc_shift == f.dcc.dcc_shift)
        checks.append(("calibration_block.bin DCC = dccmap.json", same))
    gt = cal.gain_tables()
    if f.block is not None and f.gains is not None and gt is not None and gt[3] == "gainmap.json":
        vertical = cal.layout == "vertical" and f.block.kind != F.SINGLE
        first = f.block.left_v if vertical else f.block.left
        same = first.shape == gt[0].shape and np.array_equal(first, gt[0] * GAIN_UNITY)
        checks.append(("calibration_block.bin gains = gainmap.json", same))
    if f.cof is not None and f.state is not None:
        checks.append(("curve_of_field_block.bin = the dump's peak_lens",
                       f.cof.peak_lens.shape == f.state.peak_lens.shape
                       and np.array_equal(f.cof.peak_lens, f.state.peak_lens)))
    if not checks:
        return Html("")
    return page.table(["the same values in two files", ""],
                      [[n, _verdict(ok)] for n, ok in checks])


def _section(ident, title, body):
    return Html(f'<section id="{ident}"><h2>{escape(title)}</h2>{body}</section>')


def _frame_size(cal):
    s = cal.f.summary or {}
    if isinstance(s.get("frame_width"), int) and isinstance(s.get("frame_height"), int):
        return s["frame_width"], s["frame_height"]
    return None


def _gains_body(cal):
    gt = cal.gain_tables()
    if gt is None:
        return missing_note(["gainmap.json", "calibration_block.bin", "state_dump.bin"],
                            "gain tables")
    first, second, names, source = gt
    return page.figure(gain_figure(cal, first, second, names, _frame_size(cal)),
                       caption=f"Gain tables of the layout over the frame, on one colour "
                       f"scale, and their ratio (1 = equal sensitivity); from {source}.")


def _dcc_body(cal):
    if cal.dcc is None:
        return missing_note(["dccmap.json", "state_dump.bin", "calibration_block.bin"], "DCC")
    cap = (f"DCC per window, lens units per pixel of disparity (from {cal.dcc[1]})"
           + ("; right: (found - true) / true" if cal.truth is not None else "")
           + ". Windows with a flag are outlined in red.")
    return page.figure(dcc_figure(cal), caption=cap)


def _curve_of_field_body(cal):
    if cal.peak is None:
        return missing_note(["curve_of_field_block.bin", "state_dump.bin"], "curve of field")
    cap = (f"Lens position of the focus peak per window (from {cal.peak[1]})"
           + ("; right: difference to the true in-focus position in lens steps of "
              f"{cal.truth['step']:g}" if cal.truth is not None else "") + ".")
    return page.figure(curve_of_field_figure(cal), caption=cap)


def _has_sweep(cal):
    return cal.f.state is not None and cal.frames > 0 and cal.windows > 0


def _sweep_body(cal):
    if not _has_sweep(cal):
        return missing_note(["state_dump.bin"], "per-frame results of the sweep")
    pd_fig = page.figure(
        pd_sweep_figure(cal),
        caption="PD against lens position per window, on one scale: filled dots are the "
                "fitted frames, hollow grey dots the trimmed ones, the line is the fit "
                "(slope 1/DCC through zero_pd_lens); red crosses mark frames with a flag. "
                "Flagged windows are outlined in red with the flag's name.")
    focus_fig = page.figure(
        focus_sweep_figure(cal),
        caption="Focus measure against lens position per window, relative to the window's "
                "largest value (all frames enter the peak search); the dashed red line and "
                "triangle mark the peak lens (sub-step interpolated)"
                + (", the dotted line the true in-focus position" if cal.truth else "") + ".")
    return Html("<h3>Phase disparity</h3>" + pd_fig + "<h3>Focus measure</h3>" + focus_fig)


def _confidence_body(cal):
    if not _has_sweep(cal):
        return missing_note(["state_dump.bin"], "per-frame results of the sweep")
    conf = cal.f.state.confidence
    return page.figure(
        confidence_figure(cal),
        caption=f"Confidence of the disparity per frame and window (0..1024, one scale; here "
                f"{conf.min()}..{conf.max()}); trimmed frames are named in grey.")


SECTIONS = (
    ("flags", "Flagged windows", flagged_table),
    ("gains", "Gain map", _gains_body),
    ("dcc", "Defocus conversion coefficient", _dcc_body),
    ("curve-of-field", "Curve of field", _curve_of_field_body),
    ("sweep", "The sweep, window by window", _sweep_body),
    ("confidence", "PD confidence", _confidence_body),
    ("files", "Files", lambda cal: files_table(cal.f) + consistency(cal)),
)


def _drawn(body, cal):
    """A section's HTML; a file that reads but holds values no section expected
    (a hand-edited summary, say) costs that section, not the page."""
    try:
        return body(cal)
    except Exception as e:  # noqa: BLE001 - the page is written whatever a section meets
        return Html(f'<p><span class="fail">not drawn</span> {escape(type(e).__name__)}: '
                    f"{escape(e)}</p>")


def build(folder_path):
    """The report page of an output folder, as HTML text."""
    f = Folder(folder_path)
    try:
        cal = Calibration(f)
    except (ValueError, TypeError, KeyError, IndexError) as e:
        f.state_of["summary.json"] = ("broken", f"summary.json: {type(e).__name__}: {e}")
        f.summary = f.settings = f.limits = None
        cal = Calibration(f)
    name = escape(os.path.basename(os.path.abspath(folder_path)))
    parts = [f"<h1>Calibration report: {name}</h1>", _drawn(header, cal)]
    parts += [_section(ident, title, _drawn(body, cal)) for ident, title, body in SECTIONS]
    return page.document(f"Calibration report: {name}", Html("\n".join(parts)))


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python3 -m orvane.report",
        description="Writes report.html, one self-contained page, for an output folder of "
                    "orvane demo or orvane calibrate.")
    parser.add_argument("dir", help="the output folder")
    parser.add_argument("--out", help="the page to write (default DIR/report.html)")
    args = parser.parse_args(argv)
    if not os.path.isdir(args.dir):
        print(f"orvane.report: {args.dir}: not a folder", file=sys.stderr)
        return 1
    out = args.out or os.path.join(args.dir, "report.html")
    if not out:
        print("orvane.report: --out is empty", file=sys.stderr)
        return 2
    text = build(args.dir)
    tmp = out + ".tmp"
    try:
        page.write(tmp, text)
        os.replace(tmp, out)
    except OSError as e:
        print(f"orvane.report: {out}: {e.strerror}", file=sys.stderr)
        return 1
    print(out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
