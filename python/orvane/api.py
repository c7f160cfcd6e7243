"""The entry points of liborvane with numpy arrays and checked records.

Images are 2-D numpy arrays of uint16 (rows x columns), C-contiguous, aligned,
in native byte order; anything else is refused with a TypeError or ValueError
naming the argument, never converted behind the caller's back. Calls that
return a status give a `Status`; the hard failure raises `OrvaneError` naming
the call, unless the call is made with raw_status=True.
"""

import ctypes
import os
import weakref

import numpy as np

from . import constants as C
from . import records as R
from ._library import library
from .status import HARD_FAILURE, OrvaneError, Status

__all__ = [
    "Context", "lib_version", "lib_features", "validate_sensor_cfg", "calibration_block",
    "calibration_block_vertical", "calibration_block_horizontal_vertical",
    "calibration_block_horizontal_vertical_without_dcc", "read_calibration_block",
]

_U16P = ctypes.POINTER(ctypes.c_uint16)
_U8P = ctypes.POINTER(ctypes.c_uint8)


# ---- argument checks ---------------------------------------------------------------------

def _image(value, name, shape=None, writable=False):
    """A uint16 image the library may read (or write) in place, as a pointer."""
    if not isinstance(value, np.ndarray):
        raise TypeError(f"{name}: expected a numpy array of uint16, got {type(value).__name__}")
    if value.dtype != np.dtype(np.uint16):
        raise TypeError(f"{name}: expected dtype uint16 (native byte order), got {value.dtype}")
    if value.ndim != 2:
        raise ValueError(f"{name}: expected a 2-D image (rows x columns), got {value.ndim} "
                         f"dimension(s) {value.shape}")
    if shape is not None and value.shape != tuple(shape):
        raise ValueError(f"{name}: expected shape {tuple(shape)} (rows x columns), got "
                         f"{value.shape}")
    if not value.flags.c_contiguous:
        raise ValueError(f"{name}: the array is not C-contiguous; pass "
                         f"np.ascontiguousarray({name})")
    if not value.flags.aligned:
        raise ValueError(f"{name}: the array is not aligned for uint16")
    if writable and not value.flags.writeable:
        raise ValueError(f"{name}: the array is read-only, but the library corrects it in place")
    if value.size == 0:
        raise ValueError(f"{name}: the image is empty {value.shape}")
    return value.ctypes.data_as(_U16P)


def _record(value, cls, name):
    if not isinstance(value, cls):
        raise TypeError(f"{name}: expected a {cls.__name__} record, got {type(value).__name__}")
    return ctypes.byref(value)


def _int(value, name, lo=-(1 << 31), hi=(1 << 31) - 1):
    if not isinstance(value, (int, np.integer)) or isinstance(value, bool):
        raise TypeError(f"{name}: expected an integer, got {value!r}")
    if not lo <= int(value) <= hi:
        raise ValueError(f"{name}: {value} is outside {lo}..{hi}")
    return int(value)


def _float(value, name):
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name}: expected a number, got {value!r}")
    return float(value)


def _raw_shape(cfg):
    return (int(cfg.image_height), int(cfg.image_width))


def _status(call, value, raw_status):
    if value == HARD_FAILURE and not raw_status:
        raise OrvaneError(call)
    return Status(value)


def _block_end(call, end, capacity):
    if end < 0 or end >= capacity:
        raise OrvaneError(call, end & 0xFFFFFFFF, "the records claim more cells or windows "
                                                  "than they hold")
    return end


# ---- stateless entry points -----------------------------------------------------------------

def lib_version():
    """The version line of the loaded library (Orvane_get_lib_version)."""
    buf = ctypes.create_string_buffer(C.LIB_VERSION_BUFFER_SIZE)
    n = library().Orvane_get_lib_version(buf)
    return buf.raw[:n].decode("ascii")


def lib_features():
    """The features text of the loaded library (Orvane_get_lib_features)."""
    buf = ctypes.create_string_buffer(C.LIB_FEATURES_BUFFER_SIZE)
    n = library().Orvane_get_lib_features(buf)
    return buf.raw[:n].decode("ascii")


def _pd_image_shape(cfg):
    """Shape of the images the horizontal extraction writes for `cfg`: one row
    per block row, one sample per distinct left column of a block."""
    def shift(size):
        s = 0
        while (1 << s) < size and s < 31:
            s += 1
        return s
    rows = max(0, int(cfg.image_height) - 2 * int(cfg.margin_y)) >> shift(int(cfg.block_height))
    cols = max(0, int(cfg.image_width) - 2 * int(cfg.margin_x)) >> shift(int(cfg.block_width))
    pairs = min(int(cfg.pair_count), C.MAX_PD_PAIRS)
    return rows, cols * len(set(cfg.left_x[:pairs].tolist()))


def validate_sensor_cfg(raw, cfg, raw_status=False):
    """Orvane_validate_sensor_cfg: tries `cfg` (horizontal layout) on a raw frame.

    Returns (status, left, right); on success left and right are the two
    extracted PD images (block rows x samples per row), otherwise None.
    """
    p_raw = _image(raw, "raw", _raw_shape(_checked_cfg(cfg)))
    rows, width = _pd_image_shape(cfg)
    # Room for every pair of every block, whatever the layout claims.
    pairs = max(1, min(int(cfg.pair_count), C.MAX_PD_PAIRS))
    room = max(1, rows * width * pairs)
    left = np.zeros(room, dtype=np.uint16)
    right = np.zeros(room, dtype=np.uint16)
    s = library().Orvane_validate_sensor_cfg(p_raw, ctypes.byref(cfg), left.ctypes.data_as(_U16P),
                                             right.ctypes.data_as(_U16P))
    status = _status("Orvane_validate_sensor_cfg", s, raw_status)
    if status != 0:
        return status, None, None
    n = rows * width
    return status, left[:n].reshape(rows, width), right[:n].reshape(rows, width)


def _checked_cfg(cfg):
    if not isinstance(cfg, R.sensor_cfg):
        raise TypeError(f"cfg: expected a sensor_cfg record, got {type(cfg).__name__}")
    return cfg


def _write_block(call, capacity, *args):
    out = (ctypes.c_uint8 * capacity)()
    end = getattr(library(), call)(*args, out)
    _block_end(call, end, capacity)
    return bytes(out[:end + 1])


def calibration_block(gains, dcc):
    """Orvane_get_calibration_block: the single-layout block of left/right, as bytes."""
    return _write_block("Orvane_get_calibration_block", C.BLOCK_BUFFER_SIZE,
                        _record(gains, R.gainmap, "gains"), _record(dcc, R.dccmap, "dcc"))


def calibration_block_vertical(gains, dcc):
    """Orvane_get_calibration_block_vertical: the single-layout block of left_v/right_v."""
    return _write_block("Orvane_get_calibration_block_vertical", C.BLOCK_BUFFER_SIZE,
                        _record(gains, R.gainmap, "gains"), _record(dcc, R.dccmap, "dcc"))


def calibration_block_horizontal_vertical(gains_h, dcc_h, gains_v, dcc_v):
    """Orvane_get_calibration_block_horizontal_vertical: both layouts, both DCC maps."""
    return _write_block("Orvane_get_calibration_block_horizontal_vertical",
                        C.BLOCK_HV_BUFFER_SIZE, _record(gains_h, R.gainmap, "gains_h"),
                        _record(dcc_h, R.dccmap, "dcc_h"), _record(gains_v, R.gainmap, "gains_v"),
                        _record(dcc_v, R.dccmap, "dcc_v"))


def calibration_block_horizontal_vertical_without_dcc(gains_h, dcc_h, gains_v):
    """Orvane_get_calibration_block_horizontal_vertical_without_dcc: both layouts,
    the horizontal DCC map only."""
    return _write_block("Orvane_get_calibration_block_horizontal_vertical_without_dcc",
                        C.BLOCK_HV_BUFFER_SIZE, _record(gains_h, R.gainmap, "gains_h"),
                        _record(dcc_h, R.dccmap, "dcc_h"), _record(gains_v, R.gainmap, "gains_v"),
                        None)


def read_calibration_block(block, raw_status=False):
    """Orvane_read_calibration_block: (status, gainmap, dccmap) of a single-layout block.

    A rejected block (format tag or checksum) raises OrvaneError unless
    raw_status is true. The block's length must cover what its dimension
    fields announce; a shorter one is refused before the call.
    """
    data = bytes(block)
    if len(data) < 7:
        raise ValueError(f"block: {len(data)} bytes, too short for a calibration block")
    n = int.from_bytes(data[2:4], "big") * int.from_bytes(data[4:6], "big")
    head = 6 + 4 * n
    if len(data) >= head + 6:
        m = int.from_bytes(data[head + 2:head + 4], "big") * \
            int.from_bytes(data[head + 4:head + 6], "big")
        need = head + 6 + 2 * m + 1
    else:
        need = head + 7
    if len(data) < need:
        raise ValueError(f"block: {len(data)} bytes, but its dimension fields announce {need}")
    buf = (ctypes.c_uint8 * len(data)).from_buffer_copy(data)
    gains, dcc = R.gainmap(), R.dccmap()
    s = library().Orvane_read_calibration_block(ctypes.byref(gains), ctypes.byref(dcc), buf)
    return _status("Orvane_read_calibration_block", s, raw_status), gains, dcc


# ---- the context ----------------------------------------------------------------------------

def _destroy(handle):
    library().Orvane_destroy(handle)


class Context:
    """A calibration context: Orvane_create on construction, Orvane_destroy on
    close(), at the end of a with block, or when the object is collected."""

    def __init__(self, settings):
        ptr = library().Orvane_create(_record(settings, R.cal_settings, "settings"))
        if not ptr:
            raise MemoryError("Orvane_create: the context could not be allocated")
        self._handle = ctypes.c_void_p(ptr)
        self._settings = settings.copy()
        self._finalizer = weakref.finalize(self, _destroy, self._handle)

    @property
    def settings(self):
        """A copy of the settings the context was created with."""
        return self._settings.copy()

    @property
    def closed(self):
        return not self._finalizer.alive

    def close(self):
        self._finalizer()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def _ctx(self):
        if not self._finalizer.alive:
            raise ValueError("the context is closed")
        return self._handle

    # ---- gain map -------------------------------------------------------------------------
    def get_gainmap(self, raw, cfg, limits, out=None, raw_status=False):
        """Orvane_get_gainmap: the gain map of a flat-field raw frame (horizontal
        layout) into `out` (a new gainmap by default). Returns (status, gainmap)."""
        return self._gainmap("Orvane_get_gainmap", raw, cfg, limits, out, raw_status)

    def get_gainmap_vertical(self, raw, cfg, limits, out=None, raw_status=False):
        """Orvane_get_gainmap_vertical: as get_gainmap, filling left_v and right_v."""
        return self._gainmap("Orvane_get_gainmap_vertical", raw, cfg, limits, out, raw_status)

    def _gainmap(self, call, raw, cfg, limits, out, raw_status):
        ctx = self._ctx()
        p_raw = _image(raw, "raw", _raw_shape(_checked_cfg(cfg)))
        out = R.gainmap() if out is None else out
        s = getattr(library(), call)(ctx, p_raw, ctypes.byref(cfg), _record(out, R.gainmap, "out"),
                                     _record(limits, R.gain_limits, "limits"))
        return _status(call, s, raw_status), out

    def get_gainmap_2pd(self, left, right, black_level, limits, lens_position, out=None,
                        raw_status=False):
        """Orvane_get_gainmap_2pd: the gain map of a dual-photodiode flat field
        (two images of one shape, only read). Returns (status, gainmap)."""
        ctx = self._ctx()
        p_left = _image(left, "left")
        p_right = _image(right, "right", left.shape)
        height, width = left.shape
        out = R.gainmap() if out is None else out
        s = library().Orvane_get_gainmap_2pd(
            ctx, p_left, p_right, _int(width, "width", 1, 65535),
            _int(height, "height", 1, 65535), _int(black_level, "black_level", 0, 65535),
            _record(out, R.gainmap, "out"), _record(limits, R.gain_limits, "limits"),
            _float(lens_position, "lens_position"))
        return _status("Orvane_get_gainmap_2pd", s, raw_status), out

    # ---- frame intake -----------------------------------------------------------------------
    def add_raw(self, frame_index, lens_position, raw, cfg, gains, raw_status=False):
        """Orvane_add_raw: adds one raw frame (horizontal layout) of a sweep."""
        return self._add("Orvane_add_raw", frame_index, lens_position, raw, cfg, gains,
                         raw_status)

    def add_raw_vertical(self, frame_index, lens_position, raw, cfg, gains, raw_status=False):
        """Orvane_add_raw_vertical: adds one raw frame (vertical layout) of a sweep."""
        return self._add("Orvane_add_raw_vertical", frame_index, lens_position, raw, cfg, gains,
                         raw_status)

    def _add(self, call, frame_index, lens_position, raw, cfg, gains, raw_status):
        ctx = self._ctx()
        p_raw = _image(raw, "raw", _raw_shape(_checked_cfg(cfg)))
        s = getattr(library(), call)(ctx, _int(frame_index, "frame_index"),
                                     _int(lens_position, "lens_position"), p_raw,
                                     ctypes.byref(cfg), _record(gains, R.gainmap, "gains"))
        return _status(call, s, raw_status)

    def add_raw_2pd(self, frame_index, lens_position, left, right, black_level, gains,
                    lens_position_f=None, raw_status=False):
        """Orvane_add_raw_2pd: adds one dual-photodiode frame.

        The library corrects both images in place and leaves their mean in
        `left`: pass copies to keep the originals. `lens_position_f` (the
        float position checked against lens_min/lens_max) defaults to
        `lens_position`.
        """
        ctx = self._ctx()
        p_left = _image(left, "left", writable=True)
        p_right = _image(right, "right", left.shape, writable=True)
        if np.shares_memory(left, right):
            raise ValueError("left, right: the two images overlap")
        height, width = left.shape
        lens_f = lens_position if lens_position_f is None else lens_position_f
        s = library().Orvane_add_raw_2pd(
            ctx, _int(frame_index, "frame_index"), _int(lens_position, "lens_position"), p_left,
            p_right, _int(width, "width", 1, 65535), _int(height, "height", 1, 65535),
            _int(black_level, "black_level", 0, 65535), _record(gains, R.gainmap, "gains"),
            _float(lens_f, "lens_position_f"))
        return _status("Orvane_add_raw_2pd", s, raw_status)

    # ---- PD readout ---------------------------------------------------------------------------
    def get_raw_pd(self, raw, cfg, gains, raw_status=False):
        """Orvane_get_raw_pd: the disparities of one raw frame. Returns (status, pd_map);
        pd_map.grid() is the rows x cols array."""
        ctx = self._ctx()
        p_raw = _image(raw, "raw", _raw_shape(_checked_cfg(cfg)))
        out = R.pd_map()
        s = library().Orvane_get_raw_pd(ctx, p_raw, ctypes.byref(cfg),
                                        _record(gains, R.gainmap, "gains"), ctypes.byref(out))
        return _status("Orvane_get_raw_pd", s, raw_status), out

    def get_raw_pd_2pd(self, left, right, black_level, gains, raw_status=False):
        """Orvane_get_raw_pd_2pd: the disparities of one dual-photodiode frame; the
        images are corrected in place. Returns (status, pd_map)."""
        ctx = self._ctx()
        p_left = _image(left, "left", writable=True)
        p_right = _image(right, "right", left.shape, writable=True)
        if np.shares_memory(left, right):
            raise ValueError("left, right: the two images overlap")
        height, width = left.shape
        out = R.pd_map()
        s = library().Orvane_get_raw_pd_2pd(
            ctx, p_left, p_right, _int(width, "width", 1, 65535),
            _int(height, "height", 1, 65535), _int(black_level, "black_level", 0, 65535),
            _record(gains, R.gainmap, "gains"), ctypes.byref(out))
        return _status("Orvane_get_raw_pd_2pd", s, raw_status), out

    # ---- DCC map and curve of field ------------------------------------------------------------
    def get_dccmap(self, dump_path=None, raw_status=False):
        """Orvane_get_dccmap: ends the sweep. Returns (status, dccmap); with a
        dump_path the calibration state is dumped there (read it with
        orvane.read_state_dump)."""
        ctx = self._ctx()
        out = R.dccmap()
        path = None if dump_path is None else os.fsencode(dump_path)
        s = library().Orvane_get_dccmap(ctx, ctypes.byref(out), path)
        return _status("Orvane_get_dccmap", s, raw_status), out

    def curve_of_field_block(self):
        """Orvane_get_calibration_curve_of_field_block: the curve-of-field block, as bytes."""
        return _write_block("Orvane_get_calibration_curve_of_field_block",
                            C.BLOCK_COF_BUFFER_SIZE, self._ctx())

    def zero_pd_offset_block(self):
        """Orvane_get_calibration_zero_pd_offset_block: zero_pd_lens - peak_lens per
        window (lens units), as bytes; read it with orvane.read_zero_pd_offset_block."""
        return _write_block("Orvane_get_calibration_zero_pd_offset_block",
                            C.BLOCK_ZERO_PD_BUFFER_SIZE, self._ctx())
