"""Status words of the entry points, and the error raised for the hard failure."""

import enum

__all__ = ["Status", "OrvaneError", "HARD_FAILURE", "DCC_MAP_FLAGS"]

HARD_FAILURE = 0xFFFFFFFF
# The flags of the DCC map's status (and the state's dcc_flags); the others
# belong to every other status word and to the per-window flags of a frame.
DCC_MAP_FLAGS = ("NOT_MONOTONIC", "TOO_FEW_FRAMES", "DCC_DEVIATION", "PD_RANGE_LOW",
                 "PEAK_AT_END")


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
            if not value & (1 << bit):
                continue
            names = [n for n, m in Status.__members__.items() if int(m) == 1 << bit]
            if len(names) > 1:  # 0x80: the name of the word's scope
                names = [n for n in names if (n in DCC_MAP_FLAGS) == dcc_map]
            out.append(names[0] if names else hex(1 << bit))
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
