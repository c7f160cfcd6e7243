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

    void correct(uint16_t* row, uint32_t i, const uint16_t* table) const {
        if (!has_table) {
            k.subtract_black(row, width, black);
            return;
        }
        const gain_row terms = gain_row_of(grid, table, i);
        for_each_gain_span(grid, columns, terms, [&](uint32_t begin, uint32_t end, gain_cells g) {
            k.black_gain_span(row, columns.frac, begin, end, terms.fy, terms.gy, g, black);
        });
    }

    // Row i of two images of this size, each with its own table: the same
    // samples as correct(a, i, table_a) and correct(b, i, table_b).
    void correct_pair(uint16_t* a, uint16_t* b, uint32_t i, const uint16_t* table_a,
                      const uint16_t* table_b) const {
        if (!has_table) {
            k.subtract_black(a, width, black);
            k.subtract_black(b, width, black);
            return;
        }
        const gain_row terms = gain_row_of(grid, table_a, i);
        const gain_row terms_b = gain_row_of(grid, table_b, i);
        for_each_gain_span(grid, columns, terms, [&](uint32_t begin, uint32_t end, gain_cells g) {
            const uint16_t c0 = columns.c0[begin];
            const uint16_t c1 = columns.c1[begin];
            const gain_cells gb{terms_b.upper[c0], terms_b.upper[c1], terms_b.lower[c0],
                                terms_b.lower[c1]};
            k.black_gain_span_pair(a, b, columns.frac, begin, end, terms.fy, terms.gy, g, gb, black);
        });
    }
};

row_corrector plan_rows(const kernel_table& k, uint16_t width, uint16_t height, uint16_t black,
                        uint16_t table_cols, uint16_t table_rows, gain_columns& columns) {
    const bool has_table = table_cols != 0 && table_rows != 0;
    const gain_grid grid = has_table ? plan_gain_grid(width, height, table_cols, table_rows, columns)
                                     : gain_grid{width, 0, 0, 0.0f};
    return {k, width, black, has_table, grid, columns};
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
        if (source != nullptr) k.every_other(source->first + i * source->stride, row, w);
        rows.correct(row, i, table);
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
