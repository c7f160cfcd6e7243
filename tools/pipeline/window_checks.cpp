#include "pipeline/window_checks.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace orvane_tool {

window_checks check_window(const io::state_dump& d, const cal_settings& s, int frames, int w) {
    window_checks c;
    frames = std::clamp(frames, 0, ORVANE_FRAME_SLOTS);
    // The library's sweep parameters: the direction is read from slots mid
    // and mid + 1 of the dump's twelve, which may lie past the sweep (two
    // frames, none trimmed); the library reads them there too.
    const int trim = s.trim_frames;
    const int fitted = frames - 2 * trim;
    const int mid = trim + fitted / 2;
    const bool direction_known = mid >= 0 && mid + 1 < ORVANE_FRAME_SLOTS;
    if (fitted >= 2 && frames >= 2 && direction_known) {
        const bool rising = d.slots[mid + 1].pd[w] > d.slots[mid].pd[w];
        float prev = d.slots[0].pd[w];
        float hi = -999999.0f, lo = 999999.0f;
        for (int k = trim; k < trim + fitted; ++k) {
            const float v = d.slots[k].pd[w];
            hi = std::max(hi, v);
            lo = std::min(lo, v);
            const bool against = rising ? prev > v : v > prev;
            if (against && d.fit_residual[w] > s.residual_limit) c.flags |= ORVANE_NOT_MONOTONIC;
            prev = v;
        }
        c.pd_range = std::fabs(hi - lo);
        if (static_cast<float>(s.min_pd_range) > c.pd_range) c.flags |= ORVANE_PD_RANGE_LOW;
    } else {
        c.pd_range = std::numeric_limits<float>::quiet_NaN();
    }
    if (w < ORVANE_MAX_DCC_WINDOWS && std::fabs(d.zero_pd_offset_norm[w]) > s.dcc_dev_limit[w]) {
        c.flags |= ORVANE_DCC_DEVIATION;
    }
    if (frames >= 1 && (d.peak_lens[w] <= d.slots[0].lens_position ||
                        d.peak_lens[w] >= d.slots[frames - 1].lens_position)) {
        c.flags |= ORVANE_PEAK_AT_END;
    }
    return c;
}

}  // namespace orvane_tool
