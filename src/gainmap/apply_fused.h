// Black level and gain table in one pass, on a kernel table.
#pragma once

#include <cstddef>
#include <cstdint>

#include "context/context.h"
#include "kernels/kernels.h"

namespace orvane {

// Rows gathered from every other sample of another image (the channel
// image): row i of the output is first[i * stride + 2 s] for s < width.
struct row_source {
    const uint16_t* first;
    size_t stride;
};

// Same bytes as subtract_black(image, width, height, black) followed by
// apply_gain_table(image, width, height, table, ...). With a source, each row
// is gathered from it first (the image's previous contents are not read).
// With `bands` (begun for this image), each finished row is added to them.
void black_and_gain(const kernel_table& k, uint16_t* image, uint16_t width, uint16_t height,
                    uint16_t black, const uint16_t* table, uint16_t table_cols,
                    uint16_t table_rows, gain_columns& columns, const row_source* source = nullptr,
                    band_sums_store* bands = nullptr);

// black_and_gain on two images of one size that share no sample, first
// with table_first, second with table_second, row by row together.
void black_and_gain_pair(const kernel_table& k, uint16_t* first, uint16_t* second, uint16_t width,
                         uint16_t height, uint16_t black, const uint16_t* table_first,
                         const uint16_t* table_second, uint16_t table_cols, uint16_t table_rows,
                         gain_columns& columns);

// Both images of a dual-photodiode frame corrected as black_and_gain does,
// each row summed into its image's bands, then the mean of the two rows
// written over the first (summed into bands_mean when given). For callers
// that need the corrected first image only through its band sums: the
// first image ends as the mean image, row by row, while the rows are at hand.
// The images share no sample.
void correct_pair_and_mean(const kernel_table& k, uint16_t* first, uint16_t* second,
                           uint16_t width, uint16_t height, uint16_t black,
                           const uint16_t* table_first, const uint16_t* table_second,
                           uint16_t table_cols, uint16_t table_rows, gain_columns& columns,
                           band_sums_store& bands_first, band_sums_store& bands_second,
                           band_sums_store* bands_mean);

}  // namespace orvane
