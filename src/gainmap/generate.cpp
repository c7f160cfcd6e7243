#include <algorithm>
#include <initializer_list>

#include "context/numeric.h"
#include "gainmap/gainmap.h"
#include "kernels/vector_kernels.h"
#include "sensor/sensor.h"

namespace orvane {

namespace {

constexpr uint32_t kLevelHigh = ORVANE_LEVEL_TOO_HIGH;
constexpr uint32_t kLevelLow = ORVANE_LEVEL_TOO_LOW;
constexpr uint32_t kGainHigh = ORVANE_GAIN_TOO_HIGH;
constexpr uint16_t kGainCeiling = 65535;

// Exposure of the flat field, on the PD levels as extracted. The mean of a
// window is sum / len truncated, so mean > max_level is sum >= (max_level +
// 1) * len and mean < min_level is sum < min_level * len: only the extreme
// window sums need comparing, and no window divides.
uint32_t exposure_flags(const uint16_t* first, const uint16_t* second, uint16_t width,
                        uint16_t height, const gain_limits& limits, const kernel_table& kernels) {
    uint32_t len = limits.level_window;
    if (len == 0 || len >= width) len = 2;
    if (len > width) return 0;  // a one-sample row holds no window
    uint32_t lowest = UINT32_MAX;
    uint32_t highest = 0;
    // Window sums of at most 65,535 samples fit 32 bits.
    kernels.window_sum_range(first, width, height, len, &lowest, &highest);
    kernels.window_sum_range(second, width, height, len, &lowest, &highest);
    uint32_t flags = 0;
    if (highest >= (static_cast<uint64_t>(limits.max_level) + 1) * len) flags |= kLevelHigh;
    if (lowest < static_cast<uint64_t>(limits.min_level) * len) flags |= kLevelLow;
    return flags;
}

// Turns the black-corrected levels of both tables into gains that lift every
// cell to the brightest one. The quotient is formed in 64 bits; a cell too
// dark for a 16-bit gain (or with no signal at all) gets the largest gain
// and is always reported.
uint32_t levels_to_gains(uint16_t* first, uint16_t* second, size_t cells, uint32_t shift,
                         uint16_t max_gain) {
    uint16_t peak = 0;
    for (size_t i = 0; i < cells; ++i) peak = std::max({peak, first[i], second[i]});
    if (peak <= 1) peak = 1;
    const uint64_t numerator = static_cast<uint64_t>(peak) << shift;
    uint32_t flags = 0;
    for (uint16_t* table : {first, second}) {
        for (size_t i = 0; i < cells; ++i) {
            uint16_t gain = kGainCeiling;
            if (table[i] == 0) {
                flags |= kGainHigh;
            } else {
                const uint64_t q = numerator / table[i];
                if (q > kGainCeiling) {
                    flags |= kGainHigh;
                } else {
                    gain = static_cast<uint16_t>(q);
                }
            }
            if (gain > max_gain) flags |= kGainHigh;
            table[i] = gain;
        }
    }
    return flags;
}

}  // namespace

uint16_t gain_grid_rows(const cal_context& ctx) { return count_u16(ctx.settings.gain_rows); }
uint16_t gain_grid_cols(const cal_context& ctx) { return count_u16(ctx.settings.gain_cols); }

bool gain_grid_fits(const cal_context& ctx) {
    const uint32_t rows = gain_grid_rows(ctx);
    const uint32_t cols = gain_grid_cols(ctx);
    return rows >= 1 && cols >= 1 && rows * cols <= static_cast<uint32_t>(kMaxGainCells);
}

uint32_t generate_gain_tables(cal_context& ctx, const uint16_t* first, const uint16_t* second,
                              uint16_t width, uint16_t height, uint16_t black, gainmap& map,
                              const gain_limits& limits, gain_tables which,
                              resize_scratch& scratch) {
    const uint16_t rows = gain_grid_rows(ctx);
    const uint16_t cols = gain_grid_cols(ctx);
    if (!gain_grid_fits(ctx) || width == 0 || height == 0 ||
        !scratch.fits(width, height, cols, rows)) {
        return kHardFailure;
    }
    const uint32_t shift = count_u16(ctx.settings.gain_shift) & 31u;
    uint16_t* table_a = which == gain_tables::horizontal ? map.left : map.left_v;
    uint16_t* table_b = which == gain_tables::horizontal ? map.right : map.right_v;

    map.version = 4;
    map.cols = cols;
    map.rows = rows;
    ctx.state.gain_cols = cols;
    ctx.state.gain_rows = rows;

    const kernel_table& kernels = context_kernels(ctx);
    resize_bicubic(first, width, height, table_a, cols, rows, scratch, kernels);
    resize_bicubic(second, width, height, table_b, cols, rows, scratch, kernels);
    // The resampler averages each cell around its centre, the application
    // reads entry c at the start of cell c: without this half-cell shift,
    // opposite shading of the two phases survives the correction.
    uint16_t copy[kMaxGainCells];
    register_to_gain_nodes(table_a, cols, rows, width, height, copy);
    register_to_gain_nodes(table_b, cols, rows, width, height, copy);
    const size_t cells = static_cast<size_t>(cols) * rows;
    kernels.subtract_black(table_a, cells, black);
    kernels.subtract_black(table_b, cells, black);

    uint32_t flags = levels_to_gains(table_a, table_b, cells, shift, limits.max_gain);
    flags |= exposure_flags(first, second, width, height, limits, kernels);
    return flags;
}

}  // namespace orvane
