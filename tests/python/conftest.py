"""Shared set-up of the Python tests; ctest passes the paths in the environment
(see CMakeLists.txt here): PYTHONPATH, ORVANE_LIBRARY, ORVANE_CLI,
ORVANE_C_COMPILER, ORVANE_INCLUDE_DIR, ORVANE_SANITIZE."""

import os
import subprocess
import sys

import pytest

SANITIZED = os.environ.get("ORVANE_SANITIZE", "OFF").upper() in ("1", "ON", "TRUE", "YES")
NEEDS_LIBRARY = pytest.mark.skipif(
    SANITIZED, reason="liborvane is built with AddressSanitizer here: an uninstrumented "
                      "/usr/bin/python3 cannot dlopen it without LD_PRELOAD of the ASan runtime "
                      "(the plain build runs this test)")

# Small frames: the same set calibrates in well under a second.
SIZE = ["--width", "640", "--height", "480"]


def cli():
    path = os.environ.get("ORVANE_CLI")
    if not path:
        pytest.skip("ORVANE_CLI is not set (run through ctest)")
    return path


def run(*args, **kw):
    proc = subprocess.run(list(args), capture_output=True, text=True, **kw)
    assert proc.returncode == 0, f"{args}: exit {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    return proc


@pytest.fixture(scope="session")
def simulated(tmp_path_factory):
    """Per layout: a simulated capture set and `orvane calibrate`'s outputs on it."""
    made = {}

    def get(layout, fmt="raw16"):
        key = (layout, fmt)
        if key not in made:
            root = tmp_path_factory.mktemp(f"{layout}-{fmt}")
            run(cli(), "simulate", "--out", str(root / "set"), "--layout", layout, "--format",
                fmt, *SIZE)
            run(cli(), "calibrate", str(root / "set" / "manifest.json"), "--out",
                str(root / "out"))
            made[key] = root
        return made[key]
    return get


def report(folder, *extra):
    """Runs `python3 -m orvane.report FOLDER [extra]`; returns the page's path and text."""
    proc = subprocess.run([sys.executable, "-m", "orvane.report", str(folder), *extra],
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr
    path = proc.stdout.strip()
    with open(path, encoding="utf-8") as f:
        return path, f.read()

