"""The calibration report as a person sees it: a demo run's page in headless
Chromium, and the flags of a flagged calibration by name on its page."""

import io
import json
import os
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest
from matplotlib import image as mpimg

from conftest import SANITIZED, SIZE, cli, run
from headless_chromium import Chromium

# Each section of the page and the figures it must hold.
FIGURES = {"gains": 1, "dcc": 1, "curve-of-field": 1, "sweep": 2, "confidence": 1}

MEASURE = """
Array.from(document.querySelectorAll('section')).map(s => ({
  id: s.id,
  figures: Array.from(s.querySelectorAll('figure.plot > svg, figure.plot > img')).map(e => {
    const r = e.getBoundingClientRect();
    return {tag: e.tagName, x: r.left + window.scrollX, y: r.top + window.scrollY,
            w: r.width, h: r.height, parts: e.querySelectorAll('path, text, image').length,
            loaded: e.tagName !== 'IMG' || (e.complete && e.naturalWidth > 0)};
  })
}))
"""


def report(folder, *extra):
    proc = subprocess.run([sys.executable, "-m", "orvane.report", str(folder), *extra],
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr
    path = proc.stdout.strip()
    with open(path, encoding="utf-8") as f:
        return path, f.read()


def ink(pixels):
    """Share of pixels that are not near white, and the spread of their grey values."""
    grey = pixels[..., :3].mean(axis=-1)
    return float((grey < 0.9).mean()), float(grey.std())


@pytest.mark.skipif(SANITIZED, reason="the page does not depend on the build; the plain build "
                                      "renders it (the tool under the sanitizers is covered by "
                                      "its own tests)")
def test_demo_report_renders_in_chromium(tmp_path):
    out = tmp_path / "demo"
    run(cli(), "demo", "--out", str(out))
    path, text = report(out)
    assert path == str(out / "report.html")
    # Self-contained: nothing on the page points at another file or host.
    assert not re.search(r'(src|href)="(?!data:|#)', text), "a resource outside the page"
    assert "url(" not in text.replace("url(#", "")

    shot_dir = os.environ.get("ORVANE_TEST_OUTPUT", str(tmp_path))
    shot = os.path.join(shot_dir, "report_screenshot.png")
    with Chromium(tmp_path / "profile", tmp_path / "chromium.log") as browser:
        session = browser.open("file://" + os.path.abspath(path))
        sections = {s["id"]: s["figures"] for s in browser.evaluate(session, MEASURE)}
        broken = browser.evaluate(session, "document.querySelectorAll('.missing, .fail').length")
        png = browser.screenshot(session)
        problems = browser.problems(session)
    with open(shot, "wb") as f:
        f.write(png)

    assert problems == [], problems
    assert broken == 0, "the demo folder should read completely and pass"
    pixels = mpimg.imread(io.BytesIO(png), format="png")
    height, width = pixels.shape[:2]
    assert width >= 1200 and height > 3000, (width, height)
    covered, spread = ink(pixels)
    assert covered > 0.05 and spread > 0.05, (covered, spread)

    for ident, count in FIGURES.items():
        figures = sections.get(ident)
        assert figures is not None and len(figures) == count, (ident, figures)
        for fig in figures:
            assert fig["loaded"] and fig["w"] >= 600 and fig["h"] >= 200, (ident, fig)
            assert fig["tag"] != "svg" or fig["parts"] > 40, (ident, fig)
            # What the browser drew there is a figure, not an empty box.
            y0, x0 = int(fig["y"]), int(fig["x"])
            region = pixels[y0:y0 + int(fig["h"]), x0:x0 + int(fig["w"])]
            covered, spread = ink(region)
            assert covered > 0.05 and spread > 0.05, (ident, covered, spread)


def tool_flags(stdout):
    """Window -> flag names, from the per-window table `orvane calibrate` prints."""
    flags = {}
    for line in stdout.splitlines():
        # win row col  DCC true error  peak in-foc diff  conf flags...
        m = re.match(r"\s*(\d+)\s+\d+\s+\d+\s+\S+\s+\S+\s+\S+%\s+\S+\s+\S+\s+\S+\s+\d+\s+(.*)$",
                     line)
        if m:
            names = m.group(2).split()
            flags[int(m.group(1))] = [] if names == ["none"] else names
    return flags


def page_flags(text):
    """Window -> flag names, from the page's table of flagged windows."""
    table = re.search(r'<table class="flagged">(.*?)</table>', text, re.S)
    flags = {}
    for row in re.findall(r"<tr>(.*?)</tr>", table.group(1) if table else "", re.S):
        cells = re.findall(r"<td[^>]*>(.*?)</td>", row, re.S)
        if cells:
            flags[int(cells[0])] = re.findall(r'<span class="flag">([^<]*)</span>', cells[3])
    return flags


def section(text, ident):
    m = re.search(rf'<section id="{ident}">(.*?)</section>', text, re.S)
    assert m, ident
    return m.group(1)


def test_flagged_windows_by_name(tmp_path):
    root = tmp_path
    run(cli(), "simulate", "--out", str(root / "set"), *SIZE)
    settings = json.loads((root / "set" / "settings.json").read_text())
    windows = settings["win_rows"] * settings["win_cols"]
    # A limit no offset can meet in every third window, and a search range the
    # sweep's ends overrun.
    settings["dcc_dev_limit"] = [0.001 if w % 3 == 0 else 0.5 for w in range(windows)]
    settings["max_shift"] = 15
    (root / "tight.json").write_text(json.dumps(settings))
    out = root / "out"
    proc = run(cli(), "calibrate", str(root / "set" / "manifest.json"), "--settings",
               str(root / "tight.json"), "--out", str(out))
    expected = tool_flags(proc.stdout)
    assert len(expected) == windows
    deviating = [w for w, names in expected.items() if "dcc_deviation" in names]
    assert deviating == list(range(0, windows, 3))
    assert any("pd_at_edge" in names for names in expected.values())
    flagged = {w: names for w, names in expected.items() if names}

    _, text = report(out)
    assert page_flags(text) == flagged
    assert re.search(r"DCC map</td><td>0x00000200</td><td><span class=\"flag\">dcc_deviation",
                     text)
    # Each flagged window's panels (PD and focus) carry its flags by name.
    sweep = section(text, "sweep")
    for name in ("dcc_deviation", "pd_at_edge"):
        panels = sum(name in names for names in flagged.values())
        assert len(re.findall(rf">\s*{name}\s*<", sweep)) == 2 * panels, name

    # Without the summary's per-window checks, the page works them out from the
    # dump with the settings and must name the same flags.
    no_checks = root / "no-checks"
    shutil.copytree(out, no_checks)
    summary = json.loads((no_checks / "summary.json").read_text())
    del summary["fit_flags"]
    (no_checks / "summary.json").write_text(json.dumps(summary))
    _, text = report(no_checks)
    assert page_flags(text) == flagged
    assert "worked out again from state_dump.bin." in text

    # A broken folder: no summary, a block that fails its checksum. The page
    # still names the flags, from the dump alone, and what is wrong.
    broken = root / "broken"
    shutil.copytree(out, broken)
    (broken / "summary.json").unlink()
    block = bytearray((broken / "calibration_block.bin").read_bytes())
    block[10] ^= 0x01
    (broken / "calibration_block.bin").write_bytes(bytes(block))
    _, text = report(broken, "--out", str(root / "broken.html"))
    assert page_flags(text) == flagged
    files = section(text, "files")
    assert re.search(r"summary\.json</code></td><td>[^<]*</td><td><span class=\"missing\">",
                     files)
    assert re.search(r"calibration_block\.bin</code></td><td>[^<]*</td><td><span "
                     r"class=\"fail\">unreadable</span>[^<]*checksum", files)
    assert "not_monotonic and pd_range_low not checked" in text
