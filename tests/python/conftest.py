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


def hand_verdicts(folder):
    """Until `orvane calibrate` and `orvane batch` write them: verdict.json in every
    calibrated module folder under `folder` (or in `folder` itself) and lot.csv's
    verdict columns, made by hand from summary.json's flags (one failing check per
    flag, a stage's flags failing it). Folders that already have them are left alone."""
    import csv
    import io
    import json
    import pathlib

    import numpy as np
    from orvane.status import Status

    def names(word, dcc_map=False):
        return [] if not word else [n.lower() for n in Status(int(word)).names(dcc_map=dcc_map)]

    def verdict(module):
        s = json.loads((module / "summary.json").read_text())
        frame = names(np.bitwise_or.reduce(np.ravel(s["frame_flags"])))
        fit = names(np.bitwise_or.reduce(np.ravel(s["fit_flags"])), dcc_map=True)
        flags = {"gain_map": names(s["gain_status"]), "focus": [n for n in frame if n == "focus_failed"],
                 "intake": [n for n in frame if n != "focus_failed"], "dcc_fit": fit}
        titles = {"gain_map": "flat field and gain map", "intake": "frame intake", "focus": "focus",
                  "dcc_fit": "DCC fit", "verification": "verification"}
        worst = abs(s["gain_residual"]["worst"])
        checks = [{"name": "gain_map.residual", "stage": "gain_map", "status": "pass",
                   "consequence": False, "value": worst, "limit": 0.02, "relation": "<=",
                   "unit": "fraction", "text": f"worst gain residual {100 * worst:.2f} % <= 2.00 %"}]
        root = None
        for stage in titles:
            for n in flags.get(stage, []):
                root = root or stage
                checks.append({"name": f"{stage}.flag.{n}", "stage": stage, "status": "fail",
                               "consequence": stage != root, "value": None, "limit": None,
                               "relation": None, "unit": "windows", "text": f"{n} raised"})
        checks.append({"name": "verification.one_shot_share", "stage": "verification",
                       "status": "not_run", "consequence": False, "value": None, "limit": 0.9,
                       "relation": ">=", "unit": "fraction",
                       "text": "not run: no verification sweep was captured"})
        failed = [c["name"] for c in checks if c["status"] == "fail"]
        after = [c["name"] for c in checks if c["status"] == "fail" and c["consequence"]]
        first = [n for n in failed if n not in after]
        v = {"verdict": "FAIL" if root else "PASS", "acceptance": "defaults", "root_cause": None,
             "stages": [{"stage": k, "title": t} for k, t in titles.items()], "checks": checks,
             "failed_checks": failed, "consequences": after, "truth": None}
        if root:
            v["root_cause"] = {"stage": root, "title": titles[root], "checks": first,
                               "text": f"The {titles[root]} failed first: {' '.join(first)}; "
                                       f"what followed: {' '.join(after) or 'nothing'}."}
        acc = s.get("accuracy")
        if isinstance(acc, dict):
            v["truth"] = {"pass": bool(acc["pass"]), "checks": [
                {"name": "truth.median_dcc_error", "stage": "truth",
                 "status": "pass" if acc["median_dcc_error"] <= acc["dcc_error_target"] else "fail",
                 "consequence": False, "value": acc["median_dcc_error"],
                 "limit": acc["dcc_error_target"], "relation": "<=", "unit": "fraction",
                 "text": f"median DCC error {100 * acc['median_dcc_error']:.2f} %"}]}
        return v

    folder = pathlib.Path(folder)
    modules = [p.parent for p in folder.glob("**/summary.json")]
    for module in modules:
        if not (module / "verdict.json").exists():
            (module / "verdict.json").write_text(json.dumps(verdict(module), indent=1))
    table = folder / "lot.csv"
    if table.exists():
        rows = list(csv.DictReader(io.StringIO(table.read_text())))
        if rows and "root_cause" not in rows[0]:
            fields = list(rows[0])
            fields[fields.index("verdict") + 1:1] = ["root_cause", "failed_checks"]
            out = io.StringIO()
            w = csv.DictWriter(out, fields, lineterminator="\n")
            w.writeheader()
            for r in rows:
                r["verdict"] = r["verdict"].upper()
                if r["verdict"] == "ERROR":
                    r["root_cause"], r["failed_checks"] = "error", ""
                else:
                    v = json.loads((folder / r["module"] / "verdict.json").read_text())
                    rc = v["root_cause"] or {}
                    r["root_cause"] = rc.get("stage", "")
                    r["failed_checks"] = " ".join(rc.get("checks", []))
                w.writerow(r)
            table.write_text(out.getvalue())
