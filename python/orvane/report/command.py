"""The report page's command: the page's sections in order, and
`python3 -m orvane.report DIR [--out FILE]`."""

import argparse
import os
import sys

from .. import page
from ..page import Html, escape
from .figures import (confidence_figure, curve_of_field_figure, dcc_figure, focus_sweep_figure,
                      gain_figure, pd_sweep_figure)
from .model import Calibration, Folder
from .tables import consistency, files_table, flagged_table, header, missing_note
from .verdict import CSS as VERDICT_CSS
from .verdict import banner


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
    offset = cal.zero_pd_offset()
    cap = (f"Lens position of the focus peak per window (from {cal.peak[1]})"
           + ("; then the difference to the true in-focus position in lens steps of "
              f"{cal.truth['step']:g}" if cal.truth is not None else "")
           + (f"; then the zero-PD offset in lens units (from {offset[1]}): a host lands on "
              "focus with lens - DCC x disparity - offset" if offset is not None else "") + ".")
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
    parts = [f"<h1>Calibration report: {name}</h1>", _drawn(lambda cal: banner(cal.f), cal),
             _drawn(header, cal)]
    parts += [_section(ident, title, _drawn(body, cal)) for ident, title, body in SECTIONS]
    return page.document(f"Calibration report: {name}", Html("\n".join(parts)), css=VERDICT_CSS)


def main(argv=None):
    """The command line: writes the page and prints its path; returns the exit status."""
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

