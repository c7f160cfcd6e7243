"""Status words of the entry points, and the error raised for the hard failure."""

import enum

__all__ = ["Status", "OrvaneError", "HARD_FAILURE", "DCC_MAP_FLAGS", "MEANING", "meaning"]

HARD_FAILURE = 0xFFFFFFFF
# The flags of the DCC map's status (and the state's dcc_flags); the others
# belong to every other status word and to the per-window flags of a frame.
DCC_MAP_FLAGS = ("NOT_MONOTONIC", "TOO_FEW_FRAMES", "DCC_DEVIATION", "PD_RANGE_LOW",
                 "PEAK_AT_END")

# What each flag means, by its name in orvane.h: the header's
# ORVANE_FLAG_MEANING_LIST and ORVANE_HARD_FAILURE_MEANING (the layout test
# holds the two equal).
MEANING = {
    "lens_out_of_range": "lens position outside lens_min..lens_max",
    "layout_unusable": "no PD pairs, zero block size or nothing extracted",
    "level_too_high": "a PD level of the flat field above the maximum level",
    "level_too_low": "a PD level of the flat field below the minimum level",
    "gain_too_high": "a gain above the maximum gain",
    "pd_at_edge": "disparity at the edge of the search range",
    "invalid_roi": "invalid window rectangle",
    "not_monotonic": "PD steps against its direction over the sweep and the fit residual "
                     "exceeds residual_limit",
    "too_few_frames": "fewer frames than sweep_frames, or fewer than 2 left for the fit",
    "dcc_deviation": "|zero-PD lens - peak lens| / lens span above the window's dcc_dev_limit",
    "pd_range_low": "PD spread over the fitted frames below min_pd_range",
    "focus_failed": "the focus measure failed for the window",
    "peak_at_end": "focus peak at or beyond an end of the sweep",
    "hard_failure": "the call failed",
}


def meaning(name):
    """What the flag `name` means ("pd_at_edge" or "PD_AT_EDGE"); "" for no flag."""
    return MEANING.get(name.lower(), "")


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
