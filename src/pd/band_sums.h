// Column sums shared by the windows of one grid row. Windows of a grid row
// span the same image rows, so their column-sum profiles are slices of one
// band's column sums: each sample is read once per band instead of once per
// window that overlaps it. Integer sums, so the slices equal the windows'
// own sums.
#pragma once

#include <cstdint>

#include "context/context.h"
#include "kernels/kernels.h"
#include "pd/roi_view.h"

namespace orvane {

struct band_plan {
    bool usable;             // every window of the row in place, same rows, no gaps
    const uint16_t* origin;  // top-left sample of the band
    uint32_t col_begin;      // first image column of the band
    uint32_t width;          // columns of the band
    uint32_t height;         // rows of the band
};

// The band of grid row i for an image of this size; `usable` is false when a
// window is not in place, the windows' rows differ, or the band would read
// more columns than the windows together.
band_plan plan_band(const uint16_t* image, uint16_t image_width, uint16_t image_height,
                    uint16_t i, uint16_t rows, uint16_t cols, float margin);

// Column sums of the band into sums[0, width).
void band_column_sums(const kernel_table& k, const band_plan& band, size_t stride, int32_t* sums);

}  // namespace orvane
