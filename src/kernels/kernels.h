// Table of the hot per-pixel kernels, chosen once per context from the CPU's
// features. Every entry of every table gives the same bytes as the scalar
// reference: vector kernels only run independent sequences side by side and
// keep each float operation, its order and its rounding.
//
// This header is included by the translation units built for a wider
// instruction set, so it declares plain types and functions only: an inline
// function defined here could be emitted from such a unit and picked by the
// linker for every caller.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvane {

// One window of the focus measure, read in place from the image: rows of
// `width` samples, `stride` apart. Its band-pass sequence runs over the
// window in row-major order; the absolute filtered values of columns
// [first, last) are summed in that order. With column weights, each term is
// (absolute value * weights[column]) >> 8 instead (the tapered variant).
// The vector kernels read a weights row as a window of stride 0, whose
// loads across a row's end may start before it or reach past it:
// weights[-width, 2 width) must be readable (the table written three times,
// `weights` at the second).
struct focus_lane {
    const uint16_t* origin;
    size_t stride;
    uint32_t width;
    uint32_t height;
    uint32_t first;
    uint32_t last;
    const uint16_t* weights;  // nullptr: every term is the absolute value
};

// The four gains of one span of image columns sharing their table cells.
struct gain_cells {
    int32_t upper_left;
    int32_t upper_right;
    int32_t lower_left;
    int32_t lower_right;
};

// Band-pass coefficients in the order the recurrence uses them.
struct bandpass_terms {
    float a1, a2, b0, b1, b2;
};

// One image row's gain terms, planned once per image: span s covers the
// columns [bounds[s], bounds[s + 1]), which share their table cells (cells[s]
// of the row); frac[j] is column j's fraction, fy and gy = 1 - fy the row's.
struct gain_row_terms {
    const float* frac;
    const uint32_t* bounds;
    uint32_t spans;
    float fy;
    float gy;
};

struct kernel_table {
    const char* name;
    // image[i] = image[i] > black ? image[i] - black : 0.
    void (*subtract_black)(uint16_t* image, size_t count, uint16_t black);
    // Black level, then the gain of each sample of row[0, bounds[spans]).
    // Sample j is read from src[j * step]: step 1 reads a row of its own or,
    // with src == row, the row in place; step 2 gathers every other sample
    // of a row apart from `row` (a Bayer channel) and never reads past the
    // last sample it keeps.
    void (*black_gain_row)(const uint16_t* src, uint32_t step, uint16_t* row,
                           const gain_row_terms& terms, const gain_cells* cells, uint16_t black);
    // black_gain_row in place on two rows that share the image size, the
    // gain grid and the row (so the weights): row_a with cells_a, row_b with
    // cells_b. The rows do not overlap.
    void (*black_gain_row_pair)(uint16_t* row_a, uint16_t* row_b, const gain_row_terms& terms,
                                const gain_cells* cells_a, const gain_cells* cells_b,
                                uint16_t black);
    // a[i] = (a[i] + b[i]) / 2.
    void (*mean_image)(uint16_t* a, const uint16_t* b, size_t count);
    // Column sums (modulo 2^32) of a ncols x nrows window with row stride
    // `stride`, into profile[0, ncols).
    void (*column_sums)(const uint16_t* origin, size_t stride, uint32_t ncols, uint32_t nrows,
                        int32_t* profile);
    // Row sums of the same, into profile[0, nrows).
    void (*row_sums)(const uint16_t* origin, size_t stride, uint32_t ncols, uint32_t nrows,
                     int32_t* profile);
    // sums[c] += src[c] for c < count, modulo 2^32.
    void (*accumulate_row)(const uint16_t* src, uint32_t count, int32_t* sums);
    // sums[c] += a[c] + b[c] for c < count, modulo 2^32: two rows at once.
    void (*accumulate_rows2)(const uint16_t* a, const uint16_t* b, uint32_t count, int32_t* sums);
    // Band-pass filter and absolute sum of `count` windows, one float sum
    // per window into sums[]. Either every window has weights or none (the
    // vector kernels hand a mixed call to the scalar one).
    void (*bandpass_abs_sums)(const focus_lane* lanes, uint32_t count, const bandpass_terms& terms,
                              float* sums);
    // Smallest and largest sum of `len` consecutive samples over every row
    // and start column (len <= width); lowest/highest are updated.
    void (*window_sum_range)(const uint16_t* image, uint32_t width, uint32_t height, uint32_t len,
                             uint32_t* lowest, uint32_t* highest);
    // The resampler's column pass: for each output row r < out_rows,
    // inter[r * width + c] = 0, then for j = 0 .. taps - 1 in order
    // += float(src[(indices[r * taps + j] - 1) * width + c]) * weights[r * taps + j].
    void (*resize_columns)(const uint16_t* src, size_t width, int32_t out_rows,
                           const float* weights, const int32_t* indices, int32_t taps,
                           float* inter);
};

// Whether the vector band-pass kernels may take their stable path: poles
// well inside the unit circle (a2 and a1 inside the stability triangle with
// a margin), so states stay bounded, b1 = 0 and moderate b0, b2.
bool bandpass_is_stable(const bandpass_terms& t);

// How the windows of one band-pass call are weighted.
enum class lane_weights { none, all, mixed };
lane_weights weighting_of(const focus_lane* lanes, uint32_t count);

const kernel_table& scalar_kernels();
// nullptr when this build or this CPU has no such table.
const kernel_table* avx2_kernels();
const kernel_table* avx512_kernels();
// The best table for this CPU; the environment variable ORVANE_CPU set to
// "scalar" forces the scalar table, "avx2" the AVX2 one (where the CPU has
// it). Read at every call.
const kernel_table& select_kernels();

}  // namespace orvane
