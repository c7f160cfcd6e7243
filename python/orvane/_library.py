"""Finding and loading liborvane, and the prototypes of its entry points.

The library is loaded on first use, so the records and the file readers work
without it. Where it is looked for, in this order:

1. ORVANE_LIBRARY: the path of the shared library (or of the folder holding it);
2. next to an installed package: the library `cmake --install` put under the
   same prefix (recorded at install time in _install_paths.py);
3. the system's loader: liborvane.so.0 on the default search path.

Once loaded, the library's diagnostics ("line width problem" and the like)
become WARNING records of the logger "orvane" instead of lines on standard
output: the text without its newline, and in the record's `context` the
address of the context they arose in (None for none).
"""

import ctypes
import ctypes.util
import glob
import logging
import os
import threading

from . import records as R

__all__ = ["library", "library_path", "LibraryNotFound"]

SONAME = "liborvane.so.0"


class LibraryNotFound(OSError):
    pass


_lock = threading.Lock()
_loaded = None
_loaded_path = None

c_rec = ctypes.POINTER
P_U16 = ctypes.POINTER(ctypes.c_uint16)
P_U8 = ctypes.POINTER(ctypes.c_uint8)
I32, U32 = ctypes.c_int32, ctypes.c_uint32
F32 = ctypes.c_float
CTX = ctypes.c_void_p
MESSAGE_HANDLER = ctypes.CFUNCTYPE(None, ctypes.c_void_p, CTX, ctypes.c_char_p)

# name: (result, argument types)
PROTOTYPES = {
    "Orvane_create": (CTX, [c_rec(R.cal_settings)]),
    "Orvane_destroy": (I32, [CTX]),
    "Orvane_get_lib_version": (I32, [ctypes.c_char_p]),
    "Orvane_get_lib_features": (I32, [ctypes.c_char_p]),
    "Orvane_validate_sensor_cfg": (U32, [P_U16, c_rec(R.sensor_cfg), P_U16, P_U16]),
    "Orvane_get_gainmap": (U32, [CTX, P_U16, c_rec(R.sensor_cfg), c_rec(R.gainmap),
                                 c_rec(R.gain_limits)]),
    "Orvane_get_gainmap_vertical": (U32, [CTX, P_U16, c_rec(R.sensor_cfg), c_rec(R.gainmap),
                                          c_rec(R.gain_limits)]),
    "Orvane_get_gainmap_2pd": (U32, [CTX, P_U16, P_U16, I32, I32, I32, c_rec(R.gainmap),
                                     c_rec(R.gain_limits), F32]),
    "Orvane_add_raw": (U32, [CTX, I32, I32, P_U16, c_rec(R.sensor_cfg), c_rec(R.gainmap)]),
    "Orvane_add_raw_vertical": (U32, [CTX, I32, I32, P_U16, c_rec(R.sensor_cfg),
                                      c_rec(R.gainmap)]),
    "Orvane_add_raw_2pd": (U32, [CTX, I32, I32, P_U16, P_U16, I32, I32, I32, c_rec(R.gainmap),
                                 F32]),
    "Orvane_get_raw_pd": (U32, [CTX, P_U16, c_rec(R.sensor_cfg), c_rec(R.gainmap),
                                c_rec(R.pd_map)]),
    "Orvane_get_raw_pd_2pd": (U32, [CTX, P_U16, P_U16, I32, I32, I32, c_rec(R.gainmap),
                                    c_rec(R.pd_map)]),
    "Orvane_get_dccmap": (U32, [CTX, c_rec(R.dccmap), ctypes.c_char_p]),
    "Orvane_get_calibration_block": (I32, [c_rec(R.gainmap), c_rec(R.dccmap), P_U8]),
    "Orvane_get_calibration_block_vertical": (I32, [c_rec(R.gainmap), c_rec(R.dccmap), P_U8]),
    "Orvane_get_calibration_block_horizontal_vertical": (
        I32, [c_rec(R.gainmap), c_rec(R.dccmap), c_rec(R.gainmap), c_rec(R.dccmap), P_U8]),
    "Orvane_get_calibration_block_horizontal_vertical_without_dcc": (
        I32, [c_rec(R.gainmap), c_rec(R.dccmap), c_rec(R.gainmap), ctypes.c_void_p, P_U8]),
    "Orvane_get_calibration_curve_of_field_block": (I32, [CTX, P_U8]),
    "Orvane_get_calibration_zero_pd_offset_block": (I32, [CTX, P_U8]),
    "Orvane_read_zero_pd_offset_block": (U32, [P_U8, U32, c_rec(R.zero_pd_map)]),
    "Orvane_read_calibration_block": (U32, [c_rec(R.gainmap), c_rec(R.dccmap), P_U8]),
    "Orvane_set_message_handler": (None, [MESSAGE_HANDLER, ctypes.c_void_p]),
}

_log = logging.getLogger("orvane")


def _log_message(user, ctx, text):
    text = os.fsdecode(text)
    _log.warning("%s", text[:-1] if text.endswith("\n") else text, extra={"context": ctx})


# The library keeps the pointer for good, so the callback lives as long as the module.
_message_handler = MESSAGE_HANDLER(_log_message)


def _candidates():
    env = os.environ.get("ORVANE_LIBRARY")
    if env:
        if os.path.isdir(env):
            found = sorted(glob.glob(os.path.join(env, "liborvane.so*")), key=len)
            return [("ORVANE_LIBRARY", found[0] if found else os.path.join(env, SONAME))]
        return [("ORVANE_LIBRARY", env)]
    out = []
    try:
        from . import _install_paths
        here = os.path.dirname(os.path.abspath(__file__))
        out.append(("the install prefix",
                    os.path.normpath(os.path.join(here, _install_paths.LIBRARY))))
    except ImportError:
        pass
    out.append(("the system loader", SONAME))
    found = ctypes.util.find_library("orvane")
    if found and found != SONAME:
        out.append(("the system loader", found))
    # Run from a source checkout (PYTHONPATH=python), the library just built.
    here = os.path.dirname(os.path.abspath(__file__))
    out.append(("the source tree's build/",
                os.path.normpath(os.path.join(here, "..", "..", "build", SONAME))))
    return out


def library():
    """The loaded library, with the prototypes of every entry point set."""
    global _loaded, _loaded_path
    with _lock:
        if _loaded is not None:
            return _loaded
        tried = []
        for where, path in _candidates():
            try:
                lib = ctypes.CDLL(path)
            except OSError as e:
                tried.append(f"{path} ({where}): {e}")
                continue
            for name, (restype, argtypes) in PROTOTYPES.items():
                fn = getattr(lib, name)
                fn.restype = restype
                fn.argtypes = argtypes
            lib.Orvane_set_message_handler(_message_handler, None)
            _loaded, _loaded_path = lib, path
            return lib
        raise LibraryNotFound(
            "orvane: cannot load liborvane; set ORVANE_LIBRARY to the built library "
            "(e.g. build/liborvane.so). Tried: " + "; ".join(tried))


def library_path():
    """The path the library was loaded from (loading it if needed)."""
    library()
    return _loaded_path
