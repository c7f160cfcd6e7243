"""The records of the C interface as ctypes structures.

Field names are the header's. Array fields read as numpy views of the
record's own memory; assigning a field checks its type, range and length, so
a value the C type cannot hold is refused instead of wrapped. Each interface
record converts to and from its raw little-endian bytes and the JSON the
`orvane` tool reads and writes.
"""

import ctypes
import json
import math
import numbers
import os
import sys

import numpy as np

from . import constants as C

if sys.byteorder != "little":  # the records are little-endian bytes
    raise ImportError("orvane: the interface records are little-endian; this host is not")

__all__ = [
    "RecordError", "Record", "cal_settings", "sensor_cfg", "gainmap", "gain_limits", "dccmap",
    "pd_map", "frame_slot", "cal_state", "INTERFACE_RECORDS", "STATE_RECORDS", "json_text",
]

i8, u8, i16, u16, i32, u32, f32 = (ctypes.c_int8, ctypes.c_uint8, ctypes.c_int16, ctypes.c_uint16,
                                   ctypes.c_int32, ctypes.c_uint32, ctypes.c_float)

_INT_RANGE = {
    i8: (-(1 << 7), (1 << 7) - 1), u8: (0, (1 << 8) - 1),
    i16: (-(1 << 15), (1 << 15) - 1), u16: (0, (1 << 16) - 1),
    i32: (-(1 << 31), (1 << 31) - 1), u32: (0, (1 << 32) - 1),
}


class RecordError(ValueError):
    """A record value or a record file the interface cannot take."""


def _element_type(ctype):
    while issubclass(ctype, ctypes.Array):
        ctype = ctype._type_
    return ctype


def _capacity(ctype):
    n = 1
    while issubclass(ctype, ctypes.Array):
        n *= ctype._length_
        ctype = ctype._type_
    return n


def _is_int(v):
    return isinstance(v, (numbers.Integral, np.integer)) and not isinstance(v, bool)


def _is_real(v):
    return isinstance(v, (numbers.Real, np.floating, np.integer)) and not isinstance(v, bool)


class Record(ctypes.Structure):
    """Base of the records: checked fields, bytes, equality, copies."""

    def __init__(self, **fields):
        super().__init__()
        for name, value in fields.items():
            setattr(self, name, value)

    @classmethod
    def field_types(cls):
        return {name: ctype for name, ctype in cls._fields_}

    @classmethod
    def field_names(cls):
        return [name for name, _ in cls._fields_]

    def __getattribute__(self, name):
        value = super().__getattribute__(name)
        if isinstance(value, ctypes.Array):
            return np.ctypeslib.as_array(value)
        return value

    def __setattr__(self, name, value):
        cls = type(self)
        ctype = cls.field_types().get(name)
        if ctype is None:
            raise AttributeError(f"{cls.__name__} has no field '{name}'")
        where = f"{cls.__name__}.{name}"
        if issubclass(ctype, ctypes.Array):
            self._set_array(name, ctype, value, where)
            return
        if ctype is f32:
            if not _is_real(value):
                raise TypeError(f"{where}: expected a number, got {value!r}")
            super().__setattr__(name, float(value))
            return
        if not _is_int(value):
            raise TypeError(f"{where}: expected an integer, got {value!r}")
        lo, hi = _INT_RANGE[ctype]
        if not lo <= int(value) <= hi:
            raise RecordError(f"{where}: {value} is outside {lo}..{hi}")
        super().__setattr__(name, int(value))

    def _set_array(self, name, ctype, value, where):
        element = _element_type(ctype)
        capacity = _capacity(ctype)
        if issubclass(element, ctypes.Structure):
            raise AttributeError(f"{where}: assign the entries' fields one by one")
        values = np.asarray(value)
        if values.dtype == object or values.dtype.kind not in ("iuf" if element is f32 else "iu"):
            if not (values.size == 0 and values.dtype.kind == "f"):
                kind = "numbers" if element is f32 else "integers"
                raise TypeError(f"{where}: expected an array of {kind}, got {values.dtype}")
        flat = values.reshape(-1)
        if flat.size > capacity:
            raise RecordError(f"{where}: {flat.size} entries exceed the {capacity} of the field")
        if element is not f32 and flat.size:
            lo, hi = _INT_RANGE[element]
            low, high = int(flat.min()), int(flat.max())
            if low < lo or high > hi:
                bad = low if low < lo else high
                raise RecordError(f"{where}: {bad} is outside {lo}..{hi}")
        view = np.ctypeslib.as_array(super().__getattribute__(name)).reshape(-1)
        view[:flat.size] = flat
        view[flat.size:] = 0

    # ---- bytes ---------------------------------------------------------------------
    def to_bytes(self):
        """The raw record: exactly sizeof(record) little-endian bytes."""
        return bytes(memoryview(self).cast("B"))

    @classmethod
    def from_bytes(cls, data, source=None):
        data = bytes(data)
        size = ctypes.sizeof(cls)
        if len(data) != size:
            raise RecordError(f"{source or cls.__name__}: expected {size} bytes (a {cls.__name__} "
                              f"record), got {len(data)}")
        return cls.from_buffer_copy(data)

    def copy(self):
        return type(self).from_buffer_copy(self.to_bytes())

    def __eq__(self, other):
        return type(self) is type(other) and self.to_bytes() == other.to_bytes()

    __hash__ = None

    def __repr__(self):
        parts = []
        for name in self.field_names():
            value = getattr(self, name)
            if isinstance(value, np.ndarray):
                shown = np.array2string(value.reshape(-1)[:6], separator=", ")
                value = f"{shown[:-1]}, ...]" if value.size > 6 else shown
            parts.append(f"{name}={value}")
        return f"{type(self).__name__}({', '.join(parts)})"

    # ---- files: JSON for *.json, raw bytes otherwise ---------------------------------
    @classmethod
    def load(cls, path):
        path = os.fspath(path)
        if path.endswith(".json"):
            with open(path, encoding="utf-8") as f:
                try:
                    value = json.load(f)
                except json.JSONDecodeError as e:
                    raise RecordError(f"{path}: invalid JSON: {e}") from None
            return cls.from_json(value, source=path)
        with open(path, "rb") as f:
            return cls.from_bytes(f.read(), source=path)

    def save(self, path):
        path = os.fspath(path)
        data = json_text(self.to_json()).encode() if path.endswith(".json") else self.to_bytes()
        with open(path, "wb") as f:
            f.write(data)

    @classmethod
    def from_json(cls, value, source=None):
        """From a JSON object (a dict, or its text) in the tool's format."""
        if isinstance(value, (str, bytes)):
            try:
                value = json.loads(value)
            except json.JSONDecodeError as e:
                raise RecordError(f"{source or cls.__name__}: invalid JSON: {e}") from None
        record = cls()
        cls._read_json(_Fields(value, source or cls.__name__, cls._json_fields), record)
        return record

    def to_json(self):
        """The record as the tool writes it (a dict keeping the field order)."""
        return self._write_json()


# ---- JSON helpers ------------------------------------------------------------------------

def float_json(v):
    """JSON form of a float32: a number, or "nan" / "inf" / "-inf"."""
    v = np.float32(v)
    if math.isnan(v):
        return "nan"
    if math.isinf(v):
        return "inf" if v > 0 else "-inf"
    return float(str(v))  # shortest text that reads back to the same float32


def _shown(v):
    s = json.dumps(v)
    return s if len(s) <= 40 else s[:37] + "..."


class _Fields:
    """Checked access to one JSON object's fields; errors name source and field."""

    def __init__(self, obj, source, known):
        self.source = source
        if not isinstance(obj, dict):
            raise RecordError(f"{source}: expected a JSON object, got {_shown(obj)}")
        for key in obj:
            if key not in known:
                raise RecordError(f"{source}: unknown field '{key}'")
        self.obj = obj

    def has(self, name):
        return name in self.obj

    def at(self, name):
        if name not in self.obj:
            raise RecordError(f"{self.source}: missing field '{name}'")
        return self.obj[name]

    def fail(self, field, message):
        raise RecordError(f"{self.source}: field '{field}': {message}")

    def integer(self, field, v, lo, hi):
        if not _is_int(v) or not lo <= v <= hi:
            self.fail(field, f"expected an integer {lo}..{hi}, got {_shown(v)}")
        return int(v)

    def real(self, field, v):
        if isinstance(v, str) and v in ("nan", "inf", "-inf"):
            return float(v)
        if not _is_real(v):
            self.fail(field, f'expected a number (or "nan", "inf", "-inf"), got {_shown(v)}')
        return float(v)

    def int(self, name, ctype, lo=None, hi=None):
        tlo, thi = _INT_RANGE[ctype]
        return self.integer(name, self.at(name), tlo if lo is None else lo,
                            thi if hi is None else hi)

    def float(self, name):
        return self.real(name, self.at(name))

    def _array(self, name, capacity, what):
        v = self.at(name)
        if not isinstance(v, list):
            self.fail(name, f"expected an array of at most {capacity} {what}, got {_shown(v)}")
        if len(v) > capacity:
            self.fail(name, f"expected at most {capacity} entries, got {len(v)}")
        return v

    def ints(self, name, ctype, capacity):
        lo, hi = _INT_RANGE[ctype]
        return [self.integer(f"{name}[{i}]", x, lo, hi)
                for i, x in enumerate(self._array(name, capacity, "integers"))]

    def floats(self, name, capacity):
        return [self.real(f"{name}[{i}]", x)
                for i, x in enumerate(self._array(name, capacity, "numbers"))]

    def grid(self, name, ctype, cols, rows):
        v = self.at(name)
        shape = f"{rows} rows of {cols} integers"
        if not isinstance(v, list):
            self.fail(name, f"expected {shape}, got {_shown(v)}")
        if len(v) != rows:
            self.fail(name, f"expected {shape}, got {len(v)} rows")
        lo, hi = _INT_RANGE[ctype]
        out = []
        for r, row in enumerate(v):
            if not isinstance(row, list) or len(row) != cols:
                got = f"{len(row)} entries" if isinstance(row, list) else _shown(row)
                self.fail(f"{name}[{r}]", f"expected {cols} entries, got {got}")
            out.extend(self.integer(f"{name}[{r}][{c}]", x, lo, hi) for c, x in enumerate(row))
        return out


def _check_grid(record, cols, rows, capacity, what):
    """A record's cols x rows grid must fit the capacity of its arrays."""
    if cols * rows > capacity:
        raise RecordError(f"{record}: {cols} x {rows} {what} exceed the {capacity} of the record")


def _map_json(record, header, tables):
    """The tool's JSON of a map record: version, reserved when set, the
    `header` fields, then each table of `tables` as rows of the record's grid,
    which _grid() checks first."""
    cols, rows = record._grid()
    j = {"version": int(record.version)}
    if record.reserved:
        j["reserved"] = int(record.reserved)
    for name in header:
        j[name] = int(getattr(record, name))
    for name in tables:
        j[name] = _grid_json(getattr(record, name), cols, rows)
    return j


def _grid_json(values, cols, rows, convert=int):
    return [[convert(values[r * cols + c]) for c in range(cols)] for r in range(rows)]


def _float_list(values, minimum):
    """Floats up to the last entry with non-zero bits, and at least `minimum`."""
    bits = np.asarray(values, dtype=np.float32).view(np.uint32)
    nonzero = np.flatnonzero(bits)
    used = max(min(minimum, len(values)), int(nonzero[-1]) + 1 if nonzero.size else 0)
    return [float_json(v) for v in values[:used]]


def _scalar_json(v):
    return json.dumps(v)


def _append(out, v, indent):
    inner = " " * (indent + 2)
    if isinstance(v, dict) and v:
        out.append("{\n")
        for i, (key, item) in enumerate(v.items()):
            out.append(f"{inner}{json.dumps(key)}: ")
            _append(out, item, indent + 2)
            out.append(",\n" if i + 1 < len(v) else "\n")
        out.append(" " * indent + "}")
    elif isinstance(v, list) and v:
        if all(not isinstance(x, (list, dict)) for x in v):
            out.append("[" + ", ".join(_scalar_json(x) for x in v) + "]")
            return
        out.append("[\n")
        for i, item in enumerate(v):
            out.append(inner)
            _append(out, item, indent + 2)
            out.append(",\n" if i + 1 < len(v) else "\n")
        out.append(" " * indent + "]")
    else:
        out.append(_scalar_json(v))


def json_text(value):
    """JSON text laid out as the tool writes it: two-space indentation, arrays of
    plain values on one line (so grids read as rows), one trailing newline."""
    out = []
    _append(out, value, 0)
    return "".join(out) + "\n"


# ---- the interface records ---------------------------------------------------------------

class cal_settings(Record):
    """Tuning record copied into the context at creation (356 bytes)."""

    _fields_ = [
        ("dump_tag", i8), ("focus_abs_sum", u8), ("focus_tapered", u8), ("gain_rows", i8),
        ("gain_cols", i8), ("gain_shift", i8), ("win_rows", i8), ("win_cols", i8),
        ("dcc_shift", i8), ("reserved0", u8 * 3), ("filter_taps", f32 * C.MAX_FILTER_TAPS),
        ("filter_tap_count", u8), ("sweep_frames", i8), ("max_shift", i8), ("trim_frames", i8),
        ("min_pd_range", i8), ("reserved1", u8 * 3), ("win_margin", f32),
        ("dcc_dev_limit", f32 * C.MAX_DCC_WINDOWS), ("residual_limit", f32),
        ("pd_pitch_2pd", i8), ("reserved2", u8 * 3), ("lens_min", f32), ("lens_max", f32),
    ]
    _json_fields = [name for name, _ in _fields_]

    def _write_json(self):
        j = {}
        for name in ("dump_tag", "focus_abs_sum", "focus_tapered", "gain_rows", "gain_cols",
                     "gain_shift", "win_rows", "win_cols", "dcc_shift"):
            j[name] = int(getattr(self, name))
        if self.reserved0.any():
            j["reserved0"] = self.reserved0.tolist()
        j["filter_taps"] = _float_list(self.filter_taps, self.filter_tap_count)
        for name in ("filter_tap_count", "sweep_frames", "max_shift", "trim_frames",
                     "min_pd_range"):
            j[name] = int(getattr(self, name))
        if self.reserved1.any():
            j["reserved1"] = self.reserved1.tolist()
        j["win_margin"] = float_json(self.win_margin)
        windows = max(0, self.win_rows) * max(0, self.win_cols)
        j["dcc_dev_limit"] = _float_list(self.dcc_dev_limit, windows)
        j["residual_limit"] = float_json(self.residual_limit)
        j["pd_pitch_2pd"] = int(self.pd_pitch_2pd)
        if self.reserved2.any():
            j["reserved2"] = self.reserved2.tolist()
        j["lens_min"] = float_json(self.lens_min)
        j["lens_max"] = float_json(self.lens_max)
        return j

    @classmethod
    def _read_json(cls, f, s):
        for name in ("dump_tag", "gain_rows", "gain_cols", "gain_shift", "win_rows", "win_cols",
                     "dcc_shift", "sweep_frames", "max_shift", "trim_frames", "min_pd_range",
                     "pd_pitch_2pd"):
            setattr(s, name, f.int(name, i8))
        s.focus_abs_sum = f.int("focus_abs_sum", u8)
        s.focus_tapered = f.int("focus_tapered", u8)
        for name in ("reserved0", "reserved1", "reserved2"):
            if f.has(name):
                setattr(s, name, f.ints(name, u8, 3))
        taps = f.floats("filter_taps", C.MAX_FILTER_TAPS)
        s.filter_taps = np.array(taps, dtype=np.float64)
        s.filter_tap_count = f.int("filter_tap_count", u8, 0, C.MAX_FILTER_TAPS)
        if s.filter_tap_count > len(taps):
            f.fail("filter_tap_count", f"{s.filter_tap_count} taps used, but filter_taps has "
                                       f"{len(taps)} entries")
        s.win_margin = f.float("win_margin")
        limits = f.floats("dcc_dev_limit", C.MAX_DCC_WINDOWS)
        s.dcc_dev_limit = np.array(limits, dtype=np.float64)
        if s.win_rows > 0 and s.win_cols > 0:
            windows = min(s.win_rows * s.win_cols, C.MAX_DCC_WINDOWS)
            if len(limits) < windows:
                f.fail("dcc_dev_limit", f"has {len(limits)} entries, fewer than the {windows} "
                                        "windows of the grid")
        s.residual_limit = f.float("residual_limit")
        s.lens_min = f.float("lens_min")
        s.lens_max = f.float("lens_max")


_H_TABLES = ("left_x", "left_y", "right_x", "right_y")
_V_TABLES = ("v_left_x", "v_left_y", "v_right_x", "v_right_y")


class sensor_cfg(Record):
    """PD layout of a sensor (2,072 bytes)."""

    _fields_ = ([("reserved0", u16 * 2), ("image_width", u16), ("image_height", u16),
                 ("black_level", u16), ("reserved1", u16), ("block_width", u16),
                 ("block_height", u16), ("margin_x", u16), ("margin_y", u16), ("pair_count", u16)]
                + [(name, u16 * C.MAX_PD_PAIRS) for name in _H_TABLES + _V_TABLES]
                + [("bayer_channel", u16)])
    _json_fields = [name for name, _ in _fields_]

    def _write_json(self):
        j = {}
        if self.reserved0.any():
            j["reserved0"] = self.reserved0.tolist()
        for name in ("image_width", "image_height", "black_level"):
            j[name] = int(getattr(self, name))
        if self.reserved1:
            j["reserved1"] = int(self.reserved1)
        for name in ("block_width", "block_height", "margin_x", "margin_y", "pair_count"):
            j[name] = int(getattr(self, name))
        for names in (_H_TABLES, _V_TABLES):
            tables = np.stack([getattr(self, n) for n in names])
            nonzero = np.flatnonzero(tables.any(axis=0))
            if nonzero.size == 0:
                continue
            used = max(int(nonzero[-1]) + 1, min(int(self.pair_count), C.MAX_PD_PAIRS))
            for n, table in zip(names, tables):
                j[n] = table[:used].tolist()
        j["bayer_channel"] = int(self.bayer_channel)
        return j

    @classmethod
    def _read_json(cls, f, c):
        if f.has("reserved0"):
            c.reserved0 = f.ints("reserved0", u16, 2)
        for name in ("image_width", "image_height", "black_level", "block_width", "block_height",
                     "margin_x", "margin_y", "bayer_channel"):
            setattr(c, name, f.int(name, u16))
        if f.has("reserved1"):
            c.reserved1 = f.int("reserved1", u16)
        c.pair_count = f.int("pair_count", u16, 0, C.MAX_PD_PAIRS)
        for names in (_H_TABLES, _V_TABLES):
            given = [n for n in names if f.has(n)]
            if not given:
                continue
            for n in names:
                if not f.has(n):
                    f.fail(n, f"missing, while '{given[0]}' is given")
            tables = [f.ints(n, u16, C.MAX_PD_PAIRS) for n in names]
            for n, t in zip(names, tables):
                if len(t) != len(tables[0]):
                    f.fail(n, f"has {len(t)} entries, '{names[0]}' has {len(tables[0])}")
                if len(t) < c.pair_count:
                    f.fail(n, f"has {len(t)} entries, fewer than pair_count ({c.pair_count})")
                setattr(c, n, np.array(t, dtype=np.int64))


class gain_limits(Record):
    """Limits a generated gain map is checked against (8 bytes)."""

    _fields_ = [("max_gain", u16), ("min_level", u16), ("max_level", u16), ("level_window", u16)]
    _json_fields = [name for name, _ in _fields_]

    def _write_json(self):
        return {name: int(getattr(self, name)) for name in self._json_fields}

    @classmethod
    def _read_json(cls, f, r):
        for name in cls._json_fields:
            setattr(r, name, f.int(name, u16))


_GAIN_TABLES = ("left", "right", "left_v", "right_v")


class gainmap(Record):
    """Gain map (2,054 bytes); gains are fixed point with unity 512."""

    _fields_ = ([("version", u8), ("reserved", u8), ("cols", u16), ("rows", u16)]
                + [(name, u16 * C.MAX_GAIN_CELLS) for name in _GAIN_TABLES])
    _json_fields = [name for name, _ in _fields_]

    def grid(self, table):
        """One gain table as a rows x cols array (a view of the record)."""
        if table not in _GAIN_TABLES:
            raise ValueError(f"gainmap.grid: table '{table}' is not one of {_GAIN_TABLES}")
        cols, rows = self._grid()
        return getattr(self, table)[:cols * rows].reshape(rows, cols)

    def _grid(self):
        _check_grid("gainmap", self.cols, self.rows, C.MAX_GAIN_CELLS, "cells")
        return self.cols, self.rows

    def _write_json(self):
        return _map_json(self, ("cols", "rows"), _GAIN_TABLES)

    @classmethod
    def _read_json(cls, f, m):
        m.version = f.int("version", u8)
        if f.has("reserved"):
            m.reserved = f.int("reserved", u8)
        m.cols = f.int("cols", u16)
        m.rows = f.int("rows", u16)
        if m.cols * m.rows > C.MAX_GAIN_CELLS:
            f.fail("rows", f"{m.cols} x {m.rows} cells exceed the {C.MAX_GAIN_CELLS} of the "
                           "tables")
        tables = ("left", "right", "left_v", "right_v") \
            if f.has("left_v") or f.has("right_v") else ("left", "right")
        for name in tables:
            setattr(m, name, f.grid(name, u16, m.cols, m.rows))


class dccmap(Record):
    """DCC map (8 + 2 x windows bytes, at most 104)."""

    _fields_ = [("version", u8), ("reserved", u8), ("dcc_shift", u16), ("win_cols", u16),
                ("win_rows", u16), ("dcc", i16 * C.MAX_DCC_WINDOWS)]
    _json_fields = [name for name, _ in _fields_]

    def grid(self):
        """The DCC values as a win_rows x win_cols array (a view of the record)."""
        cols, rows = self._grid()
        return self.dcc[:cols * rows].reshape(rows, cols)

    def _grid(self):
        _check_grid("dccmap", self.win_cols, self.win_rows, C.MAX_DCC_WINDOWS, "windows")
        return self.win_cols, self.win_rows

    def _write_json(self):
        return _map_json(self, ("dcc_shift", "win_cols", "win_rows"), ("dcc",))

    @classmethod
    def _read_json(cls, f, m):
        m.version = f.int("version", u8)
        if f.has("reserved"):
            m.reserved = f.int("reserved", u8)
        m.dcc_shift = f.int("dcc_shift", u16)
        m.win_cols = f.int("win_cols", u16)
        m.win_rows = f.int("win_rows", u16)
        if m.win_cols * m.win_rows > C.MAX_DCC_WINDOWS:
            f.fail("win_rows", f"{m.win_cols} x {m.win_rows} windows exceed the "
                               f"{C.MAX_DCC_WINDOWS} of the record")
        m.dcc = f.grid("dcc", i16, m.win_cols, m.win_rows)


class zero_pd_map(Record):
    """A zero-PD offset block as the library reads it back (100 bytes)."""

    _fields_ = [("win_cols", u16), ("win_rows", u16), ("offset", i16 * C.MAX_DCC_WINDOWS)]
    _json_fields = [name for name, _ in _fields_]


class pd_map(Record):
    """Output of the PD readouts (580 bytes)."""

    _fields_ = [("cols", u16), ("rows", u16), ("pd", f32 * C.MAX_WINDOWS)]
    _json_fields = [name for name, _ in _fields_]

    def grid(self):
        """The disparities as a rows x cols array (a view of the record)."""
        _check_grid("pd_map", self.cols, self.rows, C.MAX_WINDOWS, "windows")
        return self.pd[:self.cols * self.rows].reshape(self.rows, self.cols)

    def _write_json(self):
        return {"cols": int(self.cols), "rows": int(self.rows),
                "pd": [[float_json(v) for v in row] for row in self.grid()]}

    @classmethod
    def _read_json(cls, f, m):
        m.cols = f.int("cols", u16)
        m.rows = f.int("rows", u16)
        if m.cols * m.rows > C.MAX_WINDOWS:
            f.fail("rows", f"{m.cols} x {m.rows} windows exceed the {C.MAX_WINDOWS} of the "
                           "record")
        rows = f.at("pd")
        if not isinstance(rows, list) or len(rows) != m.rows:
            f.fail("pd", f"expected {m.rows} rows of {m.cols} numbers")
        values = []
        for r, row in enumerate(rows):
            if not isinstance(row, list) or len(row) != m.cols:
                f.fail(f"pd[{r}]", f"expected {m.cols} numbers")
            values.extend(f.real(f"pd[{r}][{c}]", v) for c, v in enumerate(row))
        m.pd = np.array(values, dtype=np.float64)


# ---- the calibration state (the state dump file) -------------------------------------------

class frame_slot(Record):
    """Results of one frame of a sweep (60,196 bytes)."""

    _fields_ = [("pd", f32 * C.MAX_WINDOWS), ("focus", f32 * C.MAX_WINDOWS),
                ("confidence", i16 * C.MAX_WINDOWS), ("flags", u32 * C.MAX_WINDOWS),
                ("sad_curve", (f32 * C.SAD_CURVE_LEN) * C.MAX_WINDOWS),
                ("lens_position", i16), ("reserved", u16)]


class cal_state(Record):
    """The calibration state (726,292 bytes): the whole state dump file."""

    _fields_ = [
        ("dump_tag", i16), ("focus_abs_sum", u8), ("reserved0", u8), ("gain_cols", u16),
        ("gain_rows", u16), ("gain_left", u16 * C.MAX_GAIN_CELLS),
        ("gain_right", u16 * C.MAX_GAIN_CELLS), ("dcc_shift", u16), ("win_cols", u16),
        ("win_rows", u16), ("dcc", i16 * C.MAX_WINDOWS), ("reserved1", u16),
        ("peak_lens", i16 * C.MAX_WINDOWS), ("zero_pd_lens", i16 * C.MAX_WINDOWS),
        ("zero_pd_offset", i16 * C.MAX_WINDOWS), ("zero_pd_offset_norm", f32 * C.MAX_WINDOWS),
        ("fit_residual", f32 * C.MAX_WINDOWS), ("slots", frame_slot * C.FRAME_SLOTS),
        ("frames_added", i16), ("sweep_frames", i16), ("frames_fitted", i16), ("max_shift", i16),
        ("win_margin", f32), ("bayer_channel", u8), ("reserved2", u8 * 3),
        ("dcc_dev_limit", f32 * C.MAX_WINDOWS), ("dcc_flags", u32),
    ]


# The records of orvane.h, and those of the state dump's layout.
INTERFACE_RECORDS = (cal_settings, sensor_cfg, gainmap, gain_limits, dccmap, pd_map)
STATE_RECORDS = (frame_slot, cal_state)
