"""The package leaves reading capture sets to the tool (`orvane capture`): it
takes every frame format the tool takes and refuses what the tool refuses,
with the tool's message."""

import json
import subprocess

import numpy as np
import pytest

import orvane
from conftest import cli, run


@pytest.mark.parametrize("layout,fmt", [("horizontal", "png"), ("vertical", "raw10"),
                                        ("dual", "png")])
def test_every_format_reads_as_the_raw16_set(simulated, layout, fmt):
    a = orvane.load_capture_set(simulated(layout) / "set" / "manifest.json", cli=cli())
    b = orvane.load_capture_set(simulated(layout, fmt) / "set" / "manifest.json", cli=cli())
    assert (a.layout, a.width, a.height, a.black_level) == (b.layout, b.width, b.height,
                                                            b.black_level)
    assert a.settings == b.settings and a.limits == b.limits and a.sensor == b.sensor
    assert a.truth == b.truth and a.truth is not None
    names = ("left", "right") if layout == "dual" else ("raw",)
    assert len(a.frames) == len(b.frames) > 1
    for fa, fb in zip([a.flat] + a.frames, [b.flat] + b.frames):
        assert fa.lens_position == fb.lens_position
        for name in names:
            assert getattr(fa, name).shape == (a.height, a.width)
            assert np.array_equal(getattr(fa, name), getattr(fb, name))


@pytest.mark.parametrize("edit,message", [
    (lambda s: s.update(win_cols=13, win_rows=12), "field 'win_rows'"),
    (lambda s: s.update(filter_tap_count=40), "field 'filter_tap_count'"),
], ids=["window_grid", "filter_taps"])
def test_a_set_the_tool_refuses_is_refused_with_its_message(tmp_path, edit, message):
    run(cli(), "simulate", "--out", str(tmp_path / "set"), "--width", "256", "--height", "192")
    path = tmp_path / "set" / "settings.json"
    settings = json.loads(path.read_text())
    edit(settings)
    path.write_text(json.dumps(settings))
    proc = subprocess.run([cli(), "calibrate", str(tmp_path / "set" / "manifest.json"), "--out",
                           str(tmp_path / "out")], capture_output=True, text=True)
    assert proc.returncode == 1, proc.stderr
    with pytest.raises(orvane.CaptureError) as e:
        orvane.load_capture_set(tmp_path / "set" / "manifest.json", cli=cli())
    assert message in str(e.value)
    assert str(e.value) == proc.stderr.strip().removeprefix("orvane: ")
