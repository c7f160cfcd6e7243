// Per-frame PD sweep over the window grid, and its capacity check.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "context/context.h"
#include "context/numeric.h"
#include "kernels/vector_kernels.h"
#include "pd/pd.h"
#include "pd/band_sums.h"
#include "pd/roi_view.h"

namespace orvane {

namespace {

uint16_t shift_range_of(const cal_context& ctx, uint16_t pd_pitch) {
    return static_cast<uint16_t>(count_u16(ctx.settings.max_shift) / pd_pitch);
}

struct sweep_buffers {
    uint16_t* roi_first;
    uint16_t* roi_second;
    int32_t* profile_first;
    int32_t* profile_second;
    const uint16_t* gain_first;
    const uint16_t* gain_second;
};

uint32_t run_sweep(cal_context& ctx, int16_t frame_index, int32_t lens_position,
                   const uint16_t* first, const uint16_t* second, uint16_t width,
                   uint16_t height, uint16_t pd_pitch, bool vertical, const sweep_buffers& buf,
                   const gainmap& map) {
    const cal_settings& set = ctx.settings;
    const uint16_t rows = count_u16(set.win_rows);
    const uint16_t cols = count_u16(set.win_cols);
    const float margin = set.win_margin;
    const int tap_count = std::min<int>(set.filter_tap_count, kMaxTaps);
    float taps[kMaxTaps + 1] = {};
    std::copy(set.filter_taps, set.filter_taps + tap_count, taps);

    ctx.state.win_cols = cols;
    ctx.state.win_rows = rows;
    const kernel_table& kernels = context_kernels(ctx);

    frame_slot& slot = ctx.state.slots[frame_index];
    const uint16_t s_range = shift_range_of(ctx, pd_pitch);
    const uint32_t curve_len = 2u * s_range + 1u;
    // The edge test compares against S * pitch kept to 16 bits.
    const float edge_limit = float((uint32_t(s_range) * pd_pitch) & 0xFFFFu);

    uint32_t last_flags = 0;
    uint16_t ncols = 0;
    uint16_t nrows = 0;
    for (uint16_t i = 0; i < rows; ++i) {
        // Horizontal profiles of a grid row are slices of its band's sums.
        band_plan band{};
        const int32_t* sums_first = nullptr;
        const int32_t* sums_second = nullptr;
        if (!vertical) {
            band_sums_store& store_first = ctx.bands[kBandsFirst];
            band_sums_store& store_second = ctx.bands[kBandsSecond];
            band_plan other{};
            sums_first = ready_band(store_first, first, width, height, rows, cols, margin, i, &band);
            sums_second =
                ready_band(store_second, second, width, height, rows, cols, margin, i, &other);
            if (sums_first == nullptr || sums_second == nullptr) {
                // Not summed while the images were written: sum the band now.
                store_first.ready = 0;
                store_second.ready = 0;
                sums_first = nullptr;
                sums_second = nullptr;
                band = plan_band(first, width, height, i, rows, cols, margin);
                if (band.usable) {
                    band_column_sums(kernels, band, width, store_first.sums);
                    other = band;
                    other.origin = second + (band.origin - first);
                    band_column_sums(kernels, other, width, store_second.sums);
                    sums_first = store_first.sums;
                    sums_second = store_second.sums;
                }
            }
        }
        for (uint16_t j = 0; j < cols; ++j) {
            const uint32_t w = uint32_t(i) * cols + j;
            const roi_rect rect = window_rect(i, j, rows, cols, margin);
            // A window inside the image is read where it lies; one that
            // reaches past an edge is cut out (and padded) first.
            roi_view view_first{};
            roi_view view_second{};
            const bool in_place = roi_in_place(first, width, height, rect, &view_first) &&
                                  roi_in_place(second, width, height, rect, &view_second);
            const uint32_t status_first =
                in_place ? 0u
                         : cut_roi(first, width, height, rect, buf.roi_first, &ncols, &nrows,
                                   &ctx);
            const uint32_t status_second =
                in_place ? 0u
                         : cut_roi(second, width, height, rect, buf.roi_second, &ncols, &nrows,
                                   &ctx);

            std::fill(buf.profile_first, buf.profile_first + kProfileCapacity, 0);
            std::fill(buf.profile_second, buf.profile_second + kProfileCapacity, 0);
            if (in_place) {
                ncols = view_first.width;
                nrows = view_first.height;
            }
            const uint16_t n = vertical ? nrows : ncols;
            if (in_place && sums_first != nullptr) {
                const size_t col0 = size_t(view_first.origin - first) % width - band.col_begin;
                std::copy(sums_first + col0, sums_first + col0 + ncols, buf.profile_first);
                std::copy(sums_second + col0, sums_second + col0 + ncols, buf.profile_second);
            } else if (ncols != 0 && nrows != 0) {  // an empty profile stays 0
                const uint16_t* origin_first = in_place ? view_first.origin : buf.roi_first;
                const uint16_t* origin_second = in_place ? view_second.origin : buf.roi_second;
                const size_t stride = in_place ? width : ncols;
                const auto sums = vertical ? kernels.row_sums : kernels.column_sums;
                sums(origin_first, stride, ncols, nrows, buf.profile_first);
                sums(origin_second, stride, ncols, nrows, buf.profile_second);
            }
            filter_profile(buf.profile_first, n, taps, static_cast<int8_t>(tap_count));
            filter_profile(buf.profile_second, n, taps, static_cast<int8_t>(tap_count));

            float* curve = ctx.sad_scratch;
            compute_sad_curve(buf.profile_first, buf.profile_second, n, curve, s_range);
            float disparity = 0.0f;
            int16_t m = 0;
            find_sad_minimum(curve, s_range, pd_pitch, &disparity, &m);
            int16_t confidence = 0;
            sad_confidence(curve, s_range, static_cast<uint16_t>(m), &confidence);

            const uint32_t edge = std::fabs(disparity) >= edge_limit ? ORVANE_PD_AT_EDGE : 0u;
            const uint32_t flags = status_first | status_second | edge;

            std::memcpy(slot.sad_curve[w], curve, curve_len * sizeof(float));
            slot.pd[w] = disparity;
            slot.confidence[w] = confidence;
            slot.flags[w] = flags;
            last_flags = flags;
        }
    }

    // The images change after the sweep: their band sums are spent.
    ctx.bands[kBandsFirst].ready = 0;
    ctx.bands[kBandsSecond].ready = 0;
    slot.lens_position = static_cast<int16_t>(static_cast<uint16_t>(lens_position));

    if (frame_index == 0) {
        // The gain map used for the lens sweep travels with the state dump.
        ctx.state.gain_cols = map.cols;
        ctx.state.gain_rows = map.rows;
        const uint32_t cells = uint32_t(map.cols) * map.rows;
        std::copy(buf.gain_first, buf.gain_first + cells, ctx.state.gain_left);
        std::copy(buf.gain_second, buf.gain_second + cells, ctx.state.gain_right);
    }

    ctx.state.frames_added = static_cast<int16_t>(
        static_cast<uint16_t>(static_cast<uint16_t>(ctx.state.frames_added) + 1u));
    return last_flags;
}

}  // namespace

bool pd_sweep_fits(const cal_context& ctx, int32_t frame_index, uint16_t width, uint16_t height,
                   uint16_t pd_pitch, bool vertical, const gainmap& map) {
    if (frame_index < 0 || frame_index >= kFrameSlots) return false;
    if (pd_pitch == 0) return false;
    if (shift_range_of(ctx, pd_pitch) > kMaxShiftRange) return false;
    if (ctx.settings.filter_tap_count > kMaxTaps) return false;
    if (frame_index == 0 && uint32_t(map.cols) * map.rows > uint32_t(kMaxGainCells)) {
        return false;
    }
    const uint16_t rows = count_u16(ctx.settings.win_rows);
    const uint16_t cols = count_u16(ctx.settings.win_cols);
    if (uint32_t(rows) * cols > uint32_t(kMaxWindows)) return false;
    const float margin = ctx.settings.win_margin;
    for (uint16_t i = 0; i < rows; ++i) {
        for (uint16_t j = 0; j < cols; ++j) {
            uint16_t ncols = 0;
            uint16_t nrows = 0;
            roi_size(width, height, window_rect(i, j, rows, cols, margin), &ncols, &nrows);
            if (uint32_t(ncols) * nrows > kRoiCapacity) return false;
            if ((vertical ? nrows : ncols) > kProfileCapacity) return false;
        }
    }
    return true;
}

uint32_t pd_sweep(cal_context& ctx, int16_t frame_index, int32_t lens_position,
                  const uint16_t* first, const uint16_t* second, uint16_t width, uint16_t height,
                  const gainmap& map, uint16_t pd_pitch) {
    const sweep_buffers buf{ctx.roi_left,      ctx.roi_right, ctx.profile_left,
                            ctx.profile_right, map.left,      map.right};
    return run_sweep(ctx, frame_index, lens_position, first, second, width, height, pd_pitch,
                     false, buf, map);
}

uint32_t pd_sweep_vertical(cal_context& ctx, int16_t frame_index, int32_t lens_position,
                           const uint16_t* first, const uint16_t* second, uint16_t width,
                           uint16_t height, const gainmap& map, uint16_t pd_pitch) {
    const sweep_buffers buf{ctx.roi_left_v,      ctx.roi_right_v, ctx.profile_left_v,
                            ctx.profile_right_v, map.left_v,      map.right_v};
    return run_sweep(ctx, frame_index, lens_position, first, second, width, height, pd_pitch,
                     true, buf, map);
}

}  // namespace orvane
