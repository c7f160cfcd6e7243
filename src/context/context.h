// The calibration context: settings copy, the calibration state (laid out
// in orvane_state.h; the state dump writes it verbatim) and the working buffers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "context/bands.h"
#include "context/capacity.h"
#include "orvane.h"
#include "orvane_state.h"

namespace orvane {

// The state region's layout is the public one of the state dump.
using ::cal_state;
using ::frame_slot;

struct kernel_table;

// Working tables of the focus measure and the profile filter, sized for the
// longest row an image can have so no window that fits the cut-out buffer is
// refused. Not part of the state dump.
struct focus_tables {
    int32_t column_mean[kMaxRowLength];
    int32_t smoothed[kMaxRowLength];
    int32_t widths[kMaxRowLength];
    uint16_t weights[3 * kMaxRowLength];  // tapered weights, each table written three times
};

// Per-column terms of the gain application and the runs of columns sharing
// their table columns (at most one per table column), computed once per
// image.
struct gain_columns {
    float frac[kMaxRowLength];
    uint16_t c0[kMaxRowLength];
    uint16_t c1[kMaxRowLength];
    uint32_t bounds[kMaxGainCells + 1];
    uint16_t span_c0[kMaxGainCells];
    uint16_t span_c1[kMaxGainCells];
};

}  // namespace orvane

// The settings and state regions are laid out as orvane.h and orvane_state.h
// give them; extra working tables follow and are never written to a file.
struct cal_context {
    cal_settings settings;
    cal_state state;
    uint16_t img_left[20000000];
    uint16_t img_right[20000000];
    uint16_t img_left_v[20000000];
    uint16_t img_right_v[20000000];
    int16_t focus_scratch[20000000];
    uint16_t roi_left[2000000];
    uint16_t roi_right[2000000];
    uint16_t roi_left_v[2000000];
    uint16_t roi_right_v[2000000];
    int32_t profile_left[6000];
    int32_t profile_right[6000];
    int32_t profile_left_v[6000];
    int32_t profile_right_v[6000];
    float sad_scratch[101];
    orvane::focus_tables focus;
    orvane::gain_columns gain_cols;
    // Kernel table chosen at creation (src/kernels); null means scalar.
    const orvane::kernel_table* kernels;
    // Column sums of window bands: first and second PD image, focus image.
    orvane::band_sums_store bands[3];
};
static_assert(offsetof(cal_context, state) == 356, "state region starts at byte 356");
static_assert(offsetof(cal_context, sad_scratch) + sizeof(float) * 101 == 216823052,
              "the fixed regions total 216,823,052 bytes");
