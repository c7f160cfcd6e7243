"""The Python example of docs/python.md is examples/python_calibrate.py, and it
runs as printed: the page's two commands, with this build's paths put in."""

import os
import pathlib
import re
import subprocess

import numpy as np

import orvane
from conftest import NEEDS_LIBRARY, cli

ROOT = pathlib.Path(__file__).resolve().parents[2]


def docs_section():
    text = (ROOT / "docs" / "python.md").read_text()
    return text[:text.index("## The calibration report\n")]


def test_the_docs_show_the_example_file_verbatim():
    blocks = re.findall(r"```python\n(.*?)```", docs_section(), re.S)
    example = (ROOT / "examples" / "python_calibrate.py").read_text()
    assert blocks == [example]
    assert len(example.splitlines()) <= 20


@NEEDS_LIBRARY
def test_the_docs_commands_run_the_example(tmp_path):
    commands = re.search(r"```sh\n(.*?)```", docs_section(), re.S).group(1).splitlines()
    assert len(commands) == 2
    paths = {"build/tools/orvane": cli(), "build/liborvane.so": os.environ["ORVANE_LIBRARY"],
             "PYTHONPATH=python": f"PYTHONPATH={ROOT / 'python'}",
             "examples/": f"{ROOT / 'examples'}/"}
    for command in commands:
        for printed, here in paths.items():
            command = command.replace(printed, here)
        proc = subprocess.run(["sh", "-c", command], cwd=tmp_path, capture_output=True,
                              text=True, env={k: v for k, v in os.environ.items()
                                              if k not in ("PYTHONPATH", "ORVANE_LIBRARY")})
        assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    assert "DCC per window (fixed point, 10 fraction bits):" in out
    # What it printed is what the files it wrote hold.
    state = orvane.read_state_dump(tmp_path / "state_dump.bin")
    assert str(state.dcc) in out and str(state.peak_lens) in out
    assert "PD per frame and window: (12, 2, 3)" in out
    assert np.all(state.dcc != 0)
