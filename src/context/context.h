// The calibration context: settings copy, the calibration state (a file
// format: the state dump writes it verbatim) and the working buffers.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "context/bands.h"
#include "orvane.h"

namespace orvane {

struct kernel_table;

constexpr uint32_t kHardFailure = ORVANE_HARD_FAILURE;
constexpr int kFrameSlots = 12;
constexpr int kMaxWindows = 144;
constexpr int kMaxDccWindows = 48;
constexpr int kMaxGainCells = 256;
constexpr int kMaxPairs = 128;
constexpr int kMaxTaps = 31;
constexpr int kSadLen = 101;
constexpr int kMaxShiftRange = 50;
constexpr uint32_t kImageCapacity = 20000000u;
constexpr uint32_t kRoiCapacity = 2000000u;
constexpr int kProfileCapacity = 6000;
// Longest row a window can have: image widths are 16-bit.
constexpr int kMaxRowLength = 65536;

struct frame_slot {
    float pd[144];
    float focus[144];
    int16_t confidence[144];
    uint32_t flags[144];
    float sad_curve[144][101];
    int16_t lens_position;
    uint16_t reserved;
};
static_assert(sizeof(frame_slot) == 60196, "frame slot stride");
static_assert(offsetof(frame_slot, focus) == 576);
static_assert(offsetof(frame_slot, confidence) == 1152);
static_assert(offsetof(frame_slot, flags) == 1440);
static_assert(offsetof(frame_slot, sad_curve) == 2016);
static_assert(offsetof(frame_slot, lens_position) == 60192);

// Offsets below are relative to the start of the state region (context
// byte 356), i.e. they are the offsets within a state dump file.
struct cal_state {
    int16_t dump_tag;
    uint8_t focus_abs_sum;
    uint8_t reserved0;
    uint16_t gain_cols;
    uint16_t gain_rows;
    uint16_t gain_left[256];
    uint16_t gain_right[256];
    uint16_t dcc_shift;
    uint16_t win_cols;
    uint16_t win_rows;
    int16_t dcc[144];
    uint16_t reserved1;
    int16_t peak_lens[144];
    int16_t zero_pd_lens[144];
    int16_t zero_pd_offset[144];
    float zero_pd_offset_norm[144];
    float fit_residual[144];
    frame_slot slots[12];
    int16_t frames_added;
    int16_t sweep_frames;
    int16_t frames_fitted;
    int16_t max_shift;
    float win_margin;
    uint8_t bayer_channel;
    uint8_t reserved2[3];
    float dcc_dev_limit[144];
    uint32_t dcc_flags;
};
static_assert(sizeof(cal_state) == 726292, "state dump size");
static_assert(offsetof(cal_state, gain_cols) == 4);
static_assert(offsetof(cal_state, gain_left) == 8);
static_assert(offsetof(cal_state, gain_right) == 520);
static_assert(offsetof(cal_state, dcc_shift) == 1032);
static_assert(offsetof(cal_state, dcc) == 1038);
static_assert(offsetof(cal_state, peak_lens) == 1328);
static_assert(offsetof(cal_state, zero_pd_lens) == 1616);
static_assert(offsetof(cal_state, zero_pd_offset) == 1904);
static_assert(offsetof(cal_state, zero_pd_offset_norm) == 2192);
static_assert(offsetof(cal_state, fit_residual) == 2768);
static_assert(offsetof(cal_state, slots) == 3344);
static_assert(offsetof(cal_state, frames_added) == 725696);
static_assert(offsetof(cal_state, win_margin) == 725704);
static_assert(offsetof(cal_state, bayer_channel) == 725708);
static_assert(offsetof(cal_state, dcc_dev_limit) == 725712);
static_assert(offsetof(cal_state, dcc_flags) == 726288);

// Working tables of the focus measure and the profile filter, sized for the
// longest row an image can have so no window that fits the cut-out buffer is
// refused. Not part of the state dump.
struct focus_tables {
    int32_t column_mean[kMaxRowLength];
    int32_t smoothed[kMaxRowLength];
    int32_t widths[kMaxRowLength];
    uint16_t weights[kMaxRowLength];
};

// Per-column terms of the gain application, computed once per image.
struct gain_columns {
    float frac[kMaxRowLength];
    uint16_t c0[kMaxRowLength];
    uint16_t c1[kMaxRowLength];
};

}  // namespace orvane

// The layout of the documented regions is fixed; extra working tables follow
// them and are never written to a file.
struct cal_context {
    cal_settings settings;
    orvane::cal_state state;
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
    // Column sums of window bands: first and second PD image, focus image
    // (vector kernels only).
    orvane::band_sums_store bands[3];
};
static_assert(offsetof(cal_context, state) == 356, "state region starts at byte 356");
static_assert(offsetof(cal_context, sad_scratch) + sizeof(float) * 101 == 216823052,
              "documented regions total 216,823,052 bytes");

namespace orvane {

// Signed settings bytes used as counts: sign-extended, then unsigned 16-bit.
inline uint16_t count_u16(int8_t v) { return static_cast<uint16_t>(static_cast<int16_t>(v)); }

// Float to int32 truncating toward zero; NaN, infinities and values outside
// the int32 range give INT32_MIN (defined here, unlike a plain cast).
inline int32_t trunc_i32(float v) {
    if (!(v > -2147483904.0f && v < 2147483648.0f)) return INT32_MIN;
    return static_cast<int32_t>(v);
}

// The 16-bit truncation: low 16 bits of trunc_i32, as two's complement.
inline int16_t trunc16_wrap(float v) {
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(trunc_i32(v))));
}

// Saturating store into a signed 16-bit field: NaN gives 0, values beyond
// the range clamp, in-range values truncate toward zero.
inline int16_t trunc16_sat(float v) {
    if (std::isnan(v)) return 0;
    if (v <= -32768.0f) return INT16_MIN;
    if (v >= 32767.0f) return INT16_MAX;
    return static_cast<int16_t>(v);
}

}  // namespace orvane
