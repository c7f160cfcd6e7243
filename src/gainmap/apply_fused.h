// Black level and gain table in one pass, on a kernel table.
#pragma once

#include <cstddef>
#include <cstdint>

#include "context/context.h"
#include "gainmap/gainmap.h"
#include "kernels/kernels.h"

namespace orvane {

// Rows gathered from every other sample of another image (the channel
// image): row i of the output is first[i * stride + 2 s] for s < width.
struct row_source {
    const uint16_t* first;
    size_t stride;
};

// Rows of one image corrected one at a time, planned once per image; without
// a table (a side of 0 cells) the black level alone.
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
                 const uint16_t* table) const;
    // Row i of two images of this size in place, each with its own table:
    // the same samples as correct() on each.
    void correct_pair(uint16_t* a, uint16_t* b, uint32_t i, const uint16_t* table_a,
                      const uint16_t* table_b) const;
};

row_corrector plan_rows(const kernel_table& k, uint16_t width, uint16_t height, uint16_t black,
                        uint16_t table_cols, uint16_t table_rows, gain_columns& columns);

// black_and_gain a few rows at a time, in order: for a caller whose other
// pass over the same source makes the rows ready (and brings them to cache)
// as it goes.
class gain_pass {
public:
    gain_pass(const kernel_table& k, uint16_t* image, uint16_t width, uint16_t height,
              uint16_t black, const uint16_t* table, uint16_t table_cols, uint16_t table_rows,
              gain_columns& columns, const row_source* source, band_sums_store* bands);
    // Rows up to `end` (at most the height) not done yet.
    void run_until(uint32_t end);

private:
    row_corrector rows_;
    uint16_t* image_;
    uint32_t height_;
    const uint16_t* table_;
    const row_source* source_;
    band_sums_store* bands_;
    uint32_t done_ = 0;
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
