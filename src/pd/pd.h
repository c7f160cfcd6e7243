// Phase-disparity measurement: window grid, cut-outs, correlation kernel and
// the per-frame PD sweep.
#pragma once

#include <cstdint>

#include "orvane.h"

namespace orvane {

struct roi_rect {
    float top;
    float left;
    float height;
    float width;
};

roi_rect window_rect(uint16_t i, uint16_t j, uint16_t rows, uint16_t cols, float margin);
// 0, or 128 (after the diagnostic, a message from `ctx`) for a rectangle
// outside [0, 1].
uint32_t cut_roi(const uint16_t* image, uint16_t image_width, uint16_t image_height,
                 const roi_rect& rect, uint16_t* roi, uint16_t* out_width, uint16_t* out_height,
                 const cal_context* ctx);
// Sizes cut_roi would give, without cutting; 0 x 0 for a rejected rectangle.
void roi_size(uint16_t image_width, uint16_t image_height, const roi_rect& rect,
              uint16_t* out_width, uint16_t* out_height);

// Profiles of a cut-out; sums wrap modulo 2^32.
void column_sums(const uint16_t* roi, uint16_t ncols, uint16_t nrows, int32_t* profile);
void row_sums(const uint16_t* roi, uint16_t ncols, uint16_t nrows, int32_t* profile);
// In place. Leaves the profile alone when n is 0 or above the profile
// capacity, or the tap count is outside 0..31.
void filter_profile(int32_t* profile, uint16_t n, const float* taps, int8_t tap_count);
// Writes 2 * shift_range + 1 entries; nothing for a shift range above 50.
void compute_sad_curve(const int32_t* first, const int32_t* second, uint16_t n, float* curve,
                       uint16_t shift_range);
void find_sad_minimum(const float* curve, uint16_t shift_range, uint16_t pd_pitch,
                      float* disparity, int16_t* m);
void sad_confidence(const float* curve, uint16_t shift_range, uint16_t m, int16_t* confidence);

// Whether a sweep with these inputs stays within every capacity: frame index
// 0..11, pitch >= 1, shift range <= 50, <= 144 windows, every cut-out within
// the cut-out and profile buffers, <= 31 taps, and at frame index 0 a gain
// map of at most 256 cells.
bool pd_sweep_fits(const cal_context& ctx, int32_t frame_index, uint16_t width, uint16_t height,
                   uint16_t pd_pitch, bool vertical, const gainmap& map);

uint32_t pd_sweep(cal_context& ctx, int16_t frame_index, int32_t lens_position,
                  const uint16_t* first, const uint16_t* second, uint16_t width, uint16_t height,
                  const gainmap& map, uint16_t pd_pitch);
uint32_t pd_sweep_vertical(cal_context& ctx, int16_t frame_index, int32_t lens_position,
                           const uint16_t* first, const uint16_t* second, uint16_t width,
                           uint16_t height, const gainmap& map, uint16_t pd_pitch);

}  // namespace orvane
