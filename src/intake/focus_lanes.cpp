#include "intake/focus_lanes.h"

#include <algorithm>

#include "intake/focus.h"
#include "pd/band_sums.h"
#include "pd/roi_view.h"

namespace orvane {

namespace {

// The tapered weights of every window width of a grid (a grid has one or
// two), each table written three times as the kernels read it.
struct tapered_tables {
    explicit tapered_tables(uint16_t* s) : store(s) {}

    uint16_t* store;
    size_t used = 0;
    uint16_t widths[kMaxWindows];
    const uint16_t* tables[kMaxWindows];
    uint32_t count = 0;

    // nullptr when the store is full.
    const uint16_t* of(uint16_t width) {
        for (uint32_t t = 0; t < count; ++t) {
            if (widths[t] == width) return tables[t];
        }
        if (used + 3 * size_t{width} > 3 * static_cast<size_t>(kMaxRowLength)) return nullptr;
        widths[count] = width;
        tables[count] = tapered_weights_thrice(width, store + used);
        used += 3 * size_t{width};
        return tables[count++];
    }
};

}  // namespace

bool focus_sweep_lanes(const kernel_table& kernels, cal_context& ctx, int16_t frame_index,
                       const uint16_t* image, uint16_t width, uint16_t height, uint32_t* status) {
    const bool abs_variant = ctx.settings.focus_abs_sum == 1;
    const bool tapered = tapered_variant(ctx.settings);
    const uint16_t rows = count_u16(ctx.settings.win_rows);
    const uint16_t cols = count_u16(ctx.settings.win_cols);
    const uint32_t count = static_cast<uint32_t>(rows) * cols;
    if (count > static_cast<uint32_t>(kMaxWindows)) return false;

    focus_lane lanes[kMaxWindows];
    tapered_tables tables(ctx.focus.weights);
    uint32_t w = 0;
    for (uint16_t i = 0; i < rows; ++i) {
        for (uint16_t j = 0; j < cols; ++j, ++w) {
            const roi_rect rect = window_rect(i, j, rows, cols, ctx.settings.win_margin);
            roi_view view{};
            if (!roi_in_place(image, width, height, rect, &view)) return false;
            lanes[w] = {view.origin, width, view.width, view.height, 0, view.width, nullptr};
            if (tapered) {
                lanes[w].weights = tables.of(view.width);
                // More distinct widths than the weights store holds: window by window.
                if (lanes[w].weights == nullptr) return false;
            }
        }
    }

    ctx.state.win_rows = rows;
    ctx.state.win_cols = cols;
    frame_slot& slot = ctx.state.slots[frame_index];
    const bandpass_terms terms = {kBandpass.a[1], kBandpass.a[2], kBandpass.b[0], kBandpass.b[1],
                                  kBandpass.b[2]};
    float sums[kMaxWindows];

    if (abs_variant || tapered) {
        kernels.bandpass_abs_sums(lanes, count, terms, sums);
        for (w = 0; w < count; ++w) slot.focus[w] = sums[w];
        *status = 0;
        return true;
    }

    // Line-pattern variant. Every window is analysed in order (so the
    // diagnostics come in the window-by-window sweep's order), then all are
    // filtered side by side; a failed analysis flags its own window only.
    int32_t steps[kMaxWindows];
    bool found[kMaxWindows];
    int32_t* mean = ctx.focus.column_mean;
    int32_t* smooth = ctx.focus.smoothed;
    // Column sums of the current grid row's band, shared by its windows.
    band_plan band{};
    const int32_t* band_sums = nullptr;
    uint32_t band_row = UINT32_MAX;
    band_sums_store& store = ctx.bands[kBandsFocus];
    for (w = 0; w < count; ++w) {
        focus_lane& lane = lanes[w];
        const int32_t wide = static_cast<int32_t>(lane.width);
        const uint32_t grid_row = w / cols;
        if (grid_row != band_row) {
            band_row = grid_row;
            const auto gi = static_cast<uint16_t>(grid_row);
            const float margin = ctx.settings.win_margin;
            band_sums = ready_band(store, image, width, height, rows, cols, margin, gi, &band);
            if (band_sums == nullptr) {
                // Not summed while the image was written: sum the band now.
                store.ready = 0;
                band = plan_band(image, width, height, gi, rows, cols, margin);
                if (band.usable) {
                    band_column_sums(kernels, band, width, store.sums);
                    band_sums = store.sums;
                }
            }
        }
        if (band_sums != nullptr) {
            const size_t col0 = size_t(lane.origin - image) % width - band.col_begin;
            std::copy(band_sums + col0, band_sums + col0 + lane.width, mean);
        } else {
            kernels.column_sums(lane.origin, lane.stride, lane.width, lane.height, mean);
        }
        const int32_t n_rows = static_cast<int32_t>(lane.height);
        for (int32_t c = 0; c < wide; ++c) mean[c] /= n_rows;
        std::copy(mean, mean + wide, smooth);
        for (int32_t c = 2; c < wide - 2; ++c) {
            smooth[c] =
                (mean[c - 2] + 2 * mean[c - 1] + 5 * mean[c] + 2 * mean[c + 1] + mean[c + 2]) / 11;
        }
        line_result lines{0, wide, 1};
        found[w] = line_analysis(smooth, wide, ctx.focus.widths, &lines, &ctx);
        lane.first = static_cast<uint16_t>(lines.first);
        lane.last = static_cast<uint16_t>(lines.last);
        steps[w] = lines.steps;
    }
    kernels.bandpass_abs_sums(lanes, count, terms, sums);
    uint32_t failed = 0;
    for (w = 0; w < count; ++w) {
        const float value = sums[w] / static_cast<float>(steps[w]);
        const float signed_value = found[w] ? value : -value;
        slot.focus[w] = signed_value;
        // NaN and -0.0 are not failures: they are stored like any value.
        if (signed_value < 0.0f) {
            slot.flags[w] |= ORVANE_FOCUS_FAILED;
            failed = ORVANE_FOCUS_FAILED;
        }
    }
    *status = failed;
    return true;
}

}  // namespace orvane
