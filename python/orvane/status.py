"""Status words of the entry points, and the error raised for the hard failure."""

import enum

__all__ = ["Status", "OrvaneError", "HARD_FAILURE"]

HARD_FAILURE = 0xFFFFFFFF


class Status(enum.IntFlag):
    """A status word: 0, the OR of the flags below, or HARD_FAILURE (all bits).

    0x80 has two names: INVALID_ROI for the status of every call but the DCC
    map and for the per-window flags of a frame, NOT_MONOTONIC for the DCC map.
    """

    OK = 0x0
    LENS_OUT_OF_RANGE = 0x2
    LAYOUT_UNUSABLE = 0x4
    LEVEL_TOO_HIGH = 0x8
    LEVEL_TOO_LOW = 0x10
    GAIN_TOO_HIGH = 0x20
    PD_AT_EDGE = 0x40
    INVALID_ROI = 0x80
    NOT_MONOTONIC = 0x80
    TOO_FEW_FRAMES = 0x100
    DCC_DEVIATION = 0x200
    PD_RANGE_LOW = 0x400
    FOCUS_FAILED = 0x1000
    PEAK_AT_END = 0x2000
    HARD_FAILURE = 0xFFFFFFFF

    @property
    def hard_failure(self):
        return int(self) == HARD_FAILURE

    def names(self, dcc_map=False):
        """Names of the flags set, in bit order ("OK" for 0); 0x80 is named
        for the DCC map when dcc_map is true."""
        value = int(self)
        if value == 0:
            return ["OK"]
        if value == HARD_FAILURE:
            return ["HARD_FAILURE"]
        out = []
        for bit in range(32):
            if value & (1 << bit):
                if bit == 7:
                    out.append("NOT_MONOTONIC" if dcc_map else "INVALID_ROI")
                else:
                    try:
                        out.append(Status(1 << bit).name)
                    except ValueError:
                        out.append(hex(1 << bit))
        return out


class OrvaneError(RuntimeError):
    """An entry point returned the hard failure (or a writer refused its records)."""

    def __init__(self, call, status=HARD_FAILURE, detail=""):
        self.call = call
        self.status = status
        message = f"{call} returned the hard failure (0x{status:08X})"
        if detail:
            message += f": {detail}"
        super().__init__(message)
