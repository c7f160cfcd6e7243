"""Python bindings of liborvane, the calibration library for phase-detection
autofocus pixels, over its C interface (ctypes) with numpy arrays.

    import orvane
    with orvane.Context(settings) as ctx:
        status, gains = ctx.get_gainmap(flat, cfg, limits)

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
from .files import (BlockError, CalibrationBlock, CurveOfField, StateDump, read_block,
                    read_curve_of_field, read_state_dump)
from .capture import CaptureSet, Frame, load_capture_set, read_frame, calibrate

__version__ = "0.1.0"
