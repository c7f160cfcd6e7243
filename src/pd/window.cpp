// Window grid rectangles and the cut-out of one window.
#include <algorithm>
#include <cstring>

#include "context/messages.h"
#include "context/numeric.h"
#include "pd/pd.h"

namespace orvane {

namespace {

float clamp01(float x) {
    if (x > 0.0f && x < 1.0f) return x;
    if (x >= 1.0f) return 1.0f;
    return 0.0f;  // x <= 0 or NaN
}

bool rect_in_range(const roi_rect& r) {
    const float v[4] = {r.top, r.left, r.height, r.width};
    for (float f : v) {
        if (f < 0.0f || f > 1.0f) return false;
    }
    return true;
}

// Image extent times a fraction, truncated, kept as 16 bits (a NaN fraction
// gives 0).
uint16_t scaled(uint16_t extent, float fraction) {
    return static_cast<uint16_t>(static_cast<uint32_t>(trunc_i32(float(extent) * fraction)));
}

}  // namespace

roi_rect window_rect(uint16_t i, uint16_t j, uint16_t rows, uint16_t cols, float margin) {
    // The order of operations is part of the result: the fractions are
    // truncated to pixel counts later, so a reassociated form moves edges.
    const float fr = float(rows);
    const float fc = float(cols);
    const float mr = margin / fr;
    const float mc = margin / fc;
    const float top0 = float(i) / fr - mr;
    const float bottom0 = float(i + 1) / fr + mr;
    const float left0 = float(j) / fc - mc;
    const float right0 = float(j + 1) / fc + mc;
    const float top = clamp01(top0);
    const float left = clamp01(left0);
    const float bottom = clamp01(bottom0);
    const float right = clamp01(right0);
    roi_rect r;
    r.top = top;
    r.left = left;
    r.width = clamp01(right - left);
    r.height = clamp01(bottom - top);
    return r;
}

void roi_size(uint16_t image_width, uint16_t image_height, const roi_rect& rect,
              uint16_t* out_width, uint16_t* out_height) {
    if (!rect_in_range(rect)) {
        *out_width = 0;
        *out_height = 0;
        return;
    }
    *out_width = scaled(image_width, rect.width);
    *out_height = scaled(image_height, rect.height);
}

uint32_t cut_roi(const uint16_t* image, uint16_t image_width, uint16_t image_height,
                 const roi_rect& rect, uint16_t* roi, uint16_t* out_width, uint16_t* out_height,
                 const cal_context* ctx) {
    if (!rect_in_range(rect)) {
        message(ctx, "Error: Invalid ROI coordinates. \n");
        return ORVANE_INVALID_ROI;
    }
    const uint32_t col0 = scaled(image_width, rect.left);
    const uint32_t ncols = scaled(image_width, rect.width);
    const uint32_t row0 = scaled(image_height, rect.top);
    const uint32_t nrows = scaled(image_height, rect.height);

    if (ncols > 0 && nrows > 0) {
        // Columns inside the image are copied; those past the right edge
        // repeat the last column, rows past the bottom repeat the last row.
        const uint32_t inside = col0 < image_width ? std::min(ncols, image_width - col0) : 0u;
        const uint32_t last_row = uint32_t(image_height) - 1u;
        for (uint32_t r = 0; r < nrows; ++r) {
            const uint16_t* src = image + size_t(std::min(row0 + r, last_row)) * image_width;
            uint16_t* dst = roi + size_t(r) * ncols;
            if (inside > 0) std::memcpy(dst, src + col0, inside * sizeof(uint16_t));
            if (inside < ncols) std::fill(dst + inside, dst + ncols, src[image_width - 1u]);
        }
    }
    *out_width = static_cast<uint16_t>(ncols);
    *out_height = static_cast<uint16_t>(nrows);
    return 0;
}

}  // namespace orvane
