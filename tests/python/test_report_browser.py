"""The report as a person sees it: the demo's page in headless Chromium loads
without errors or outside resources and every figure is drawn; the verdict
banner opens the page of a passing, a failing and an unjudged module.

With ORVANE_SCREENSHOT_DIR set, each page's screenshot is saved there too
(report_<case>.png)."""

import io
import json
import os
import re
import shutil

import pytest
from matplotlib import image as mpimg

from conftest import SANITIZED, cli, report, run
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

# Tables wider than the box they sit in (they would cover their neighbours).
SPILLED = """
Array.from(document.querySelectorAll('table')).filter(t =>
  t.getBoundingClientRect().right > t.parentElement.getBoundingClientRect().right + 1
).map(t => t.className || t.parentElement.tagName)
"""


def save_screenshot(case, png):
    folder = os.environ.get("ORVANE_SCREENSHOT_DIR")
    if folder:
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, f"report_{case}.png"), "wb") as f:
            f.write(png)


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
        spilled = browser.evaluate(session, SPILLED)
        png = browser.screenshot(session)
        problems = browser.problems(session)
    with open(shot, "wb") as f:
        f.write(png)
    save_screenshot("demo", png)

    assert problems == [], problems
    assert broken == 0, "the demo folder should read completely and pass"
    assert spilled == [], "tables running over their column: " + str(spilled)
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


BANNER = """
(() => {
  const v = document.getElementById('verdict');
  const r = v.getBoundingClientRect();
  const texts = sel => Array.from(v.querySelectorAll(sel)).map(e => e.textContent.trim());
  return {top: r.top + window.scrollY, bottom: r.bottom + window.scrollY,
          first: document.querySelector('h1').nextElementSibling === v,
          word: v.querySelector('.word').textContent, text: v.innerText,
          failed_first: texts('li > .fail'), consequences: texts('li > .consequence'),
          not_run: texts('li > .not-run'),
          flagged: Array.from(document.querySelectorAll('table.flagged tr')).map(
            t => Array.from(t.querySelectorAll('.flag')).map(e => e.textContent)),
          focus_notes: Array.from(document.querySelectorAll('#sweep svg text')).filter(
            t => t.textContent.startsWith('focus failed')).length,
          gain_ticks: Array.from(document.querySelectorAll('#gains svg text')).map(
            t => t.textContent)};
})()
"""


@pytest.fixture(scope="module")
def modules(tmp_path_factory):
    """A simulated lot of three: the module with strong PD shading (its flat field
    fails and the sweep after it) and a good one, each calibrated on its own."""
    root = tmp_path_factory.mktemp("modules")
    run(cli(), "simulate", "--lot", "3", "--width", "512", "--height", "384", "--seed", "7",
        "--out", str(root / "lot"))
    faults = dict(line.split(",")[:2] for line in
                  (root / "lot" / "lot_truth.csv").read_text().splitlines()[1:])
    out = {}
    for case, fault in (("fail", "strong_shading"), ("pass", "none")):
        module = next(m for m, f in faults.items() if f == fault)
        out[case] = root / case
        run(cli(), "calibrate", str(root / "lot" / module / "manifest.json"), "--out",
            str(out[case]))
    shutil.copytree(out["fail"], root / "none")
    (root / "none" / "verdict.json").unlink()
    out["none"] = root / "none"
    return out


@pytest.mark.skipif(SANITIZED, reason="the page does not depend on the build")
@pytest.mark.parametrize("case,word", [("fail", "FAIL"), ("pass", "PASS"),
                                       ("none", "No verdict")])
def test_the_verdict_banner_opens_the_page(modules, case, word, tmp_path):
    folder = modules[case]
    path, _ = report(folder)
    with Chromium(tmp_path / "profile", tmp_path / "chromium.log") as browser:
        session = browser.open("file://" + os.path.abspath(path))
        seen = browser.evaluate(session, BANNER)
        save_screenshot(case, browser.screenshot(session))
        problems = browser.problems(session)
    assert problems == [], problems
    # Right under the title, in the first screen.
    assert seen["first"] and seen["top"] < 150 and seen["word"] == word, seen
    assert seen["bottom"] < 900 or case == "fail", seen
    if case == "none":
        assert "orvane calibrate MANIFEST --out DIR --acceptance FILE" in seen["text"]
        assert seen["failed_first"] == seen["consequences"] == []
        return
    v = json.loads((folder / "verdict.json").read_text())
    # Not run is said as not run, never as passed.
    assert seen["not_run"] == [c["name"] for c in v["checks"] if c["status"] == "not_run"] != []
    truth = "Against the ground truth " + ("PASS" if v["truth"]["pass"] else "FAIL")
    assert truth in seen["text"]
    if case == "pass":
        assert seen["failed_first"] == seen["consequences"] == [] and "Root cause" not in \
            seen["text"]
        assert seen["focus_notes"] == 0
        return
    # What failed first, in words, and what followed from it apart, as verdict.json says.
    rc = v["root_cause"]
    assert rc["stage"] == "gain_map"
    assert f"Root cause: {rc['title']}. {rc['text']}" in seen["text"]
    assert seen["failed_first"] == rc["checks"]
    assert seen["consequences"] == v["consequences"] != []
    assert "focus.flag.focus_failed" in seen["consequences"]
    # Below: every window lists focus_failed, each of its focus panels says so, and
    # the gain ratio's colour scale has no negative ticks.
    rows = [names for names in seen["flagged"] if names]
    assert rows and all("focus_failed" in names for names in rows), rows
    assert seen["focus_notes"] == len(rows)
    ticks = [float(t.replace("\u2212", "-")) for t in seen["gain_ticks"]
             if re.fullmatch(r"[\u2212-]?\d+(\.\d+)?", t)]
    assert ticks and min(ticks) >= 0, ticks
