"""Readers of the files the library writes: calibration blocks (one layout, or
both with or without the vertical DCC values), the curve-of-field block, the
zero-PD offset block and the state dump. Checksums and sizes are verified.
All but the zero-PD offset block parse in Python and need no library; that
one goes through the library's own reader. Blocks are written back through
the library's own writers.
"""

import ctypes

import os
from dataclasses import dataclass, field

import numpy as np

from . import constants as C
from . import records as R

__all__ = ["BlockError", "CalibrationBlock", "CurveOfField", "StateDump", "ZeroPdOffsets",
           "read_block", "read_calibration_block_file", "read_curve_of_field",
           "read_state_dump", "read_zero_pd_offset_block"]

SINGLE = "single"
BOTH = "horizontal_vertical"
BOTH_WITHOUT_DCC = "horizontal_vertical_without_dcc"
CALIBRATION_TAG = 4
CURVE_OF_FIELD_TAG = 1


class BlockError(ValueError):
    """A block or dump that does not parse, or whose checksum does not match."""


def _data(source):
    """Bytes of `source`: a path, or bytes-like. Returns (bytes, name for errors)."""
    if isinstance(source, (str, os.PathLike)):
        with open(source, "rb") as f:
            return f.read(), os.fspath(source)
    return bytes(source), "block"


def _be16(data, offset, count, dtype, name, where):
    end = offset + 2 * count
    if end > len(data):
        raise BlockError(f"{where}: {len(data)} bytes, too short for {name} (needs {end})")
    return np.frombuffer(data, dtype=">u2", count=count, offset=offset).astype(dtype), end


def _checksum(data, end):
    return sum(data[:end]) & 0xFF


@dataclass
class CalibrationBlock:
    """A calibration block. Tables are shaped by the grids: gains rows x cols,
    DCC values win_rows x win_cols. left_v, right_v are None for a single-layout
    block, dcc_v also for a both-layouts block without the vertical DCC."""

    kind: str
    cols: int
    rows: int
    left: np.ndarray
    right: np.ndarray
    dcc_shift: int
    win_cols: int
    win_rows: int
    dcc: np.ndarray
    left_v: np.ndarray = None
    right_v: np.ndarray = None
    dcc_v: np.ndarray = None
    checksum: int = 0

    def gainmap(self, vertical_tables=False):
        """The gain tables as a gainmap record (version 4). A single-layout block
        does not say which layout it holds: vertical_tables puts its two tables
        into left_v / right_v, as the vertical writer takes them."""
        m = R.gainmap(version=4, cols=self.cols, rows=self.rows)
        if self.kind == SINGLE:
            first, second = ("left_v", "right_v") if vertical_tables else ("left", "right")
            setattr(m, first, self.left)
            setattr(m, second, self.right)
        else:
            m.left, m.right, m.left_v, m.right_v = self.left, self.right, self.left_v, self.right_v
        return m

    def dccmap(self, vertical=False):
        """The horizontal (or, with vertical, the vertical) DCC values as a dccmap."""
        values = self.dcc_v if vertical else self.dcc
        if values is None:
            raise BlockError("the block has no vertical DCC values")
        return R.dccmap(version=4, dcc_shift=self.dcc_shift, win_cols=self.win_cols,
                        win_rows=self.win_rows, dcc=values)

    def to_bytes(self, vertical_tables=False):
        """The block again, written by the library's writer of its kind."""
        from . import api
        gains = self.gainmap(vertical_tables)
        if self.kind == SINGLE:
            writer = api.calibration_block_vertical if vertical_tables else api.calibration_block
            return writer(gains, self.dccmap())
        if self.kind == BOTH:
            return api.calibration_block_horizontal_vertical(gains, self.dccmap(), gains,
                                                             self.dccmap(vertical=True))
        return api.calibration_block_horizontal_vertical_without_dcc(gains, self.dccmap(), gains)


@dataclass
class CurveOfField:
    """A curve-of-field block: the in-focus lens position per window."""

    win_cols: int
    win_rows: int
    peak_lens: np.ndarray  # win_rows x win_cols, int16
    checksum: int = 0


def _parse_calibration(data, where, kind):
    tag, _ = _be16(data, 0, 1, np.uint16, "the format tag", where)
    if int(tag[0]) != CALIBRATION_TAG:
        raise BlockError(f"{where}: format tag {int(tag[0])}, not {CALIBRATION_TAG}")
    (cols, rows), p = _be16(data, 2, 2, np.int64, "the gain grid", where)
    n = int(cols) * int(rows)
    if n > C.MAX_GAIN_CELLS:
        raise BlockError(f"{where}: {cols} x {rows} gain cells exceed {C.MAX_GAIN_CELLS}")
    left, p = _be16(data, p, n, np.uint16, "the first gain table", where)
    right, p = _be16(data, p, n, np.uint16, "the second gain table", where)
    (shift, wc, wr), p = _be16(data, p, 3, np.int64, "the DCC header", where)
    m = int(wc) * int(wr)
    if m > C.MAX_DCC_WINDOWS:
        raise BlockError(f"{where}: {wc} x {wr} windows exceed {C.MAX_DCC_WINDOWS}")
    dcc, p = _be16(data, p, m, np.int16, "the DCC values", where)
    if kind is None:  # from the length: 13 + 4n + 2m, 13 + 8n + 4m or 13 + 8n + 2m bytes
        sizes = {SINGLE: p + 1, BOTH: p + 4 * n + 2 * m + 1, BOTH_WITHOUT_DCC: p + 4 * n + 1}
        matches = [k for k, size in sizes.items() if size == len(data)]
        if len(matches) != 1:
            raise BlockError(f"{where}: {len(data)} bytes fit no calibration block of a "
                             f"{cols} x {rows} gain grid and {wc} x {wr} windows (expected "
                             f"{sizes[SINGLE]}, {sizes[BOTH]} or {sizes[BOTH_WITHOUT_DCC]})")
        kind = matches[0]
    block = CalibrationBlock(kind, int(cols), int(rows), left.reshape(rows, cols),
                             right.reshape(rows, cols), int(shift), int(wc), int(wr),
                             dcc.reshape(wr, wc))
    if kind != SINGLE:
        left_v, p = _be16(data, p, n, np.uint16, "the first vertical gain table", where)
        right_v, p = _be16(data, p, n, np.uint16, "the second vertical gain table", where)
        block.left_v, block.right_v = left_v.reshape(rows, cols), right_v.reshape(rows, cols)
        if kind == BOTH:
            dcc_v, p = _be16(data, p, m, np.int16, "the vertical DCC values", where)
            block.dcc_v = dcc_v.reshape(wr, wc)
    return block, p


def _parse_curve_of_field(data, where):
    (tag, wc, wr), p = _be16(data, 0, 3, np.int64, "the curve-of-field header", where)
    if tag != CURVE_OF_FIELD_TAG:
        raise BlockError(f"{where}: format tag {tag}, not {CURVE_OF_FIELD_TAG}")
    m = int(wc) * int(wr)
    peak, p = _be16(data, p, m, np.int16, "the lens positions", where)
    return CurveOfField(int(wc), int(wr), peak.reshape(wr, wc)), p


def _close(obj, data, p, where, exact):
    if p >= len(data):
        raise BlockError(f"{where}: {len(data)} bytes, the checksum byte at {p} is missing")
    if exact and len(data) != p + 1:
        raise BlockError(f"{where}: {len(data)} bytes, the block ends at {p + 1}")
    stored, computed = data[p], _checksum(data, p)
    if stored != computed:
        raise BlockError(f"{where}: checksum 0x{stored:02X} at offset {p}, the bytes sum to "
                         f"0x{computed:02X}")
    obj.checksum = stored
    return obj


def read_block(source, kind=None, exact=True):
    """Reads a calibration block or a curve-of-field block (a path or bytes).

    The kind of a calibration block ("single", "horizontal_vertical",
    "horizontal_vertical_without_dcc") follows from its length unless given;
    with exact=False the data may run on after the checksum (a writer's
    buffer). Raises BlockError on a wrong tag, a short block or a checksum
    that does not match.
    """
    data, where = _data(source)
    if len(data) < 2:
        raise BlockError(f"{where}: {len(data)} bytes, too short for a block")
    tag = int.from_bytes(data[:2], "big")
    if tag == CURVE_OF_FIELD_TAG and kind is None:
        block, p = _parse_curve_of_field(data, where)
    else:
        if kind is None and not exact:
            kind = SINGLE
        block, p = _parse_calibration(data, where, kind)
    return _close(block, data, p, where, exact)


def read_calibration_block_file(source, kind=None, exact=True):
    block = read_block(source, kind, exact)
    if not isinstance(block, CalibrationBlock):
        raise BlockError("expected a calibration block, got a curve-of-field block")
    return block


def read_curve_of_field(source, exact=True):
    data, where = _data(source)
    block, p = _parse_curve_of_field(data, where)
    return _close(block, data, p, where, exact)


@dataclass
class ZeroPdOffsets:
    """A zero-PD offset block: zero_pd_lens - peak_lens per window, in lens units.
    A host predicts focus as lens - DCC x disparity - offset."""

    win_cols: int
    win_rows: int
    offset: np.ndarray  # win_rows x win_cols, int16


def read_zero_pd_offset_block(source):
    """Reads a zero-PD offset block (a path or bytes) with the library's reader,
    which checks its size, format tag and checksum. Raises BlockError."""
    from ._library import library  # the one reader of this format is the library's

    data, where = _data(source)
    buf = (ctypes.c_uint8 * max(len(data), 1)).from_buffer_copy(bytes(data) or b"\0")
    out = R.zero_pd_map()
    if library().Orvane_read_zero_pd_offset_block(buf, len(data), ctypes.byref(out)) != 0:
        raise BlockError(f"{where}: not an intact zero-PD offset block "
                         "(size, format tag or checksum)")
    cols, rows = int(out.win_cols), int(out.win_rows)
    offset = np.array(out.offset[:cols * rows], dtype=np.int16).reshape(rows, cols)
    return ZeroPdOffsets(cols, rows, offset)


# ---- state dump ------------------------------------------------------------------------------

_STATE_DTYPE = np.dtype(R.cal_state)


@dataclass
class StateDump:
    """A state dump (the calibration state the library writes, 726,292 bytes).

    `raw` is the whole cal_state as a numpy record (every field, full
    capacity). The attributes are shaped by the grids: gain tables
    gain_rows x gain_cols; per window win_rows x win_cols; per frame and
    window (frames, win_rows, win_cols), frames = the sweep's slots
    (sweep_frames, clamped to 0..12, or as asked); sad_curve adds the 101
    curve entries.
    """

    raw: np.void
    frames: int
    gain_left: np.ndarray = field(repr=False, default=None)
    gain_right: np.ndarray = field(repr=False, default=None)
    dcc: np.ndarray = field(repr=False, default=None)
    peak_lens: np.ndarray = field(repr=False, default=None)
    zero_pd_lens: np.ndarray = field(repr=False, default=None)
    zero_pd_offset: np.ndarray = field(repr=False, default=None)
    zero_pd_offset_norm: np.ndarray = field(repr=False, default=None)
    fit_residual: np.ndarray = field(repr=False, default=None)
    dcc_dev_limit: np.ndarray = field(repr=False, default=None)
    pd: np.ndarray = field(repr=False, default=None)
    focus: np.ndarray = field(repr=False, default=None)
    confidence: np.ndarray = field(repr=False, default=None)
    flags: np.ndarray = field(repr=False, default=None)
    sad_curve: np.ndarray = field(repr=False, default=None)
    lens_position: np.ndarray = field(repr=False, default=None)

    def __getattr__(self, name):  # the scalar fields: win_cols, dcc_flags, frames_added, ...
        raw = self.__dict__.get("raw")
        if raw is not None and name in _STATE_DTYPE.names:
            value = raw[name]
            return value.item() if value.shape == () else value
        raise AttributeError(name)

    @property
    def dcc_status(self):
        from .status import Status
        return Status(int(self.raw["dcc_flags"]))


def read_state_dump(source, frames=None):
    """Reads a state dump (a path or bytes) into a StateDump of numpy arrays."""
    data, where = _data(source)
    if len(data) != C.STATE_DUMP_SIZE:
        raise BlockError(f"{where}: {len(data)} bytes, a state dump has {C.STATE_DUMP_SIZE}")
    raw = np.frombuffer(data, dtype=_STATE_DTYPE, count=1)[0]
    win_rows, win_cols = int(raw["win_rows"]), int(raw["win_cols"])
    gain_rows, gain_cols = int(raw["gain_rows"]), int(raw["gain_cols"])
    if win_rows * win_cols > C.MAX_WINDOWS:
        raise BlockError(f"{where}: {win_cols} x {win_rows} windows exceed {C.MAX_WINDOWS}")
    if gain_rows * gain_cols > C.MAX_GAIN_CELLS:
        raise BlockError(f"{where}: {gain_cols} x {gain_rows} gain cells exceed "
                         f"{C.MAX_GAIN_CELLS}")
    if frames is None:
        frames = min(max(int(raw["sweep_frames"]), 0), C.FRAME_SLOTS)
    windows = win_rows * win_cols
    slots = raw["slots"][:frames]

    def grid(values):
        return np.array(values[:windows]).reshape(win_rows, win_cols)

    def per_frame(name):
        return np.array(slots[name][:, :windows]).reshape(frames, win_rows, win_cols)

    cells = gain_rows * gain_cols
    return StateDump(
        raw=raw, frames=frames,
        gain_left=np.array(raw["gain_left"][:cells]).reshape(gain_rows, gain_cols),
        gain_right=np.array(raw["gain_right"][:cells]).reshape(gain_rows, gain_cols),
        dcc=grid(raw["dcc"]), peak_lens=grid(raw["peak_lens"]),
        zero_pd_lens=grid(raw["zero_pd_lens"]), zero_pd_offset=grid(raw["zero_pd_offset"]),
        zero_pd_offset_norm=grid(raw["zero_pd_offset_norm"]),
        fit_residual=grid(raw["fit_residual"]), dcc_dev_limit=grid(raw["dcc_dev_limit"]),
        pd=per_frame("pd"), focus=per_frame("focus"), confidence=per_frame("confidence"),
        flags=per_frame("flags"),
        sad_curve=np.array(slots["sad_curve"][:, :windows]).reshape(
            frames, win_rows, win_cols, C.SAD_CURVE_LEN),
        lens_position=np.array(slots["lens_position"]))
