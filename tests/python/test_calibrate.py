"""Whole pipeline: a calibration from Python gives the very bytes `orvane
calibrate` writes, and the readers round-trip what the tool writes."""

import json

import numpy as np
import pytest

import orvane
from conftest import NEEDS_LIBRARY, SANITIZED

LAYOUTS = ["horizontal", "vertical", "dual"]


@NEEDS_LIBRARY
@pytest.mark.parametrize("layout", LAYOUTS)
def test_python_calibration_matches_the_tool_byte_for_byte(simulated, layout, tmp_path):
    root = simulated(layout)
    capture = orvane.load_capture_set(root / "set" / "manifest.json")
    # One line that says what the set holds, not its arrays.
    size = "320x240" if layout == "dual" else "640x480"
    assert repr(capture) == (f"<CaptureSet {layout} {size}, black level 64, 12 sweep frames, "
                             "lens 336..688, with truth>")
    result = orvane.calibrate(capture, dump_path=tmp_path / "state.bin")
    out = root / "out"
    assert result.block == (out / "calibration_block.bin").read_bytes()
    assert result.cof_block == (out / "curve_of_field_block.bin").read_bytes()
    assert result.zero_pd_block == (out / "zero_pd_offset_block.bin").read_bytes()
    assert result.state_dump == (out / "state_dump.bin").read_bytes()
    assert (tmp_path / "state.bin").read_bytes() == result.state_dump
    # The records equal the tool's JSON, and print as the tool prints them.
    assert result.gains == orvane.gainmap.load(out / "gainmap.json")
    assert orvane.json_text(result.dcc.to_json()) == (out / "dccmap.json").read_text()
    assert orvane.json_text(result.gains.to_json()) == (out / "gainmap.json").read_text()
    summary = json.loads((out / "summary.json").read_text())
    assert int(result.gain_status) == summary["gain_status"]
    assert [int(s) for s in result.frame_status] == summary["frame_status"]
    assert int(result.dcc_status) == summary["dcc_status"]


@NEEDS_LIBRARY
@pytest.mark.parametrize("layout", LAYOUTS)
def test_zero_pd_offsets_follow_the_pair_geometry(simulated, layout):
    out = simulated(layout) / "out"
    block = (out / "zero_pd_offset_block.bin").read_bytes()
    offsets = orvane.read_zero_pd_offset_block(block)
    state = orvane.read_state_dump(out / "state_dump.bin")
    assert np.array_equal(offsets.offset, state.zero_pd_offset)
    if layout == "dual":  # the two photodiodes share a pixel: no pair offset
        assert np.abs(offsets.offset).max() <= 4
    else:  # a pair's one-pixel offset, times the DCC of 13..17 lens units per pixel
        assert 8 <= np.median(offsets.offset) <= 20
    damaged = block[:-1] + bytes([(block[-1] + 1) % 256])
    for bad in (damaged, block[:-1], b""):
        with pytest.raises(orvane.BlockError):
            orvane.read_zero_pd_offset_block(bad)


@pytest.mark.parametrize("layout", LAYOUTS)
def test_readers_round_trip_the_tools_files(simulated, layout):
    root = simulated(layout)
    out, capture_dir = root / "out", root / "set"
    gains = orvane.gainmap.load(out / "gainmap.json")
    dcc = orvane.dccmap.load(out / "dccmap.json")

    block = orvane.read_block(out / "calibration_block.bin")
    assert block.kind == "single"
    vertical = layout == "vertical"
    first, second = ("left_v", "right_v") if vertical else ("left", "right")
    assert np.array_equal(block.left, gains.grid(first))
    assert np.array_equal(block.right, gains.grid(second))
    assert np.array_equal(block.dcc, dcc.grid())
    assert (block.dcc_shift, block.win_cols, block.win_rows) == \
        (dcc.dcc_shift, dcc.win_cols, dcc.win_rows)

    dump = orvane.read_state_dump(out / "state_dump.bin")
    settings = orvane.cal_settings.load(capture_dir / "settings.json")
    assert dump.pd.shape == (settings.sweep_frames, settings.win_rows, settings.win_cols)
    assert dump.sad_curve.shape == dump.pd.shape + (101,)
    assert np.array_equal(dump.dcc, dcc.grid())
    assert dump.gain_left.shape == (settings.gain_rows, settings.gain_cols)
    assert np.array_equal(dump.gain_left, gains.grid(first))
    lens = [f["lens_position"] for f in json.loads(
        (capture_dir / "manifest.json").read_text())["frames"]]
    assert dump.lens_position.tolist() == lens
    assert dump.frames_added == len(lens) and dump.dump_tag == settings.dump_tag
    assert np.array_equal(dump.dcc_dev_limit.reshape(-1),
                          settings.dcc_dev_limit[:settings.win_rows * settings.win_cols])
    cof = orvane.read_block(out / "curve_of_field_block.bin")
    assert np.array_equal(cof.peak_lens, dump.peak_lens)

    # The set's own records: the Python JSON text is the tool's, and the raw
    # bytes read back to the same record.
    for cls, name in [(orvane.cal_settings, "settings.json"), (orvane.gain_limits, "limits.json"),
                      (orvane.sensor_cfg, "sensor.json")]:
        path = capture_dir / name
        if not path.exists():
            continue
        record = cls.load(path)
        assert orvane.json_text(record.to_json()) == path.read_text()
        assert cls.from_bytes(record.to_bytes()) == record

    if SANITIZED:
        return  # the rest needs the library's writers
    # Written again by the library's writers, from what the readers parsed.
    assert block.to_bytes(vertical_tables=vertical) == \
        (out / "calibration_block.bin").read_bytes()
    status, read_gains, read_dcc = orvane.read_calibration_block(block.to_bytes(vertical))
    assert status == orvane.Status.OK
    read_dcc.version = 4  # the library's reader leaves the version byte alone
    assert read_dcc == block.dccmap()
    assert np.array_equal(read_gains.grid("left"), block.left)
    assert np.array_equal(read_gains.grid("right"), block.right)
    # Both layouts, with and without the vertical DCC, through the library's writers.
    both = orvane.calibration_block_horizontal_vertical(gains, dcc, gains, dcc)
    without = orvane.calibration_block_horizontal_vertical_without_dcc(gains, dcc, gains)
    parsed = orvane.read_block(both)
    assert parsed.kind == "horizontal_vertical"
    assert np.array_equal(parsed.left_v, gains.grid("left_v"))
    assert np.array_equal(parsed.dcc_v, dcc.grid())
    assert parsed.to_bytes() == both
    parsed = orvane.read_block(without)
    assert parsed.kind == "horizontal_vertical_without_dcc" and parsed.dcc_v is None
    assert parsed.to_bytes() == without


@NEEDS_LIBRARY
@pytest.mark.parametrize("layout", ["horizontal", "dual"])
def test_readouts_and_the_sensor_check_agree_with_the_sweep(simulated, layout):
    capture = orvane.load_capture_set(simulated(layout) / "set" / "manifest.json")
    result = orvane.calibrate(capture)
    state = result.state()
    frame = capture.frames[1]
    with orvane.Context(capture.settings) as ctx:
        if layout == "dual":
            left, right = frame.left.copy(), frame.right.copy()
            status, pd = ctx.get_raw_pd_2pd(left, right, capture.black_level, result.gains)
            assert not np.array_equal(right, frame.right)  # corrected in place
        else:
            status, pd = ctx.get_raw_pd(frame.raw, capture.sensor, result.gains)
    # The readout measures into slot 1, as the sweep's frame 1 was measured.
    assert status == orvane.Status(int(result.frame_status[1]) & ~orvane.Status.FOCUS_FAILED)
    assert (pd.cols, pd.rows) == (capture.settings.win_cols, capture.settings.win_rows)
    assert np.array_equal(pd.grid(), state.pd[1])
    assert pd == orvane.pd_map.from_json(pd.to_json())
    if layout == "dual":
        return
    # The extracted PD images, against a plain numpy extraction of the pairs
    # (distinct left columns, one row per block row).
    cfg = capture.sensor
    status, left, right = orvane.validate_sensor_cfg(frame.raw, cfg)
    n = cfg.pair_count
    rows = (cfg.image_height - 2 * cfg.margin_y) // cfg.block_height
    cols = (cfg.image_width - 2 * cfg.margin_x) // cfg.block_width
    for image, xs, ys in ((left, cfg.left_x, cfg.left_y), (right, cfg.right_x, cfg.right_y)):
        order = np.lexsort((ys[:n], xs[:n]))  # each table sorted by column, then row
        y = cfg.margin_y + np.arange(rows)[:, None, None] * cfg.block_height + ys[:n][order]
        x = cfg.margin_x + np.arange(cols)[None, :, None] * cfg.block_width + xs[:n][order]
        assert status == 0
        assert np.array_equal(image, frame.raw[y, x].reshape(rows, cols * n))
    assert orvane.lib_features().startswith("Features:\n")
