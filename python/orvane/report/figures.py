"""The report page's figures: window-grid heat maps, the gain tables, the DCC and
the curve of field, the sweep window by window and the PD confidence. Each
function returns a matplotlib Figure; page.figure() embeds it."""

import numpy as np
from matplotlib.colors import TwoSlopeNorm
from matplotlib.figure import Figure
from matplotlib.patches import Rectangle
from matplotlib.ticker import MaxNLocator

from ..status import Status
from .model import fitted_mask

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
    """The layout's two gain tables over the frame on one colour scale, and their ratio."""
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
    # Centred on 1 (equal sensitivity), each side reaching the data's own end:
    # a symmetric span would run below 0 where a ratio never goes.
    finite = ratio[np.isfinite(ratio)]
    lo = min(float(finite.min()) if finite.size else 1.0, 1 - 0.005)
    hi = max(float(finite.max()) if finite.size else 1.0, 1 + 0.005)
    im = axes[2].imshow(ratio, cmap="RdBu_r", norm=TwoSlopeNorm(1.0, lo, hi), extent=extent,
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
    """The DCC per window and, with a truth, its error in percent."""
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
    """The peak lens per window and, with a truth, its distance to the true one in lens steps."""
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
    offset = cal.zero_pd_offset()
    if offset is not None:
        span = _symmetric(offset[0], 1.0)
        panels.append(dict(values=offset[0], title="zero-PD offset (zero_pd_lens - peak_lens)",
                           unit="lens units", fmt=lambda v: _signed(v, 0), cmap="PuOr_r",
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
    """PD against lens position, one panel per window, with the fitted line."""
    st = cal.f.state
    fig, axes = _small_multiples(cal)
    fitted = fitted_mask(cal)
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
        _crosses(ax, lens, pd, bad)
        ax.axhline(0, color="#bbbbbb", lw=0.6, zorder=0)
        _finish_panel(ax, cal, w)
    return _finish_grid(fig, axes, "PD (px)")


def focus_sweep_figure(cal):
    """The focus measure against lens position, one panel per window, with the peak."""
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
        _crosses(ax, lens, focus, st.flags[:, r, c] != 0)
        failed = (st.flags[:, r, c] & int(Status.FOCUS_FAILED)) != 0
        if failed.any():
            # The curve of such frames is no focus measure; the panel says so.
            ax.text(0.5, 0.5, f"focus failed\nin {failed.sum()} of {len(failed)} frames",
                    transform=ax.transAxes, ha="center", va="center", fontsize=8,
                    color="#b00000", fontweight="bold", zorder=5,
                    bbox=dict(facecolor="white", alpha=0.85, edgecolor="#d00000", pad=2))
        peak = st.peak_lens[r, c]
        ax.axvline(peak, color="#d62728", lw=1, ls="--", label="peak lens")
        ax.plot([peak], [1.0], "v", color="#d62728", ms=5)
        if cal.truth is not None:
            ax.axvline(cal.truth["focus"][r, c], color="#444444", lw=0.8, ls=":",
                       label="true in-focus")
        _finish_panel(ax, cal, w)
    return _finish_grid(fig, axes, "focus / max")


def _crosses(ax, x, y, bad):
    """Red crosses on the frames with a flag, above the dots; a frame without a
    value gets its cross on the panel's lower edge."""
    if not bad.any():
        return
    y = np.where(np.isfinite(y), y, np.nan)
    ok = bad & np.isfinite(y)
    ax.plot(x[ok], y[ok], "x", ms=6, mew=1.6, color="#d00000", zorder=4, label="frame flagged")
    gone = bad & ~np.isfinite(y)
    if gone.any():
        ax.plot(x[gone], np.zeros(gone.sum()), "x", ms=6, mew=1.6, color="#d00000", zorder=4,
                clip_on=False, transform=ax.get_xaxis_transform(), label="frame flagged")


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
    """The PD confidence per frame and window."""
    st = cal.f.state
    conf = st.confidence.reshape(cal.frames, cal.windows).astype(np.float64)
    fig = Figure(figsize=(12, 0.32 * cal.frames + 1.6), layout="constrained")
    ax = fig.subplots()
    im = ax.imshow(conf, cmap="viridis", vmin=0, vmax=1024, aspect="auto",
                   interpolation="nearest")
    fitted = fitted_mask(cal)
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

