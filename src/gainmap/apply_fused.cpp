// Black level and gain application in one pass over the image, on a kernel
// table: the same samples as subtract_black followed by apply_gain_table.
#include "gainmap/apply_fused.h"

#include <cstddef>

#include "gainmap/gainmap.h"
#include "pd/band_sums.h"

namespace orvane {

namespace {

// Rows of one image corrected one at a time; without a table (a side of 0
// cells) the black level alone.
struct row_corrector {
    const kernel_table& k;
    uint32_t width;
    uint16_t black;
    bool has_table;
    gain_grid grid;
    const gain_columns& columns;
    gain_row_terms spans;

    // Row i into `row`, its samples read from src[j * step] (in place when
    // src is row and step 1).
    void correct(const uint16_t* src, uint32_t step, uint16_t* row, uint32_t i,
                 const uint16_t* table) const {
        if (!has_table) {
            if (src != row) scalar_gather(src, step, row);
            k.subtract_black(row, width, black);
            return;
        }
        gain_row_terms terms = spans;
        const gain_row r = gain_row_of(grid, table, i);
        terms.fy = r.fy;
        terms.gy = r.gy;
        gain_cells cells[kMaxGainCells];
        gain_row_cells(columns, terms.spans, r, cells);
        k.black_gain_row(src, step, row, terms, cells, black);
    }

    // Row i of two images of this size in place, each with its own table:
    // the same samples as correct() on each.
    void correct_pair(uint16_t* a, uint16_t* b, uint32_t i, const uint16_t* table_a,
                      const uint16_t* table_b) const {
        if (!has_table) {
            k.subtract_black(a, width, black);
            k.subtract_black(b, width, black);
            return;
        }
        gain_row_terms terms = spans;
        const gain_row ra = gain_row_of(grid, table_a, i);
        const gain_row rb = gain_row_of(grid, table_b, i);
        terms.fy = ra.fy;
        terms.gy = ra.gy;
        gain_cells cells_a[kMaxGainCells];
        gain_cells cells_b[kMaxGainCells];
        gain_row_cells(columns, terms.spans, ra, cells_a);
        gain_row_cells(columns, terms.spans, rb, cells_b);
        k.black_gain_row_pair(a, b, terms, cells_a, cells_b, black);
    }

    // A gather without gains (an empty table), which no production frame
    // takes: sample by sample.
    void scalar_gather(const uint16_t* src, uint32_t step, uint16_t* row) const {
        for (uint32_t j = 0; j < width; ++j) row[j] = src[size_t{j} * step];
    }
};

row_corrector plan_rows(const kernel_table& k, uint16_t width, uint16_t height, uint16_t black,
                        uint16_t table_cols, uint16_t table_rows, gain_columns& columns) {
    const bool has_table = table_cols != 0 && table_rows != 0;
    const gain_grid grid = has_table ? plan_gain_grid(width, height, table_cols, table_rows, columns)
                                     : gain_grid{width, 0, 0, 0.0f};
    const gain_row_terms spans =
        has_table ? plan_gain_spans(grid, columns) : gain_row_terms{columns.frac, columns.bounds, 0, 0.0f, 1.0f};
    return {k, width, black, has_table, grid, columns, spans};
}

}  // namespace

void black_and_gain(const kernel_table& k, uint16_t* image, uint16_t width, uint16_t height,
                    uint16_t black, const uint16_t* table, uint16_t table_cols,
                    uint16_t table_rows, gain_columns& columns, const row_source* source,
                    band_sums_store* bands) {
    const size_t w = width;
    if (width == 0 || height == 0) return;
    const row_corrector rows = plan_rows(k, width, height, black, table_cols, table_rows, columns);
    for (uint32_t i = 0; i < height; ++i) {
        uint16_t* row = image + i * w;
        if (source != nullptr) {
            rows.correct(source->first + i * source->stride, 2, row, i, table);
        } else {
            rows.correct(row, 1, row, i, table);
        }
        if (bands != nullptr) add_row_to_bands(k, *bands, i);
    }
}

void black_and_gain_pair(const kernel_table& k, uint16_t* first, uint16_t* second, uint16_t width,
                         uint16_t height, uint16_t black, const uint16_t* table_first,
                         const uint16_t* table_second, uint16_t table_cols, uint16_t table_rows,
                         gain_columns& columns) {
    const size_t w = width;
    if (width == 0 || height == 0) return;
    const row_corrector rows = plan_rows(k, width, height, black, table_cols, table_rows, columns);
    for (uint32_t i = 0; i < height; ++i) {
        rows.correct_pair(first + i * w, second + i * w, i, table_first, table_second);
    }
}

void correct_pair_and_mean(const kernel_table& k, uint16_t* first, uint16_t* second,
                           uint16_t width, uint16_t height, uint16_t black,
                           const uint16_t* table_first, const uint16_t* table_second,
                           uint16_t table_cols, uint16_t table_rows, gain_columns& columns,
                           band_sums_store& bands_first, band_sums_store& bands_second,
                           band_sums_store* bands_mean) {
    const size_t w = width;
    if (width == 0 || height == 0) return;
    const row_corrector rows = plan_rows(k, width, height, black, table_cols, table_rows, columns);
    // Two rows at a time, so that the band sums take them in one pass.
    uint32_t i = 0;
    for (; i + 2 <= height; i += 2) {
        uint16_t* a = first + i * w;
        uint16_t* b = second + i * w;
        rows.correct_pair(a, b, i, table_first, table_second);
        rows.correct_pair(a + w, b + w, i + 1, table_first, table_second);
        add_rows_to_bands(k, bands_first, i);
        add_rows_to_bands(k, bands_second, i);
        k.mean_image(a, b, 2 * w);
        if (bands_mean != nullptr) add_rows_to_bands(k, *bands_mean, i);
    }
    if (i < height) {
        uint16_t* a = first + i * w;
        uint16_t* b = second + i * w;
        rows.correct_pair(a, b, i, table_first, table_second);
        add_row_to_bands(k, bands_first, i);
        add_row_to_bands(k, bands_second, i);
        k.mean_image(a, b, w);
        if (bands_mean != nullptr) add_row_to_bands(k, *bands_mean, i);
    }
}

}  // namespace orvane
