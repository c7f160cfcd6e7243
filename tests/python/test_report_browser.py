"""The report of a demo run as a person sees it: the page in headless Chromium
loads without errors or outside resources, and every figure is drawn."""

import io
import os
import re

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
