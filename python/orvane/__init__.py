"""Python bindings of liborvane, the calibration library for phase-detection
autofocus pixels, over its C interface (ctypes) with numpy arrays.

    import orvane
    with orvane.Context(settings) as ctx:
        status, gains = ctx.get_gainmap(flat, cfg, limits)

    capture = orvane.load_capture_set("captures/sim/manifest.json")
    result = orvane.calibrate(capture)       # the tool's host call order

The API:
    Context, and the library's other entry points: lib_version, lib_features,
        validate_sensor_cfg, calibration_block (and its _vertical,
        _horizontal_vertical and _horizontal_vertical_without_dcc forms),
        read_calibration_block
    records as the C structs, with JSON like the tool's: cal_settings, sensor_cfg,
        gain_limits, gainmap, dccmap, pd_map, frame_slot, cal_state, json_text
    status words and errors: Status, OrvaneError, HARD_FAILURE, RecordError,
        LibraryNotFound, BlockError
    the tool's files: read_block, CalibrationBlock, read_curve_of_field,
        CurveOfField, read_zero_pd_offset_block, ZeroPdOffsets, read_state_dump,
        StateDump
    capture sets: load_capture_set, CaptureSet, Frame, read_frame, calibrate
    the shared library: library, library_path; numeric limits: constants

Commands: `python3 -m orvane.report DIR` (the calibration report page),
`python3 -m orvane.lot_page DIR` (the lot page), `python3 -m orvane.batch`
(a lot on a Dask cluster).

The library is found through ORVANE_LIBRARY, beside an installed package, or
on the system's search path (see orvane._library). Records, JSON and the file
readers work without loading it. The library's diagnostics are WARNING
records of the logger "orvane".
"""

from . import constants
from .records import (RecordError, cal_settings, sensor_cfg, gainmap, gain_limits, dccmap,
                      pd_map, frame_slot, cal_state, json_text)
from .status import Status, OrvaneError, HARD_FAILURE
from ._library import library, library_path, LibraryNotFound
from .api import (Context, lib_version, lib_features, validate_sensor_cfg, calibration_block,
                  calibration_block_vertical, calibration_block_horizontal_vertical,
                  calibration_block_horizontal_vertical_without_dcc, read_calibration_block)
from .files import (BlockError, CalibrationBlock, CurveOfField, StateDump, ZeroPdOffsets,
                    read_block, read_curve_of_field, read_state_dump, read_zero_pd_offset_block)
from .capture import CaptureSet, CaptureError, Frame, load_capture_set, calibrate

__version__ = "0.1.0"

__all__ = [
    # the library's entry points
    "Context", "lib_version", "lib_features", "validate_sensor_cfg", "calibration_block",
    "calibration_block_vertical", "calibration_block_horizontal_vertical",
    "calibration_block_horizontal_vertical_without_dcc", "read_calibration_block",
    # records
    "cal_settings", "sensor_cfg", "gain_limits", "gainmap", "dccmap", "pd_map", "frame_slot",
    "cal_state", "json_text",
    # status words and errors
    "Status", "OrvaneError", "HARD_FAILURE", "RecordError", "LibraryNotFound", "BlockError",
    # the tool's files
    "read_block", "CalibrationBlock", "read_curve_of_field", "CurveOfField",
    "read_zero_pd_offset_block", "ZeroPdOffsets", "read_state_dump",
    "StateDump",
    # capture sets and the whole calibration
    "load_capture_set", "CaptureSet", "Frame", "read_frame", "calibrate",
    # the shared library and the numeric limits
    "library", "library_path", "constants",
]
