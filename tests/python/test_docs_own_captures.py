"""docs/own-captures.md's and the README walk-through's commands run as printed, with this build's tool put in and
without PYTHONPATH or ORVANE_LIBRARY: init, a simulated capture into the skeleton,
calibrate, verify and report."""

import json
import os
import pathlib
import re
import subprocess

from conftest import NEEDS_LIBRARY, cli

ROOT = pathlib.Path(__file__).resolve().parents[2]


@NEEDS_LIBRARY
def test_the_guide_takes_a_newcomer_from_nothing_to_a_report(tmp_path):
    text = (ROOT / "docs" / "own-captures.md").read_text()
    blocks = re.findall(r"```sh\n(.*?)```", text, re.S)
    assert len(blocks) == 1
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "ORVANE_LIBRARY")}
    outputs = []
    for command in blocks[0].splitlines():
        proc = subprocess.run(["sh", "-c", command.replace("build/tools/orvane", cli())],
                              cwd=tmp_path, capture_output=True, text=True, env=env)
        assert proc.returncode == 0, f"{command}\n{proc.stdout}\n{proc.stderr}"
        outputs.append(proc.stdout)

    # init's records are the ones the simulator calibrates its module with.
    for name in ("settings.json", "sensor.json", "limits.json"):
        assert (tmp_path / "my-module" / name).read_bytes() == \
            (tmp_path / "camera" / name).read_bytes(), name
    # The skeleton, filled with the camera's frames, calibrates to what the
    # simulator's own set does.
    manifest = json.loads((tmp_path / "my-module" / "manifest.json").read_text())
    camera = json.loads((tmp_path / "camera" / "manifest.json").read_text())
    assert manifest["frames"] == camera["frames"] and manifest["flat"] == camera["flat"]
    summary = json.loads((tmp_path / "results/my-module/summary.json").read_text())
    assert summary["dcc_status"] == 0, summary
    assert "Verdict: PASS" in outputs[4] and "Verdict: PASS" in outputs[5]
    verdict = json.loads((tmp_path / "results/my-module/verdict.json").read_text())
    one_shot = next(c for c in verdict["checks"] if c["name"] == "verification.one_shot")
    assert one_shot["status"] == "pass", one_shot
    page = (tmp_path / "results/my-module/report.html").read_text()
    assert "<html" in page.lower() and "PASS" in page


@NEEDS_LIBRARY
def test_the_readme_walk_through_runs_as_printed(tmp_path):
    text = (ROOT / "README.md").read_text()
    section = text[text.index("## Calibrate, verify, report"):]
    commands = re.search(r"```sh\n(.*?)```", section, re.S).group(1).splitlines()
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "ORVANE_LIBRARY")}
    for command in commands:
        proc = subprocess.run(["sh", "-c", command.replace("build/tools/orvane", cli())],
                              cwd=tmp_path, capture_output=True, text=True, env=env)
        assert proc.returncode == 0, f"{command}\n{proc.stdout}\n{proc.stderr}"
    verdict = json.loads((tmp_path / "results/sim/verdict.json").read_text())
    assert verdict["verdict"] == "PASS" and verdict["truth"]["pass"], verdict["root_cause"]
    assert "PASS" in (tmp_path / "results/sim/report.html").read_text()
