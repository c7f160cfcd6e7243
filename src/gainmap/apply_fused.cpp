// Black level and gain application in one pass over the image, on a kernel
// table: the same samples as subtract_black followed by apply_gain_table.
#include "gainmap/apply_fused.h"

#include <cstddef>

#include "gainmap/gainmap.h"
#include "pd/band_sums.h"

namespace orvane {

void row_corrector::correct(const uint16_t* src, uint32_t step, uint16_t* row, uint32_t i,
                            const uint16_t* table) const {
    if (!has_table) {
        // A gather without gains (an empty table), which no frame intake
        // takes: sample by sample.
        if (src != row) {
            for (uint32_t j = 0; j < width; ++j) row[j] = src[size_t{j} * step];
        }
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

void row_corrector::correct_pair(uint16_t* a, uint16_t* b, uint32_t i, const uint16_t* table_a,
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

row_corrector plan_rows(const kernel_table& k, uint16_t width, uint16_t height, uint16_t black,
                        uint16_t table_cols, uint16_t table_rows, gain_columns& columns) {
    const bool has_table = table_cols != 0 && table_rows != 0;
    const gain_grid grid = has_table ? plan_gain_grid(width, height, table_cols, table_rows, columns)
                                     : gain_grid{width, 0, 0, 0.0f};
    const gain_row_terms spans = has_table ? plan_gain_spans(grid, columns)
                                           : gain_row_terms{columns.frac, columns.bounds, 0, 0.0f, 1.0f};
    return {k, width, black, has_table, grid, columns, spans};
}

gain_pass::gain_pass(const kernel_table& k, uint16_t* image, uint16_t width, uint16_t height,
                     uint16_t black, const uint16_t* table, uint16_t table_cols,
                     uint16_t table_rows, gain_columns& columns, const row_source* source,
                     band_sums_store* bands)
    : rows_(plan_rows(k, width, height, black, table_cols, table_rows, columns)),
      image_(image),
      height_(width == 0 ? 0 : height),
      table_(table),
      source_(source),
      bands_(bands) {}

void gain_pass::run_until(uint32_t end) {
    const size_t w = rows_.width;
    for (; done_ < end && done_ < height_; ++done_) {
        const uint32_t i = done_;
        uint16_t* row = image_ + i * w;
        if (source_ != nullptr) {
            rows_.correct(source_->first + i * source_->stride, 2, row, i, table_);
        } else {
            rows_.correct(row, 1, row, i, table_);
        }
        if (bands_ != nullptr) add_row_to_bands(rows_.k, *bands_, i);
    }
}

void black_and_gain(const kernel_table& k, uint16_t* image, uint16_t width, uint16_t height,
                    uint16_t black, const uint16_t* table, uint16_t table_cols,
                    uint16_t table_rows, gain_columns& columns, const row_source* source,
                    band_sums_store* bands) {
    if (width == 0 || height == 0) return;
    gain_pass pass(k, image, width, height, black, table, table_cols, table_rows, columns, source,
                   bands);
    pass.run_until(height);
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
