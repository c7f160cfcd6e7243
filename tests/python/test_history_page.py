"""history.html in headless Chromium: six small lots, the last simulated with
its DCC shifted; the page draws its figures and names that lot, and only it,
as beyond the DCC control limits. With ORVANE_SCREENSHOT_DIR set the page's
screenshot is saved there (history.png)."""

import os
import subprocess
import sys

import pytest

from conftest import SANITIZED, cli, run
from headless_chromium import Chromium

SEEN = """
({flagged: Array.from(document.querySelectorAll('#drift-summary .lot')).map(e => e.textContent),
  drift: Array.from(document.querySelectorAll('#lots tbody tr')).map(
      r => [r.cells[1].textContent, r.cells[8].textContent]),
  figures: Array.from(document.querySelectorAll('figure.plot > svg')).map(
      s => s.getBoundingClientRect().height > 50 && s.querySelectorAll('path').length > 10)})
"""


@pytest.mark.skipif(SANITIZED, reason="the page does not depend on the build")
def test_drift_page_names_the_shifted_lot(tmp_path):
    url = "sqlite:///" + str(tmp_path / "history.sqlite")
    lots = [f"L{i}" for i in range(1, 6)] + ["L6 shifted"]
    for seed, lot in enumerate(lots, 1):
        scale = "1.2" if lot.endswith("shifted") else "1.0"
        run(cli(), "simulate", "--lot", "4", "--width", "512", "--height", "384", "--seed",
            str(seed), "--dcc-scale", scale, "--out", str(tmp_path / f"sim{seed}"))
        run(cli(), "batch", str(tmp_path / f"sim{seed}"), "--out", str(tmp_path / lot),
            "--no-page", "--jobs", "1")
        run(cli(), "history", "ingest", str(tmp_path / lot), "--db", url)
    out = tmp_path / "history.html"
    run(sys.executable, "-m", "orvane.history", "page", "--db", url, "--out", str(out))
    with Chromium(tmp_path / "profile", tmp_path / "chromium.log") as browser:
        session = browser.open("file://" + str(out))
        seen = browser.evaluate(session, SEEN)
        png = browser.screenshot(session)
        problems = browser.problems(session)
    folder = os.environ.get("ORVANE_SCREENSHOT_DIR")
    if folder:
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "history.png"), "wb") as f:
            f.write(png)
    assert problems == [], problems
    assert seen["figures"] == [True, True, True], seen
    assert seen["flagged"] == ["L6 shifted"], seen
    dcc_flags = [lot for lot, text in seen["drift"] if "DCC" in text]
    assert dcc_flags == ["L6 shifted"], seen["drift"]
