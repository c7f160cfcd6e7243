// Black level and gain application in one pass over the image, on a vector
// kernel table: the same samples as subtract_black followed by
// apply_gain_table.
#include <algorithm>
#include <cstddef>

#include "gainmap/apply_fused.h"
#include "pd/band_sums.h"

namespace orvane {

void black_and_gain(const kernel_table& k, uint16_t* image, uint16_t width, uint16_t height,
                    uint16_t black, const uint16_t* table, uint16_t table_cols,
                    uint16_t table_rows, gain_columns& columns, const row_source* source,
                    band_sums_store* bands) {
    const size_t w = width;
    if (width == 0 || height == 0) return;
    if (table_cols == 0 || table_rows == 0) {
        // No gain: the black level alone, row by row.
        for (uint32_t i = 0; i < height; ++i) {
            uint16_t* row = image + i * w;
            if (source != nullptr) k.every_other(source->first + i * source->stride, row, w);
            k.subtract_black(row, w, black);
            if (bands != nullptr) add_row_to_bands(k, *bands, i);
        }
        return;
    }
    const uint32_t last_col = table_cols - 1u;
    const uint32_t last_row = table_rows - 1u;
    // Positions, fractions and cells exactly as apply_gain_table forms them.
    const float step_x =
        width > 1 ? static_cast<float>(table_cols) / static_cast<float>(width - 1) : 0.0f;
    const float step_y =
        height > 1 ? static_cast<float>(table_rows) / static_cast<float>(height - 1) : 0.0f;
    for (uint32_t j = 0; j < width; ++j) {
        const float pos = static_cast<float>(j) * step_x;
        const auto f = static_cast<uint32_t>(pos);
        columns.frac[j] = pos - static_cast<float>(f);
        columns.c0[j] = static_cast<uint16_t>(std::min(f, last_col));
        columns.c1[j] = static_cast<uint16_t>(std::min(f + 1, last_col));
    }
    const uint16_t* c0_begin = columns.c0;
    const uint16_t* c0_end = columns.c0 + width;
    for (uint32_t i = 0; i < height; ++i) {
        const float pos = static_cast<float>(i) * step_y;
        const auto kr = static_cast<uint32_t>(pos);
        const float fy = pos - static_cast<float>(kr);
        const float gy = 1.0f - fy;
        const uint16_t* upper = table + static_cast<size_t>(std::min(kr, last_row)) * table_cols;
        const uint16_t* lower = table + static_cast<size_t>(std::min(kr + 1, last_row)) * table_cols;
        uint16_t* row = image + i * w;
        if (source != nullptr) k.every_other(source->first + i * source->stride, row, w);
        uint32_t j = 0;
        while (j < width) {
            const uint16_t c0 = columns.c0[j];
            const uint16_t c1 = columns.c1[j];
            const auto end =
                static_cast<uint32_t>(std::upper_bound(c0_begin + j, c0_end, c0) - c0_begin);
            const gain_cells cells{upper[c0], upper[c1], lower[c0], lower[c1]};
            k.black_gain_span(row, columns.frac, j, end, fy, gy, cells, black);
            j = end;
        }
        if (bands != nullptr) add_row_to_bands(k, *bands, i);
    }
}

}  // namespace orvane
