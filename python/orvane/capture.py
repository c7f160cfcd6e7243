"""Capture sets as the `orvane` tool reads them (manifest.json with its
records and frames), and a whole calibration in the tool's host call order.
"""

import json
import os
import re
import tempfile
from dataclasses import dataclass, field

import numpy as np

from . import api
from . import constants as C
from . import records as R
from .files import read_state_dump

__all__ = ["CaptureSet", "Frame", "CalibrationResult", "load_capture_set", "read_frame",
           "calibrate"]

LAYOUTS = ("horizontal", "vertical", "dual")
FORMATS = ("raw16", "raw10", "pgm", "png")


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


def _format_of(path):
    name = path.lower()
    if name.endswith(".pgm"):
        return "pgm"
    if name.endswith(".png"):
        return "png"
    if name.endswith(".raw10"):
        return "raw10"
    return "raw16"


def _pgm_header(data, where):
    m = re.match(rb"P5(?:\s|#[^\n\r]*[\n\r])+(\d+)(?:\s|#[^\n\r]*[\n\r])+(\d+)"
                 rb"(?:\s|#[^\n\r]*[\n\r])+(\d+)[ \t\n\r]", data)
    if not m:
        raise CaptureError(f"{where}: not a binary PGM file with a readable header")
    return int(m.group(1)), int(m.group(2)), int(m.group(3)), m.end()


def read_frame(path, width, height, fmt=None, raw10_stride=0):
    """A frame file as a height x width uint16 array (raw16, raw10 or pgm)."""
    path = os.fspath(path)
    fmt = fmt or _format_of(path)
    with open(path, "rb") as f:
        data = f.read()
    if fmt == "raw16":
        if len(data) != width * height * 2:
            raise CaptureError(f"{path}: expected {width} x {height} 16-bit samples "
                               f"({width * height * 2} bytes), got {len(data)} bytes")
        return np.frombuffer(data, dtype="<u2").astype(np.uint16).reshape(height, width)
    if fmt == "raw10":
        line = (width * 5 + 3) // 4
        stride = raw10_stride or line
        if stride < line or len(data) != stride * height:
            raise CaptureError(f"{path}: expected {width} x {height} RAW10 pixels with a "
                               f"{stride}-byte stride ({stride * height} bytes), got {len(data)}")
        lines = np.frombuffer(data, dtype=np.uint8).reshape(height, stride)
        full = width // 4
        out = np.empty((height, width), dtype=np.uint16)
        groups = lines[:, :full * 5].reshape(height, full, 5).astype(np.uint16)
        for i in range(4):
            out[:, i:full * 4:4] = (groups[:, :, i] << 2) | ((groups[:, :, 4] >> (2 * i)) & 3)
        k = width - full * 4
        if k:
            tail = lines[:, full * 5:full * 5 + k + 1].astype(np.uint16)
            for i in range(k):
                out[:, full * 4 + i] = (tail[:, i] << 2) | ((tail[:, k] >> (2 * i)) & 3)
        return out
    if fmt == "pgm":
        w, h, maxval, start = _pgm_header(data, path)
        if (w, h) != (width, height):
            raise CaptureError(f"{path}: image is {w}x{h}, expected {width}x{height}")
        dtype = ">u2" if maxval > 255 else "u1"
        count = width * height
        if len(data) - start != count * np.dtype(dtype).itemsize:
            raise CaptureError(f"{path}: sample bytes do not match a {w}x{h} PGM")
        samples = np.frombuffer(data, dtype=dtype, offset=start).astype(np.uint16)
        if samples.size and int(samples.max()) > maxval:
            raise CaptureError(f"{path}: a sample exceeds the maxval {maxval}")
        return samples.reshape(height, width)
    raise CaptureError(f"{path}: {fmt} frames are not read from Python; write the set with "
                       "--format raw16, raw10 or pgm")


def load_capture_set(manifest):
    """Loads a capture set from its manifest.json (as `orvane simulate` writes it)."""
    manifest = os.fspath(manifest)
    folder = os.path.dirname(os.path.abspath(manifest))
    with open(manifest, encoding="utf-8") as f:
        doc = json.load(f)

    def beside(name):
        return name if os.path.isabs(name) else os.path.join(folder, name)

    layout = doc.get("layout")
    if layout not in LAYOUTS:
        raise CaptureError(f"{manifest}: field 'layout': expected one of {LAYOUTS}, got "
                           f"{layout!r}")
    settings = R.cal_settings.load(beside(doc["settings"]))
    limits = R.gain_limits.load(beside(doc["limits"]))
    sensor = None
    if layout == "dual":
        width, height, black = int(doc["width"]), int(doc["height"]), int(doc["black_level"])
    else:
        sensor = R.sensor_cfg.load(beside(doc["sensor"]))
        width, height, black = sensor.image_width, sensor.image_height, sensor.black_level
    fmt = doc.get("format")
    stride = int(doc.get("raw10_stride", 0))

    def frame(entry):
        def image(name):
            return read_frame(beside(name), width, height, fmt, stride)
        lens = int(entry.get("lens_position", 0))
        if layout == "dual":
            return Frame(lens, left=image(entry["left"]), right=image(entry["right"]))
        return Frame(lens, raw=image(entry["file"]))

    frames = [frame(e) for e in doc["frames"]]
    if not 1 <= len(frames) <= C.FRAME_SLOTS:
        raise CaptureError(f"{manifest}: field 'frames': expected 1 to {C.FRAME_SLOTS} frames")
    truth = None
    if "truth" in doc:
        with open(beside(doc["truth"]), encoding="utf-8") as f:
            truth = json.load(f)
    return CaptureSet(layout, settings, limits, sensor, width, height, black, frame(doc["flat"]),
                      frames, truth)


@dataclass
class CalibrationResult:
    gain_status: object
    frame_status: list
    dcc_status: object
    gains: R.gainmap
    dcc: R.dccmap
    block: bytes           # the calibration block of the layout
    cof_block: bytes       # the curve-of-field block
    state_dump: bytes      # the state dump file's bytes

    def state(self):
        return read_state_dump(self.state_dump)


def calibrate(capture, dump_path=None):
    """Calibrates a capture set in the host call order of `orvane calibrate`:
    create, gain map of the flat field, one intake per sweep frame (frame
    indices 0..N-1), DCC map with a state dump, the block of the layout (the
    vertical writer for the vertical layout), the curve-of-field block. The
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
    return CalibrationResult(gain_status, frame_status, dcc_status, gains, dcc, block, cof, dump)
