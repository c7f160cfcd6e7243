"""What an output folder of the tool holds, for the report page: each file read
through the package's readers or marked missing or broken (`Folder`), and the
calibration's values taken from the first file that has them (`Calibration`).
Nothing here works out again what the tool or the library already wrote."""

import json
import os

import numpy as np

from .. import files
from .. import records
from ..constants import MAX_DCC_WINDOWS
from ..status import Status

# Application treats 512 as a gain of 1, whatever gain_shift the generation used.
GAIN_UNITY = 512

FILES = (
    ("summary.json", "layout, frame size, settings, status words, per-window flags, accuracy"),
    ("state_dump.bin", "per frame and window PD, focus, confidence, flags; the fit per window"),
    ("gainmap.json", "the gain tables"),
    ("dccmap.json", "the DCC per window"),
    ("calibration_block.bin", "the calibration block (gain tables and DCC, big-endian)"),
    ("curve_of_field_block.bin", "the in-focus lens position per window"),
    ("truth.json", "ground truth (simulated modules only)"),
    ("verify.json", "closed-loop verification on a second sweep (orvane demo, orvane verify)"),
    ("verdict.json", "the verdict against the acceptance limits and its root cause"),
)
OPTIONAL = ("truth.json", "verify.json", "verdict.json")


def flag_names(word, dcc_map=False):
    """Flag names of a status word as the header spells them ([] for 0)."""
    if word is None:
        return []
    word = int(word) & 0xFFFFFFFF
    if word == 0:
        return []
    return [n.lower() for n in Status(word).names(dcc_map=dcc_map)]


def _json_object(path):
    with open(path, encoding="utf-8") as f:
        value = json.load(f)
    if not isinstance(value, dict):
        raise ValueError(f"{os.path.basename(path)}: expected a JSON object")
    return value


def _verdict(path):
    value = _json_object(path)
    if value.get("verdict") not in ("PASS", "FAIL") or not isinstance(value.get("checks"), list):
        raise ValueError("verdict.json: no PASS/FAIL verdict with its checks")
    return value


class Folder:
    """The files of one output folder, each read or marked missing/broken."""

    def __init__(self, path):
        self.path = path
        self.state_of = {}  # file name -> (word, detail): "read", "missing" or "broken"
        self.summary = self._load("summary.json", _json_object)
        self.state = self._load("state_dump.bin", files.read_state_dump)
        self.gains = self._load("gainmap.json", records.gainmap.load)
        self.dcc = self._load("dccmap.json", records.dccmap.load)
        self.block = self._load("calibration_block.bin", files.read_calibration_block_file)
        self.cof = self._load("curve_of_field_block.bin", files.read_curve_of_field)
        self.truth = self._load("truth.json", _json_object)
        self.verify = self._load("verify.json", _json_object)
        self.verdict = self._load("verdict.json", _verdict)
        s = self.summary or {}
        self.settings = self._record(s, "settings", records.cal_settings)
        self.limits = self._record(s, "limits", records.gain_limits)

    def _load(self, name, reader):
        path = os.path.join(self.path, name)
        if not os.path.exists(path):
            self.state_of[name] = ("missing", "")
            return None
        try:
            value = reader(path)
        except (OSError, ValueError, KeyError, TypeError) as e:
            detail = str(e)
            self.state_of[name] = ("broken", detail if name in detail else f"{name}: {detail}")
            return None
        self.state_of[name] = ("read", "")
        return value

    def _record(self, summary, key, cls):
        if key not in summary:
            return None
        try:
            return cls.from_json(summary[key], source=f"summary.json: {key}")
        except (ValueError, TypeError) as e:
            self.state_of["summary.json"] = ("read", f"its {key} do not parse: {e}")
            return None


class Calibration:
    """What the folder's files say, each value from the first file that has it."""

    def __init__(self, folder):
        f = self.f = folder
        s = f.summary or {}
        self.layout = s.get("layout") if isinstance(s.get("layout"), str) else None
        self.rows, self.cols = self._grid()
        self.windows = self.rows * self.cols

        # Sweep: lens position of each frame of the sweep (the dump's slots, or the summary).
        self.lens = None
        if f.state is not None and f.state.frames > 0:
            self.lens = np.array(f.state.lens_position[:f.state.frames], dtype=np.int64)
        elif isinstance(s.get("lens_positions"), list) and s["lens_positions"]:
            self.lens = np.array(s["lens_positions"], dtype=np.int64)
        self.frames = 0 if self.lens is None else len(self.lens)
        self.trim = None
        if f.settings is not None:
            self.trim = int(f.settings.trim_frames)
        elif f.state is not None:
            self.trim = max(0, (int(f.state.sweep_frames) - int(f.state.frames_fitted)) // 2)

        self.dcc = self._dcc()
        self.peak = self._peak()
        self.frame_flags, self.fit_flags, self.fit_flags_source = self._window_flags()
        self.truth = self._truth()

    def _grid(self):
        f, s = self.f, self.f.summary or {}
        for src in (f.state, f.dcc, f.cof):
            if src is not None and src.win_rows * src.win_cols > 0:
                return int(src.win_rows), int(src.win_cols)
        if isinstance(s.get("win_rows"), int) and isinstance(s.get("win_cols"), int):
            return s["win_rows"], s["win_cols"]
        return 0, 0

    def _fits(self, values):
        a = np.asarray(values)
        return a.shape == (self.rows, self.cols) and self.windows > 0

    def _dcc(self):
        """DCC per window in lens units per pixel, and the file it came from."""
        f = self.f
        if f.dcc is not None and self._fits(f.dcc.grid()):
            return np.ldexp(f.dcc.grid().astype(np.float64), -int(f.dcc.dcc_shift)), "dccmap.json"
        if f.state is not None and self.windows <= MAX_DCC_WINDOWS:
            return np.ldexp(f.state.dcc.astype(np.float64), -int(f.state.dcc_shift)), \
                "state_dump.bin"
        if f.block is not None and self._fits(f.block.dcc):
            return np.ldexp(f.block.dcc.astype(np.float64), -f.block.dcc_shift), \
                "calibration_block.bin"
        s = f.summary or {}
        if "dcc_lens_per_px" in s and self._fits(s["dcc_lens_per_px"]):
            return np.array(s["dcc_lens_per_px"], dtype=np.float64), "summary.json"
        return None

    def _peak(self):
        f, s = self.f, self.f.summary or {}
        if f.cof is not None and self._fits(f.cof.peak_lens):
            return f.cof.peak_lens.astype(np.int64), "curve_of_field_block.bin"
        if f.state is not None:
            return f.state.peak_lens.astype(np.int64), "state_dump.bin"
        if "peak_lens" in s and self._fits(s["peak_lens"]):
            return np.array(s["peak_lens"], dtype=np.int64), "summary.json"
        return None

    def zero_pd_offset(self):
        """The zero-PD offset per window in lens units and its source, or None. The
        state dump carries the same values as zero_pd_offset_block.bin and needs no
        library; the block, read through the library, serves a folder without one."""
        f = self.f
        if f.state is not None and self._fits(f.state.zero_pd_offset):
            return f.state.zero_pd_offset.astype(np.int64), "state_dump.bin"
        path = os.path.join(f.path, "zero_pd_offset_block.bin")
        if os.path.exists(path):
            try:
                block = files.read_zero_pd_offset_block(path)
            except Exception:  # noqa: BLE001 - no library or a damaged block: no offset map
                return None
            if self._fits(block.offset):
                return block.offset.astype(np.int64), "zero_pd_offset_block.bin"
        return None

    def gain_tables(self):
        """(first, second, names, source) of the layout's gain tables as gains, or None."""
        f = self.f
        vertical = self.layout == "vertical"
        names = ("left_v", "right_v") if vertical else ("left", "right")
        if f.gains is not None:
            try:
                tables = [f.gains.grid(n) for n in names]
                if tables[0].size:
                    return (*[t / GAIN_UNITY for t in tables], names, "gainmap.json")
            except (ValueError, records.RecordError):
                pass
        if f.block is not None and f.block.left.size:
            first, second = (f.block.left, f.block.right)
            if f.block.kind != files.SINGLE and vertical:
                first, second = f.block.left_v, f.block.right_v
            return first / GAIN_UNITY, second / GAIN_UNITY, names, "calibration_block.bin"
        if f.state is not None and f.state.gain_left.size:
            return (f.state.gain_left / GAIN_UNITY, f.state.gain_right / GAIN_UNITY, names,
                    "state_dump.bin (the map of frame 0)")
        return None

    def _window_flags(self):
        """Per window: the OR of its per-frame flags over the sweep, and the DCC map's
        checks it fails as the tool wrote them to summary.json (None without them)."""
        f, s = self.f, self.f.summary or {}
        frame = None
        if f.state is not None and f.state.frames > 0:
            frame = np.bitwise_or.reduce(f.state.flags.astype(np.int64), axis=0)
        if "frame_flags" in s and self._fits(s["frame_flags"]):
            # The tool's own OR of the frame flags: a flag the dump lacks still shows.
            summary = np.array(s["frame_flags"], dtype=np.int64)
            frame = summary if frame is None else frame | summary
        if "fit_flags" in s and self._fits(s["fit_flags"]):
            return frame, np.array(s["fit_flags"], dtype=np.int64), "from summary.json"
        return frame, None, None

    def _truth(self):
        t = self.f.truth
        if not t:
            return None
        try:
            if (int(t["win_rows"]), int(t["win_cols"])) != (self.rows, self.cols):
                self.truth_note = (f"truth.json has a {t['win_cols']} x {t['win_rows']} window "
                                   f"grid, not the calibration's {self.cols} x {self.rows}")
                return None
            return {"dcc": np.array(t["dcc"], dtype=np.float64),
                    "focus": np.array(t["in_focus_lens"], dtype=np.float64),
                    "step": float(t["lens_step"])}
        except (KeyError, TypeError, ValueError) as e:
            self.truth_note = f"truth.json does not parse: {e}"
            return None

    def flags_of(self, w):
        r, c = divmod(w, self.cols)
        frame = [] if self.frame_flags is None else flag_names(self.frame_flags[r, c])
        fit = [] if self.fit_flags is None else flag_names(self.fit_flags[r, c], dcc_map=True)
        return frame, fit


def fitted_mask(cal):
    """Per frame of the sweep: whether the fit used it (not trimmed)."""
    k = np.arange(cal.frames)
    trim = cal.trim or 0
    return (k >= trim) & (k < cal.frames - trim)
