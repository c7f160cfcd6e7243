// Black level and gain table in one pass, on a vector kernel table.
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

}  // namespace orvane
