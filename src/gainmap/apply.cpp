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

gain_row_terms plan_gain_spans(const gain_grid& grid, gain_columns& columns) {
    // c0 never decreases along a row, so each run ends where a binary search
    // finds the next larger c0. A table wider than the span store would be
    // a caller's fault; its last span then runs to the row's end.
    const uint16_t* c0_begin = columns.c0;
    const uint16_t* c0_end = columns.c0 + grid.width;
    uint32_t spans = 0;
    uint32_t j = 0;
    while (j < grid.width) {
        const uint16_t c0 = columns.c0[j];
        auto end = static_cast<uint32_t>(std::upper_bound(c0_begin + j, c0_end, c0) - c0_begin);
        if (spans + 1 == static_cast<uint32_t>(kMaxGainCells)) end = grid.width;
        columns.bounds[spans] = j;
        columns.span_c0[spans] = c0;
        columns.span_c1[spans] = columns.c1[j];
        ++spans;
        j = end;
    }
    columns.bounds[spans] = grid.width;
    return {columns.frac, columns.bounds, spans, 0.0f, 1.0f};
}

void gain_row_cells(const gain_columns& columns, uint32_t spans, const gain_row& row,
                    gain_cells* cells) {
    for (uint32_t s = 0; s < spans; ++s) {
        const uint16_t c0 = columns.span_c0[s];
        const uint16_t c1 = columns.span_c1[s];
        cells[s] = {row.upper[c0], row.upper[c1], row.lower[c0], row.lower[c1]};
    }
}

void apply_gain_table(uint16_t* image, uint16_t width, uint16_t height, const uint16_t* table,
                      uint16_t table_cols, uint16_t table_rows, gain_columns& columns,
                      const kernel_table& kernels) {
    if (width == 0 || height == 0 || table_cols == 0 || table_rows == 0) return;
    const gain_grid grid = plan_gain_grid(width, height, table_cols, table_rows, columns);
    gain_row_terms terms = plan_gain_spans(grid, columns);
    gain_cells cells[kMaxGainCells];
    for (uint32_t i = 0; i < height; ++i) {
        const gain_row r = gain_row_of(grid, table, i);
        terms.fy = r.fy;
        terms.gy = r.gy;
        gain_row_cells(columns, terms.spans, r, cells);
        uint16_t* row = image + static_cast<size_t>(i) * width;
        // Black level 0 leaves every sample as it is.
        kernels.black_gain_row(row, 1, row, terms, cells, 0);
    }
}

}  // namespace orvane
