// Gain map: bicubic resampler, gain map generation and checks, gain
// application.
#pragma once

#include <cstdint>

#include "context/context.h"

namespace orvane {

float cubic_kernel(float x);
void resize_contributions(int32_t in_len, int32_t out_len, float scale, float kernel_width,
                          float* weights, int32_t* indices, int32_t taps);
// false when the scratch cannot be obtained; dst is then untouched.
bool resize_bicubic(const uint16_t* src, int32_t src_width, int32_t src_height, uint16_t* dst,
                    int32_t dst_width, int32_t dst_height);

// Which table pair of the record a generation fills.
enum class gain_tables { horizontal, vertical };

// Generation checks: grid of 1..256 cells. Returns false on a violation.
bool gain_grid_fits(const cal_context& ctx);

uint32_t generate_gain_tables(cal_context& ctx, const uint16_t* first, const uint16_t* second,
                              uint16_t width, uint16_t height, uint16_t black, gainmap& map,
                              const gain_limits& limits, gain_tables which);

// In place; width or height 1 uses table position 0 on that axis. `columns`
// is scratch for the per-column terms (the context's gain_cols).
void apply_gain_table(uint16_t* image, uint16_t width, uint16_t height, const uint16_t* table,
                      uint16_t table_cols, uint16_t table_rows, gain_columns& columns);

}  // namespace orvane
