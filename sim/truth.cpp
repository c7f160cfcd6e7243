// What the module really is: the in-focus lens position and the DCC over the
// field, and per window what a perfect calibration would find.
#include <algorithm>

#include "optics.h"
#include "pd_layout.h"

namespace orvane_sim {

using namespace detail;

namespace {

// The window rectangle the library lays over an image, as fractions.
struct fractions {
    float top, left, height, width;
};

float clamp01(float x) {
    if (x > 0.0f && x < 1.0f) return x;
    return x >= 1.0f ? 1.0f : 0.0f;
}

fractions window_fractions(int i, int j, int rows, int cols, float margin) {
    const float fr = static_cast<float>(rows), fc = static_cast<float>(cols);
    const float mr = margin / fr, mc = margin / fc;
    const float top = clamp01(static_cast<float>(i) / fr - mr);
    const float bottom = clamp01(static_cast<float>(i + 1) / fr + mr);
    const float left = clamp01(static_cast<float>(j) / fc - mc);
    const float right = clamp01(static_cast<float>(j + 1) / fc + mc);
    return {top, left, clamp01(bottom - top), clamp01(right - left)};
}

}  // namespace

float in_focus_lens(const sensor_model& m, float x, float y) {
    return static_cast<float>(focus_at(m, field(m), x, y));
}

float dcc_at(const sensor_model& m, float x, float y) {
    return static_cast<float>(dcc_at_field(m, field(m), x, y));
}

ground_truth truth_for(const sensor_model& m, layout kind, const cal_settings& settings) {
    ground_truth truth;
    const int rows = std::max(0, static_cast<int>(settings.win_rows));
    const int cols = std::max(0, static_cast<int>(settings.win_cols));
    truth.win_rows = rows;
    truth.win_cols = cols;
    truth.lens_step = m.lens_step;

    // The part of the sensor the measured images cover.
    double x0 = 0.0, y0 = 0.0, span_x = m.width, span_y = m.height;
    if (kind == layout::dual) {
        span_x = static_cast<double>(m.width / m.dual_binning * m.dual_binning);
        span_y = static_cast<double>(m.height / m.dual_binning * m.dual_binning);
    } else {
        const block_grid g = blocks_of(m);
        x0 = m.margin;
        y0 = m.margin;
        span_x = static_cast<double>(g.cols) * m.block_size;
        span_y = static_cast<double>(g.rows) * m.block_size;
    }

    const field f(m);
    const double offset = pair_offset(m, kind);
    constexpr int kSamples = 24;
    for (int i = 0; i < rows; ++i) {
        for (int j = 0; j < cols; ++j) {
            const fractions r = window_fractions(i, j, rows, cols, settings.win_margin);
            // The measured disparity is the window's mean of (lens - focus) / dcc,
            // so the line it follows has slope 1 / mean(1 / dcc) and crosses zero
            // at mean(focus / dcc) / mean(1 / dcc).
            double inv_sum = 0.0, focus_sum = 0.0;
            for (int a = 0; a < kSamples; ++a) {
                const double y = y0 + (r.top + r.height * (a + 0.5) / kSamples) * span_y;
                for (int b = 0; b < kSamples; ++b) {
                    const double x = x0 + (r.left + r.width * (b + 0.5) / kSamples) * span_x;
                    const double inv = 1.0 / dcc_at_field(m, f, x, y);
                    inv_sum += inv;
                    focus_sum += focus_at(m, f, x, y) * inv;
                }
            }
            const double n = static_cast<double>(kSamples) * kSamples;
            const double dcc = n / inv_sum;
            truth.dcc.push_back(static_cast<float>(dcc));
            truth.in_focus_lens.push_back(static_cast<float>(focus_sum / inv_sum));
            truth.zero_pd_offset.push_back(static_cast<float>(dcc * offset));
        }
    }
    return truth;
}

}  // namespace orvane_sim
