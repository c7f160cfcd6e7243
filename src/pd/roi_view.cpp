#include "pd/roi_view.h"

#include <cstddef>

#include "context/numeric.h"

namespace orvane {

namespace {

// The same range test and scaling as cut_roi.
bool in_unit_range(const roi_rect& r) {
    const float v[4] = {r.top, r.left, r.height, r.width};
    for (float f : v) {
        if (f < 0.0f || f > 1.0f) return false;
    }
    return true;
}

uint32_t scaled(uint16_t extent, float fraction) {
    return static_cast<uint16_t>(static_cast<uint32_t>(trunc_i32(float(extent) * fraction)));
}

}  // namespace

bool roi_in_place(const uint16_t* image, uint16_t image_width, uint16_t image_height,
                  const roi_rect& rect, roi_view* view) {
    if (!in_unit_range(rect)) return false;
    const uint32_t col0 = scaled(image_width, rect.left);
    const uint32_t ncols = scaled(image_width, rect.width);
    const uint32_t row0 = scaled(image_height, rect.top);
    const uint32_t nrows = scaled(image_height, rect.height);
    if (ncols == 0 || nrows == 0) return false;
    if (col0 + ncols > image_width || row0 + nrows > image_height) return false;
    view->origin = image + static_cast<size_t>(row0) * image_width + col0;
    view->width = static_cast<uint16_t>(ncols);
    view->height = static_cast<uint16_t>(nrows);
    return true;
}

}  // namespace orvane
