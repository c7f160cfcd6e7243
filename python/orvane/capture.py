"""Capture sets as the `orvane` tool reads them (manifest.json with its
records and frames; the tool reads them for the package), and a whole
calibration in the tool's host call order.
"""

import json
import os
import subprocess
import tempfile
from dataclasses import dataclass, field

import numpy as np

from . import api
from . import records as R
from .files import read_state_dump

__all__ = ["CaptureSet", "Frame", "CalibrationResult", "CaptureError", "load_capture_set",
           "calibrate"]


class CaptureError(ValueError):
    pass


@dataclass
class Frame:
    """One frame of a capture set: `raw` for the raw layouts, `left` and
    `right` for the dual layout; uint16 arrays of height x width."""

    lens_position: int
    raw: np.ndarray = None
    left: np.ndarray = None
    right: np.ndarray = None


@dataclass
class CaptureSet:
    layout: str
    settings: R.cal_settings
    limits: R.gain_limits
    sensor: R.sensor_cfg  # None for the dual layout
    width: int
    height: int
    black_level: int
    flat: Frame
    frames: list = field(default_factory=list)
    truth: dict = None

    def __repr__(self):
        lens = [f.lens_position for f in self.frames]
        sweep = f", lens {min(lens)}..{max(lens)}" if lens else ""
        return (f"<CaptureSet {self.layout} {self.width}x{self.height}, black level "
                f"{self.black_level}, {len(self.frames)} sweep frames{sweep}"
                f"{', with truth' if self.truth else ''}>")


def load_capture_set(manifest, cli=None, any_order=False):
    """Loads a capture set from its manifest.json. The `orvane` tool reads it
    (`orvane capture`: cli=, else ORVANE_CLI, else `orvane` on the PATH) exactly
    as `orvane calibrate` does, with every record check and frame format (PNG
    included), so that the package and the tool take and refuse the same sets.
    A verification set's lens positions may come in any order (`any_order`)."""
    from .batch import BatchError, find_cli
    try:
        tool = find_cli(cli)
    except BatchError as e:
        raise CaptureError(str(e)) from None
    args = [tool, "capture", os.fspath(manifest)] + (["--any-order"] if any_order else [])
    proc = subprocess.run(args, capture_output=True)
    if proc.returncode != 0:
        message = proc.stderr.decode(errors="replace").strip()
        raise CaptureError(message.removeprefix("orvane: ") or
                           f"orvane capture exited {proc.returncode}")
    end = proc.stdout.index(b"\n")
    head = json.loads(proc.stdout[:end])
    layout, width, height = head["layout"], int(head["width"]), int(head["height"])
    names = head["images"].split()
    samples = np.frombuffer(proc.stdout, dtype="<u2", offset=end + 1).astype(np.uint16)
    per_frame = len(names) * width * height
    lens = [int(head["flat_lens_position"])] + [int(v) for v in head["lens_positions"]]
    if samples.size != per_frame * len(lens):
        raise CaptureError(f"{manifest}: orvane capture wrote {samples.size} samples, "
                           f"expected {per_frame * len(lens)}")
    frames = []
    for k, position in enumerate(lens):
        images = samples[k * per_frame:(k + 1) * per_frame].reshape(len(names), height, width)
        frames.append(Frame(position, **dict(zip(names, images))))
    sensor = R.sensor_cfg.from_json(head["sensor"]) if "sensor" in head else None
    return CaptureSet(layout, R.cal_settings.from_json(head["settings"]),
                      R.gain_limits.from_json(head["limits"]), sensor, width, height,
                      int(head["black_level"]), frames[0], frames[1:], head.get("truth"))


@dataclass
class CalibrationResult:
    gain_status: object
    frame_status: list
    dcc_status: object
    gains: R.gainmap
    dcc: R.dccmap
    block: bytes           # the calibration block of the layout
    cof_block: bytes       # the curve-of-field block
    zero_pd_block: bytes   # the zero-PD offset block
    state_dump: bytes      # the state dump file's bytes

    def state(self):
        return read_state_dump(self.state_dump)


def calibrate(capture, dump_path=None):
    """Calibrates a capture set in the host call order of `orvane calibrate`:
    create, gain map of the flat field, one intake per sweep frame (frame
    indices 0..N-1), DCC map with a state dump, the block of the layout (the
    vertical writer for the vertical layout), the curve-of-field and zero-PD
    offset blocks. The
    dual intake corrects its images in place, so it is given copies."""
    with api.Context(capture.settings) as ctx:
        cfg, limits, flat = capture.sensor, capture.limits, capture.flat
        if capture.layout == "horizontal":
            gain_status, gains = ctx.get_gainmap(flat.raw, cfg, limits)
        elif capture.layout == "vertical":
            gain_status, gains = ctx.get_gainmap_vertical(flat.raw, cfg, limits)
        else:
            gain_status, gains = ctx.get_gainmap_2pd(flat.left, flat.right, capture.black_level,
                                                     limits, float(flat.lens_position))
        frame_status = []
        for k, f in enumerate(capture.frames):
            if capture.layout == "horizontal":
                s = ctx.add_raw(k, f.lens_position, f.raw, cfg, gains)
            elif capture.layout == "vertical":
                s = ctx.add_raw_vertical(k, f.lens_position, f.raw, cfg, gains)
            else:
                s = ctx.add_raw_2pd(k, f.lens_position, f.left.copy(), f.right.copy(),
                                    capture.black_level, gains, float(f.lens_position))
            frame_status.append(s)
        with tempfile.TemporaryDirectory(prefix="orvane-") as tmp:
            path = dump_path or os.path.join(tmp, "state_dump.bin")
            dcc_status, dcc = ctx.get_dccmap(path)
            with open(path, "rb") as f:
                dump = f.read()
        writer = api.calibration_block_vertical if capture.layout == "vertical" \
            else api.calibration_block
        block = writer(gains, dcc)
        cof = ctx.curve_of_field_block()
        zero_pd = ctx.zero_pd_offset_block()
    return CalibrationResult(gain_status, frame_status, dcc_status, gains, dcc, block, cof,
                             zero_pd, dump)
