#include <algorithm>

#include "gainmap/gainmap.h"

namespace orvane {

gain_grid plan_gain_grid(uint16_t width, uint16_t height, uint16_t table_cols,
                         uint16_t table_rows, gain_columns& columns) {
    const uint32_t last_col = table_cols - 1u;
    const float step_x =
        width > 1 ? static_cast<float>(table_cols) / static_cast<float>(width - 1) : 0.0f;
    const float step_y =
        height > 1 ? static_cast<float>(table_rows) / static_cast<float>(height - 1) : 0.0f;
    // Positions never exceed the table size by more than a rounding error,
    // so the truncations below fit 16 bits.
    for (uint32_t j = 0; j < width; ++j) {
        const float pos = static_cast<float>(j) * step_x;
        const auto f = static_cast<uint32_t>(pos);
        columns.frac[j] = pos - static_cast<float>(f);
        columns.c0[j] = static_cast<uint16_t>(std::min(f, last_col));
        columns.c1[j] = static_cast<uint16_t>(std::min(f + 1, last_col));
    }
    return {width, table_cols, table_rows - 1u, step_y};
}

gain_row gain_row_of(const gain_grid& grid, const uint16_t* table, uint32_t i) {
    const float pos = static_cast<float>(i) * grid.step_y;
    const auto k = static_cast<uint32_t>(pos);
    const float fy = pos - static_cast<float>(k);
    return {fy, 1.0f - fy, table + static_cast<size_t>(std::min(k, grid.last_row)) * grid.table_cols,
            table + static_cast<size_t>(std::min(k + 1, grid.last_row)) * grid.table_cols};
}

void apply_gain_table(uint16_t* image, uint16_t width, uint16_t height, const uint16_t* table,
                      uint16_t table_cols, uint16_t table_rows, gain_columns& columns,
                      const kernel_table& kernels) {
    if (width == 0 || height == 0 || table_cols == 0 || table_rows == 0) return;
    const gain_grid grid = plan_gain_grid(width, height, table_cols, table_rows, columns);
    for (uint32_t i = 0; i < height; ++i) {
        const gain_row terms = gain_row_of(grid, table, i);
        uint16_t* row = image + static_cast<size_t>(i) * width;
        for_each_gain_span(grid, columns, terms, [&](uint32_t begin, uint32_t end, gain_cells g) {
            // Black level 0 leaves every sample as it is.
            kernels.black_gain_span(row, columns.frac, begin, end, terms.fy, terms.gy, g, 0);
        });
    }
}

}  // namespace orvane
