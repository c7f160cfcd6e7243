// The DCC map's checks of one window. Orvane_get_dccmap reports only their OR
// (and the state dump holds no more), so the tool works out from the dump
// which window fails which check, here and nowhere else, and writes the
// outcome with the values checked into summary.json for every reader.
#pragma once

#include <cstdint>

#include "io/blocks.h"
#include "orvane.h"

namespace orvane_tool {

struct window_checks {
    uint32_t flags = 0;  // the DCC map flags the window raises
    // The PD spread over the fitted frames, which PD_RANGE_LOW compares with
    // min_pd_range; NaN where the sweep is too short to check it.
    float pd_range = 0.0f;
};

// Window `w` of dump `d`, from a sweep of `frames` frames and the settings
// the calibration ran with, checked as the library checks it.
window_checks check_window(const io::state_dump& d, const cal_settings& s, int frames, int w);

}  // namespace orvane_tool
