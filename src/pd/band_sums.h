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

// Which store of the context holds which image's bands.
enum band_slot { kBandsFirst = 0, kBandsSecond = 1, kBandsFocus = 2 };

// Fused sums: the pass that writes an image row by row adds each finished
// row to the bands that contain it, so the sweep that follows finds the
// column sums without reading the image again.
//
// begin_bands plans every grid row's band of `image` and clears the sums;
// false (store not ready) when a band is unusable or the sums do not fit.
bool begin_bands(band_sums_store& store, const uint16_t* image, uint16_t width, uint16_t height,
                 uint16_t rows, uint16_t cols, float margin);
// Adds row y of the store's image (already in its final state) to every
// band that contains it.
void add_row_to_bands(const kernel_table& k, band_sums_store& store, uint32_t y);
// Rows y and y + 1 (both final, y + 1 inside the image) to every band that
// contains either: the same sums as add_row_to_bands on each.
void add_rows_to_bands(const kernel_table& k, band_sums_store& store, uint32_t y);
// The sums of grid row i (and its band) when the store is ready for this
// image and grid; nullptr otherwise.
const int32_t* ready_band(const band_sums_store& store, const uint16_t* image, uint16_t width,
                          uint16_t height, uint16_t rows, uint16_t cols, float margin, uint16_t i,
                          band_plan* band);

}  // namespace orvane
