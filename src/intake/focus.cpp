#include "intake/focus.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>

#include "context/context.h"
#include "context/messages.h"
#include "context/numeric.h"
#include "intake/focus_lanes.h"
#include "kernels/vector_kernels.h"
#include "pd/band_sums.h"
#include "pd/pd.h"

namespace orvane {

const biquad_coeffs kBandpass = {{1.0f, -0.7621f, 0.7757f}, {0.5f, 0.0f, -0.5f}};

namespace {

// Largest integer up to which every float sum of non-negative integer terms
// is exact: while the running total stays at or below it, an integer sum
// equals the float sum bit for bit.
constexpr uint64_t kExactFloatSum = uint64_t{1} << 24;

// A window that cannot be analysed at all; any negative value marks a failure.
constexpr float kNoWindow = -1.0f;

constexpr uint32_t kFocusFailed = ORVANE_FOCUS_FAILED;

inline uint32_t abs16(int16_t v) {
    const int32_t w = v;
    return static_cast<uint32_t>(w < 0 ? -w : w);
}

// Two's complement reinterpretation of a 32-bit pattern, as the 32-bit
// integer arithmetic of the measure would give it.
inline int32_t wrap32(int64_t v) {
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v)));
}

}  // namespace

void bandpass_filter(const uint16_t* src, int16_t* dst, uint16_t width, uint16_t height,
                     const biquad_coeffs& coeffs) {
    // One sequence over the whole window: the state carries across rows,
    // and rows are contiguous, so the window is a single run of samples.
    const size_t count = static_cast<size_t>(width) * height;
    const float a1 = coeffs.a[1];
    const float a2 = coeffs.a[2];
    const float b0 = coeffs.b[0];
    const float b1 = coeffs.b[1];
    const float b2 = coeffs.b[2];
    float s1 = 0.0f;
    float s2 = 0.0f;
    for (size_t i = 0; i < count; ++i) {
        const float x = static_cast<float>(src[i]);
        const float v = (x - a1 * s1) - a2 * s2;
        const float y = (b0 * v + b1 * s1) + b2 * s2;
        s2 = s1;
        s1 = v;
        dst[i] = saturate16(y);
    }
}

float abs_sum(const int16_t* samples, uint16_t first, uint16_t end, uint16_t width,
              uint16_t height) {
    // Whole rows are summed as integers while the total stays exactly
    // representable; from the first row that could round, the float sum
    // continues term by term in the same order.
    uint64_t exact = 0;
    uint32_t r = 0;
    for (; r < height; ++r) {
        const int16_t* row = samples + static_cast<size_t>(r) * width;
        uint32_t row_sum = 0;
        for (uint32_t c = first; c < end; ++c) row_sum += abs16(row[c]);
        if (exact + row_sum > kExactFloatSum) break;
        exact += row_sum;
    }
    float sum = static_cast<float>(exact);
    for (; r < height; ++r) {
        const int16_t* row = samples + static_cast<size_t>(r) * width;
        for (uint32_t c = first; c < end; ++c) sum += static_cast<float>(abs16(row[c]));
    }
    return sum;
}

void tapered_weights(uint16_t width, uint16_t* weights) {
    const int32_t w = width;
    const int32_t ramp = trunc_i32(static_cast<float>(width) * 0.5f * 0.5f);
    const float fr = static_cast<float>(ramp);
    for (int32_t c = 0; c < w; ++c) {
        int32_t weight = 256;
        if (c < ramp) {
            weight = trunc_i32(static_cast<float>(c) / fr * 256.0f);
        } else if (c >= w - ramp) {
            weight = trunc_i32(256.0f - static_cast<float>(c - (w - ramp)) / fr * 256.0f);
        }
        weights[c] = static_cast<uint16_t>(weight);
    }
}

const uint16_t* tapered_weights_thrice(uint16_t width, uint16_t* store) {
    uint16_t* middle = store + width;
    tapered_weights(width, middle);
    std::copy(middle, middle + width, store);
    std::copy(middle, middle + width, middle + width);
    return middle;
}

float tapered_sum(const int16_t* samples, uint16_t width, uint16_t height, uint16_t* weights) {
    tapered_weights(width, weights);
    uint64_t exact = 0;
    uint32_t r = 0;
    for (; r < height; ++r) {
        const int16_t* row = samples + static_cast<size_t>(r) * width;
        uint32_t row_sum = 0;
        for (uint32_t c = 0; c < width; ++c) row_sum += (abs16(row[c]) * weights[c]) >> 8;
        if (exact + row_sum > kExactFloatSum) break;
        exact += row_sum;
    }
    float sum = static_cast<float>(exact);
    for (; r < height; ++r) {
        const int16_t* row = samples + static_cast<size_t>(r) * width;
        for (uint32_t c = 0; c < width; ++c) {
            sum += static_cast<float>((abs16(row[c]) * weights[c]) >> 8);
        }
    }
    return sum;
}

bool line_analysis(const int32_t* profile, int32_t n, int32_t* widths, line_result* out,
                   const cal_context* ctx) {
    if (n <= 0) return false;

    // Levels. The minimum starts above every value so that bright bar
    // charts (dark bars above 1024) still find their dark level.
    int32_t maximum = 0;
    int32_t minimum = INT32_MAX;
    uint32_t total = 0;
    for (int32_t i = 0; i < n; ++i) {
        maximum = std::max(maximum, profile[i]);
        minimum = std::min(minimum, profile[i]);
        total += static_cast<uint32_t>(profile[i]);
    }
    const int32_t mean = static_cast<int32_t>(total) / n;
    const int32_t upper = wrap32(static_cast<int64_t>(mean) +
                                 wrap32(5 * (static_cast<int64_t>(maximum) - mean)) / 10);
    const int32_t lower = wrap32(static_cast<int64_t>(minimum) +
                                 wrap32(5 * (static_cast<int64_t>(mean) - minimum)) / 10);
    auto level = [&](int32_t i) { return profile[i] > upper ? 1 : (profile[i] < lower ? -1 : 0); };

    // First bar: the first run of a level other than the profile's start.
    const int c0 = level(0);
    int32_t i1 = 0;
    while (i1 < n && (level(i1) == 0 || level(i1) == c0)) ++i1;
    if (i1 == n) return false;
    const int c1 = level(i1);
    int32_t j1 = i1;
    while (j1 < n && level(j1) == c1) ++j1;
    if (j1 == n) return false;
    const int32_t e1 = (i1 + j1) / 2;

    // Last bar: the same from the end of the profile.
    const int cr = level(n - 1);
    int32_t k2 = n - 1;
    while (k2 >= 0 && (level(k2) == 0 || level(k2) == cr)) --k2;
    int32_t l2 = -1;
    if (k2 >= 0) {
        const int c2 = level(k2);
        l2 = k2;
        while (l2 >= 0 && level(l2) == c2) --l2;
    }
    const int32_t e2 = (k2 + 1 + l2) / 2;

    int o = level(e1);
    if (o == 0) return false;

    // Bar-to-bar widths between the centres of successive bars.
    int32_t mark = e1;
    int32_t steps = 0;
    int32_t pending = -1;
    for (int32_t m = e1; m <= e2; ++m) {
        const int cls = level(m);
        if (cls == 0 || cls == o) continue;
        if (pending >= 0) {
            const int32_t mid = (pending + m) / 2;
            widths[steps - 1] = mid - mark;
            mark = mid;
        }
        ++steps;
        pending = m;
        o = cls;
    }
    if (steps > 0) widths[steps - 1] = e2 - mark;

    std::sort(widths, widths + steps);
    const int32_t median = steps > 0 ? widths[steps / 2] : 0;
    for (int32_t s = 0; s < steps; ++s) {
        const float deviation = std::fabs(static_cast<float>(widths[s] - median));
        if (deviation / static_cast<float>(median) > 0.5f) {
            message(ctx, "line width problem\n");
            return false;
        }
    }
    // The pattern must fill the window: at most two widths of margin on
    // either side of the outer bar centres.
    const int64_t twice = 2 * static_cast<int64_t>(median);
    if (twice < e1 || twice < static_cast<int64_t>(n) - e2) {
        message(ctx, "line width problem\n");
        return false;
    }
    out->first = e1;
    out->last = e2;
    out->steps = steps;
    return true;
}

float window_focus(cal_context& ctx, const uint16_t* roi, uint16_t width, uint16_t height) {
    const bool tapered = tapered_variant(ctx.settings);
    // A window without rows or columns has no samples (sum 0) and no
    // profile (a failed line analysis).
    if (width == 0 || height == 0) {
        return ctx.settings.focus_abs_sum == 1 || tapered ? 0.0f : kNoWindow;
    }
    const kernel_table& kernels = context_kernels(ctx);
    const bandpass_terms terms = {kBandpass.a[1], kBandpass.a[2], kBandpass.b[0], kBandpass.b[1],
                                  kBandpass.b[2]};
    focus_lane lane = {roi, width, width, height, 0, width, nullptr};
    float sum = 0.0f;
    if (tapered) lane.weights = tapered_weights_thrice(width, ctx.focus.weights);
    if (ctx.settings.focus_abs_sum == 1 || tapered) {
        kernels.bandpass_abs_sums(&lane, 1, terms, &sum);
        return sum;
    }

    // Line-pattern variant. Column means of the unfiltered window; the
    // 32-bit sums wrap as 32-bit integer arithmetic does.
    int32_t* mean = ctx.focus.column_mean;
    kernels.column_sums(roi, width, width, height, mean);
    const int32_t rows = height;
    for (uint32_t c = 0; c < width; ++c) mean[c] /= rows;

    int32_t* smooth = ctx.focus.smoothed;
    std::copy(mean, mean + width, smooth);
    for (int32_t c = 2; c < static_cast<int32_t>(width) - 2; ++c) {
        smooth[c] =
            (mean[c - 2] + 2 * mean[c - 1] + 5 * mean[c] + 2 * mean[c + 1] + mean[c + 2]) / 11;
    }

    line_result lines{0, width, 1};
    const bool found = line_analysis(smooth, width, ctx.focus.widths, &lines, &ctx);
    lane.first = static_cast<uint32_t>(lines.first);
    lane.last = static_cast<uint32_t>(lines.last);
    kernels.bandpass_abs_sums(&lane, 1, terms, &sum);
    const float value = sum / static_cast<float>(lines.steps);
    return found ? value : -value;
}

bool focus_sweep_fits(const cal_context& ctx, int32_t frame_index, uint16_t width,
                      uint16_t height) {
    if (frame_index < 0 || frame_index >= kFrameSlots) return false;
    const uint16_t rows = count_u16(ctx.settings.win_rows);
    const uint16_t cols = count_u16(ctx.settings.win_cols);
    if (static_cast<uint32_t>(rows) * cols > static_cast<uint32_t>(kMaxWindows)) return false;
    for (uint16_t i = 0; i < rows; ++i) {
        for (uint16_t j = 0; j < cols; ++j) {
            const roi_rect rect = window_rect(i, j, rows, cols, ctx.settings.win_margin);
            uint16_t w = 0;
            uint16_t h = 0;
            roi_size(width, height, rect, &w, &h);
            if (static_cast<uint32_t>(w) * h > kRoiCapacity) return false;
        }
    }
    return true;
}

uint32_t focus_sweep(cal_context& ctx, int16_t frame_index, const uint16_t* image, uint16_t width,
                     uint16_t height) {
    // All windows side by side where they lie inside the image; otherwise
    // window by window on cut-out copies.
    uint32_t lanes_status = 0;
    const bool done = focus_sweep_lanes(context_kernels(ctx), ctx, frame_index, image, width,
                                        height, &lanes_status);
    ctx.bands[kBandsFocus].ready = 0;  // sums of this image are spent either way
    if (done) return lanes_status;
    const uint16_t rows = count_u16(ctx.settings.win_rows);
    const uint16_t cols = count_u16(ctx.settings.win_cols);
    ctx.state.win_rows = rows;
    ctx.state.win_cols = cols;
    frame_slot& slot = ctx.state.slots[frame_index];
    uint32_t failed = 0;
    uint32_t w = 0;
    for (uint16_t i = 0; i < rows; ++i) {
        for (uint16_t j = 0; j < cols; ++j, ++w) {
            const roi_rect rect = window_rect(i, j, rows, cols, ctx.settings.win_margin);
            uint16_t roi_w = 0;
            uint16_t roi_h = 0;
            const uint32_t status =
                cut_roi(image, width, height, rect, ctx.roi_left, &roi_w, &roi_h, &ctx);
            const float value = window_focus(ctx, ctx.roi_left, roi_w, roi_h);
            slot.flags[w] |= status;
            slot.focus[w] = value;
            // A window without a usable pattern is flagged in its own slot;
            // the others are still measured. NaN and -0.0 are not failures.
            if (value < 0.0f) {
                slot.flags[w] |= kFocusFailed;
                failed = kFocusFailed;
            }
        }
    }
    return failed;
}

}  // namespace orvane
