"""Bad arrays and bad records are refused with a message naming the argument or
field, before any call; the hard failure surfaces as OrvaneError."""

import numpy as np
import pytest

import orvane
from conftest import NEEDS_LIBRARY


def small_set():
    """A tiny horizontal layout: 64 x 48 frame, 16 x 16 blocks, two pairs."""
    cfg = orvane.sensor_cfg(image_width=64, image_height=48, black_level=64, block_width=16,
                            block_height=16, margin_x=0, margin_y=0, pair_count=2,
                            left_x=[2, 10], left_y=[3, 3], right_x=[3, 11], right_y=[3, 3],
                            bayer_channel=1)
    settings = orvane.cal_settings(gain_rows=2, gain_cols=2, gain_shift=9, win_rows=1,
                                   win_cols=1, dcc_shift=4, filter_taps=[1.0],
                                   filter_tap_count=1, sweep_frames=3, max_shift=2,
                                   dcc_dev_limit=[1.0], residual_limit=1.0, pd_pitch_2pd=1,
                                   lens_min=0.0, lens_max=1023.0)
    return cfg, settings


def frame(shape=(48, 64)):
    return np.full(shape, 400, dtype=np.uint16)


def bad_arrays():
    good = frame()
    return [
        ("list", good.tolist(), TypeError, "raw: expected a numpy array of uint16"),
        ("int32", good.astype(np.int32), TypeError, "raw: expected dtype uint16"),
        ("big-endian", good.astype(">u2"), TypeError, "raw: expected dtype uint16"),
        ("float", good.astype(np.float32), TypeError, "raw: expected dtype uint16"),
        ("1-D", good.reshape(-1), ValueError, "raw: expected a 2-D image"),
        ("transposed shape", frame((64, 48)), ValueError, "raw: expected shape (48, 64)"),
        ("non-contiguous", frame((48, 128))[:, ::2], ValueError, "raw: the array is not "
                                                                 "C-contiguous"),
        ("Fortran order", np.asfortranarray(good), ValueError, "raw: the array is not "
                                                               "C-contiguous"),
    ]


@NEEDS_LIBRARY
@pytest.mark.parametrize("what, value, error, message", bad_arrays(),
                         ids=[a[0] for a in bad_arrays()])
def test_bad_arrays_are_refused_naming_the_argument(what, value, error, message):
    cfg, settings = small_set()
    with orvane.Context(settings) as ctx:
        for call in (lambda: ctx.get_gainmap(value, cfg, orvane.gain_limits()),
                     lambda: ctx.add_raw(0, 100, value, cfg, orvane.gainmap()),
                     lambda: ctx.get_raw_pd(value, cfg, orvane.gainmap()),
                     lambda: orvane.validate_sensor_cfg(value, cfg)):
            with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
                call()
        # Nothing reached the library: no frame was counted.
        assert ctx.get_dccmap()[1].version == 4
        status, _ = ctx.get_dccmap(raw_status=True)
        assert status & orvane.Status.TOO_FEW_FRAMES


@NEEDS_LIBRARY
def test_in_place_images_must_be_writable_and_distinct():
    cfg, settings = small_set()
    left, right = frame((12, 32)), frame((12, 32))
    with orvane.Context(settings) as ctx:
        read_only = right.copy()
        read_only.flags.writeable = False
        with pytest.raises(ValueError, match="right: the array is read-only"):
            ctx.add_raw_2pd(0, 100, left, read_only, 64, orvane.gainmap())
        with pytest.raises(ValueError, match=r"right: expected shape \(12, 32\)"):
            ctx.add_raw_2pd(0, 100, left, frame((12, 30)), 64, orvane.gainmap())
        with pytest.raises(ValueError, match="left, right: the two images overlap"):
            ctx.add_raw_2pd(0, 100, left, left, 64, orvane.gainmap())
        with pytest.raises(TypeError, match="gains: expected a gainmap record, got dccmap"):
            ctx.add_raw_2pd(0, 100, left, right, 64, orvane.dccmap())
        with pytest.raises(ValueError, match="black_level: 70000 is outside 0..65535"):
            ctx.add_raw_2pd(0, 100, left, right, 70000, orvane.gainmap())
        # The accepted call corrects the caller's own arrays in place: the black
        # level comes off both, and left holds their mean (here equal to right).
        unity = orvane.gainmap(version=4, cols=2, rows=2, left=[512] * 4, right=[512] * 4)
        ctx.add_raw_2pd(0, 100, left, right, 64, unity)
        assert right.max() <= 400 - 64 + 2 and np.array_equal(left, right)


BAD_JSON = [
    (orvane.gainmap, {"version": 4, "cols": 2, "rows": 1, "left": [[1, 2]], "right": [[1]]},
     r"field 'right\[0\]': expected 2 entries, got 1 entries"),
    (orvane.gainmap, {"version": 4, "cols": 32, "rows": 9, "left": [], "right": []},
     "field 'rows': 32 x 9 cells exceed the 256 of the tables"),
    (orvane.gainmap, {"version": 4, "cols": 1, "rows": 1, "left": [[70000]], "right": [[1]]},
     r"field 'left\[0\]\[0\]': expected an integer 0..65535, got 70000"),
    (orvane.dccmap, {"version": 4, "dcc_shift": 8, "win_cols": 1, "win_rows": 1,
                     "dcc": [[1]], "extra": 1}, "unknown field 'extra'"),
    (orvane.dccmap, {"version": 4, "dcc_shift": 8, "win_cols": 1, "win_rows": 1}, 
     "missing field 'dcc'"),
    (orvane.gain_limits, {"max_gain": 1.5, "min_level": 0, "max_level": 0, "level_window": 0},
     "field 'max_gain': expected an integer 0..65535, got 1.5"),
    (orvane.sensor_cfg, {"image_width": 64, "image_height": 48, "black_level": 0,
                         "block_width": 16, "block_height": 16, "margin_x": 0, "margin_y": 0,
                         "pair_count": 2, "left_x": [1, 2], "left_y": [1, 1], "right_x": [2, 3],
                         "bayer_channel": 0}, "field 'right_y': missing, while 'left_x' is given"),
]


@pytest.mark.parametrize("cls, value, message", BAD_JSON)
def test_bad_records_are_refused_naming_the_field(cls, value, message):
    with pytest.raises(orvane.RecordError, match=message):
        cls.from_json(value, source="in.json")


def test_record_fields_refuse_what_their_c_type_cannot_hold():
    cfg, settings = small_set()
    cases = [
        (lambda: setattr(settings, "win_rows", 200), orvane.RecordError,
         r"cal_settings.win_rows: 200 is outside -128..127"),
        (lambda: setattr(settings, "dcc_dev_limit", np.ones(49)), orvane.RecordError,
         "cal_settings.dcc_dev_limit: 49 entries exceed the 48 of the field"),
        (lambda: setattr(cfg, "left_x", [-1]), orvane.RecordError,
         r"sensor_cfg.left_x: -1 is outside 0..65535"),
        (lambda: setattr(cfg, "left_x", [1.5]), TypeError,
         "sensor_cfg.left_x: expected an array of integers, got float64"),
        (lambda: setattr(cfg, "image_width", "64"), TypeError,
         "sensor_cfg.image_width: expected an integer"),
        (lambda: setattr(cfg, "image_widht", 64), AttributeError,
         "sensor_cfg has no field 'image_widht'"),
        (lambda: orvane.gainmap.from_bytes(b"\0" * 2053), orvane.RecordError,
         "expected 2054 bytes \\(a gainmap record\\), got 2053"),
    ]
    for call, error, message in cases:
        with pytest.raises(error, match=message):
            call()
    # Nothing was changed by the refused assignments.
    assert settings.win_rows == 1 and cfg.left_x[:3].tolist() == [2, 10, 0]


@NEEDS_LIBRARY
def test_the_hard_failure_raises_naming_the_call_unless_asked_for_raw():
    cfg, settings = small_set()
    with orvane.Context(settings) as ctx:
        # Frame index 12 is beyond the 12 slots.
        with pytest.raises(orvane.OrvaneError, match=r"^Orvane_add_raw returned the hard "
                                                     r"failure \(0xFFFFFFFF\)") as e:
            ctx.add_raw(12, 100, frame(), cfg, orvane.gainmap(cols=2, rows=2))
        assert e.value.call == "Orvane_add_raw"
        status = ctx.add_raw(12, 100, frame(), cfg, orvane.gainmap(cols=2, rows=2),
                             raw_status=True)
        assert status == orvane.Status.HARD_FAILURE and status.hard_failure
    gains = orvane.gainmap(version=4, cols=2, rows=1, left=[0x0201, 0x0403],
                           right=[0x0605, 0x0807])
    dcc = orvane.dccmap(version=4, dcc_shift=8, win_cols=1, win_rows=1, dcc=[-2])
    block = orvane.calibration_block(gains, dcc)
    assert block.hex() == "0004000200010201040306050807000800010001fffe32"
    bad = block[:-1] + b"\x33"
    with pytest.raises(orvane.OrvaneError, match="^Orvane_read_calibration_block returned"):
        orvane.read_calibration_block(bad)
    status, _, read_dcc = orvane.read_calibration_block(bad, raw_status=True)
    assert status == orvane.Status.HARD_FAILURE and read_dcc.dcc[0] == -2
    with pytest.raises(orvane.BlockError, match="checksum 0x33 at offset 22, the bytes sum to "
                                                "0x32"):
        orvane.read_block(bad)
    # A record claiming more windows than it holds is refused by the writer.
    with pytest.raises(orvane.OrvaneError, match="^Orvane_get_calibration_block returned"):
        orvane.calibration_block(gains, orvane.dccmap(win_cols=7, win_rows=7))


@NEEDS_LIBRARY
def test_a_context_is_freed_by_close_by_with_and_when_collected():
    import gc
    _, settings = small_set()
    ctx = orvane.Context(settings)
    finalizer = ctx._finalizer
    del ctx
    gc.collect()
    assert not finalizer.alive  # Orvane_destroy ran when the object went away
    with orvane.Context(settings) as ctx:
        assert not ctx.closed
    assert ctx.closed
    with pytest.raises(ValueError, match="the context is closed"):
        ctx.get_dccmap()
    ctx.close()  # a second close does nothing
    assert ctx.closed
