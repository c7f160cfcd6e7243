"""The report page's tables: the module and its settings, the status words, the
verdicts, the flagged windows with the numbers behind their flags, and the
files with whether those that carry the same values agree."""

import os

import numpy as np

from .. import files
from .. import page
from ..constants import MAX_DCC_WINDOWS
from ..page import Html, escape
from ..status import MEANING, Status
from .model import FILES, GAIN_UNITY, OPTIONAL, flag_names



def chips(names, none="none"):
    """Flag names as chips, or `none` in grey."""
    if not names:
        return Html(f'<span class="muted">{escape(none)}</span>')
    return Html(" ".join(f'<span class="flag">{escape(n)}</span>' for n in names))


def missing_note(names, what):
    """A note that `what` cannot be shown without one of the files `names`."""
    return Html(f'<p><span class="missing">missing</span> {escape(what)}: needs '
                + ", ".join(f"<code>{escape(n)}</code>" for n in names) + ".</p>")


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
    """The module and its settings beside the status words and the verdicts."""
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
    """Every status word the calibration returned, with its flags."""
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
    """The accuracy against the truth, the verification and the gain map's residual, as
    summary.json and verify.json state them."""
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


def pd_spread(cal, r, c):
    """The PD spread over the fitted frames of window (r, c), the value pd_range_low
    compares with min_pd_range, as the tool wrote it (summary.json's fit_checks);
    None when the summary does not carry it."""
    grid = ((cal.f.summary or {}).get("fit_checks") or {}).get("pd_range")
    try:
        return float(grid[r][c])
    except (TypeError, IndexError, KeyError, ValueError):
        return None


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
        spread = pd_spread(cal, r, c)
        return "" if spread is None else f"spread {spread:.2f} px < {cfg.min_pd_range} px"
    if name == "not_monotonic" and cfg is not None:
        return f"residual {st.fit_residual[r, c]:.4f} > {cfg.residual_limit:g}"
    return ""


def flagged_table(cal):
    """The windows with a flag, where (frames) and why (the numbers behind the DCC
    map's checks)."""
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
                frames.append(f"{name}: frame{'s' if len(ks) > 1 else ''} {_ranges(ks)}" if ks
                              else f"{name}: in summary.json's frame_flags, not in the dump")
        why = "; ".join(f"{n}: {x}" for n, x in ((n, _why(cal, w, n)) for n in fit) if x)
        rows.append([w, r, c, chips(frame + fit), "; ".join(frames + ([why] if why else []))])
        present.update(frame + fit)
    source = cal.fit_flags_source or "not available (summary.json has no fit_flags)"
    text = (f"<p>Per-frame flags are the OR over the sweep; the DCC map's checks per window: "
            f"{escape(source)}.</p>")
    if not rows:
        return Html(text + "<p>No window raised a flag.</p>")
    legend = "".join(f"<li><code>{escape(n)}</code>: {escape(MEANING.get(n, ''))}</li>"
                     for n in sorted(present))
    return Html(text + page.table(["window", "row", "col", "flags", "where / why"], rows,
                                  cls="flagged") + f"<ul>{legend}</ul>")


def files_table(folder):
    """Which files were read, which are missing or broken."""
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
        vertical = cal.layout == "vertical" and f.block.kind != files.SINGLE
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

