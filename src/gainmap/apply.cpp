#include <algorithm>
#include <cstring>

#include "gainmap/gainmap.h"

namespace orvane {

namespace {

// One corrected sample. The weights are float products truncated one by
// one; the gains are integers. Weights sum to at most 256, so the gain stays
// within 16 bits and the product within 32; the corrected sample saturates.
inline uint16_t corrected(uint16_t sample, float fx, float fy, float gy, const gain_cells& g) {
    const float gx = 1.0f - fx;
    const auto w11 = static_cast<int32_t>(fy * fx * 256.0f);
    const auto w10 = static_cast<int32_t>(gx * fy * 256.0f);
    const auto w00 = static_cast<int32_t>(gy * gx * 256.0f);
    const auto w01 = static_cast<int32_t>(gy * fx * 256.0f);
    const int32_t gain =
        (w11 * g.lower_right + w10 * g.lower_left + w00 * g.upper_left + w01 * g.upper_right) >> 8;
    const uint32_t v = (static_cast<uint32_t>(gain) * sample) >> 9;
    return static_cast<uint16_t>(std::min(v, 65535u));
}

#if defined(__GNUC__)
// Four columns at a time in vector registers; only independent samples
// share a register and every lane yields what corrected() yields:
// - the weight products are those of corrected(): scaling by 256 is exact,
//   so (a * b) * 256 equals a * (b * 256) with the scaled row terms fy256 and
//   gy256 (the fractions never come near the subnormal range);
// - the weighted sum is formed in float, where it is exact: every product
//   and partial sum is an integer below 256 * 65536 = 2^24.
using v4f = float __attribute__((vector_size(16)));
using v4i = int32_t __attribute__((vector_size(16)));
using v4u = uint32_t __attribute__((vector_size(16)));
using v4h = uint16_t __attribute__((vector_size(8)));

inline v4f truncated(v4f x) {
    return __builtin_convertvector(__builtin_convertvector(x, v4i), v4f);
}

inline void corrected4(uint16_t* row, const float* frac, float fy256, float gy256,
                       const gain_cells& g) {
    v4f fx;
    v4h samples;
    std::memcpy(&fx, frac, sizeof fx);
    std::memcpy(&samples, row, sizeof samples);
    const v4f gx = 1.0f - fx;
    const v4f sum = truncated(fy256 * fx) * static_cast<float>(g.lower_right) +
                    truncated(fy256 * gx) * static_cast<float>(g.lower_left) +
                    truncated(gy256 * gx) * static_cast<float>(g.upper_left) +
                    truncated(gy256 * fx) * static_cast<float>(g.upper_right);
    // Signed lanes wherever the values allow: SSE2 has no unsigned compare.
    const v4i gain = __builtin_convertvector(sum, v4i) >> 8;
    const v4u product = __builtin_convertvector(gain, v4u) * __builtin_convertvector(samples, v4u);
    const v4i v = __builtin_convertvector(product >> 9, v4i);  // below 2^23
    const v4i over = v > 65535;
    const v4h out = __builtin_convertvector((v & ~over) | (over & 65535), v4h);
    std::memcpy(row, &out, sizeof out);
}
#endif

// Corrects columns [begin, end) of one row. Within a span the table cells
// are fixed, so the work is element-wise over the columns: no branch, no
// gather, no division.
void apply_span(uint16_t* row, const float* frac, uint32_t begin, uint32_t end, float fy, float gy,
                gain_cells g) {
    uint32_t j = begin;
#if defined(__GNUC__)
    const float fy256 = fy * 256.0f;
    const float gy256 = gy * 256.0f;
    for (; j + 4 <= end; j += 4) corrected4(row + j, frac + j, fy256, gy256, g);
#endif
    for (; j < end; ++j) row[j] = corrected(row[j], frac[j], fy, gy, g);
}

}  // namespace

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
                      uint16_t table_cols, uint16_t table_rows, gain_columns& columns) {
    if (width == 0 || height == 0 || table_cols == 0 || table_rows == 0) return;
    const gain_grid grid = plan_gain_grid(width, height, table_cols, table_rows, columns);
    for (uint32_t i = 0; i < height; ++i) {
        const gain_row terms = gain_row_of(grid, table, i);
        uint16_t* row = image + static_cast<size_t>(i) * width;
        for_each_gain_span(grid, columns, terms, [&](uint32_t begin, uint32_t end, gain_cells g) {
            apply_span(row, columns.frac, begin, end, terms.fy, terms.gy, g);
        });
    }
}

}  // namespace orvane
