// AVX2 kernels: the resampler's column pass. Built for AVX2 like every avx2_*
// unit (the rules they keep are in kernels/avx2.cpp).
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "kernels/avx2_units.h"
#include "kernels/kernels.h"
#include "kernels/resize_plan.h"

namespace orvane {
namespace {

// acc[c] += float(row[c]) * w for c < n, eight columns at a time.
inline void multiply_add(float* acc, const uint16_t* row, size_t n, float w) {
    const __m256 wv = _mm256_set1_ps(w);
    size_t c = 0;
    for (; c + 8 <= n; c += 8) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + c));
        const __m256 f = _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(x));
        _mm256_storeu_ps(acc + c, _mm256_add_ps(_mm256_loadu_ps(acc + c), _mm256_mul_ps(f, wv)));
    }
    for (; c < n; ++c) acc[c] += static_cast<float>(row[c]) * w;
}

// The taps of every output row walk down the source rows (indices never
// decrease along a row of taps), so the pass visits each source row once,
// for a strip of columns, and adds it to every output row that has taps on
// it, tap by tap in order. Each output value still sums its taps in order.
void resize_columns_strips(const uint16_t* src, size_t width, int32_t out_rows,
                         const float* weights, const int32_t* indices, int32_t taps,
                         float* inter) {
    constexpr int32_t kMaxRows = 256;
    constexpr size_t kStrip = 512;
    bool monotone = out_rows > 0 && out_rows <= kMaxRows && taps > 0;
    for (int32_t r = 0; monotone && r < out_rows; ++r) {
        const int32_t* idx = indices + static_cast<size_t>(r) * static_cast<size_t>(taps);
        for (int32_t j = 1; j < taps; ++j) monotone = monotone && idx[j] >= idx[j - 1];
    }
    if (!monotone) {
        for (int32_t r = 0; r < out_rows; ++r) {
            float* acc = inter + static_cast<size_t>(r) * width;
            const size_t base = static_cast<size_t>(r) * static_cast<size_t>(taps);
            for (size_t c = 0; c < width; ++c) acc[c] = 0.0f;
            for (int32_t j = 0; j < taps; ++j) {
                const uint16_t* row =
                    src + static_cast<size_t>(indices[base + static_cast<size_t>(j)] - 1) * width;
                multiply_add(acc, row, width, weights[base + static_cast<size_t>(j)]);
            }
        }
        return;
    }
    int32_t first = 0, last = 0;
    tap_row_range(indices, taps, out_rows, first, last);
    for (size_t c0 = 0; c0 < width; c0 += kStrip) {
        const size_t n = width - c0 < kStrip ? width - c0 : kStrip;
        int32_t next[kMaxRows];
        for (int32_t r = 0; r < out_rows; ++r) {
            next[r] = 0;
            float* acc = inter + static_cast<size_t>(r) * width + c0;
            for (size_t c = 0; c < n; ++c) acc[c] = 0.0f;
        }
        for (int32_t y = first; y <= last; ++y) {
            const uint16_t* row = src + static_cast<size_t>(y - 1) * width + c0;
            for (int32_t r = 0; r < out_rows; ++r) {
                const size_t base = static_cast<size_t>(r) * static_cast<size_t>(taps);
                float* acc = inter + static_cast<size_t>(r) * width + c0;
                while (next[r] < taps && indices[base + static_cast<size_t>(next[r])] == y) {
                    multiply_add(acc, row, n, weights[base + static_cast<size_t>(next[r])]);
                    ++next[r];
                }
            }
        }
    }
}

// Columns [c0, c0 + 8 NB) over the planned passes (kernels/resize_plan.h);
// slot_row[k] is the output row slot k holds.
template <int K, int NB>
inline void replay(const row_pass<K>* plan, uint32_t n, const uint16_t* src, size_t width,
                   size_t c0, int32_t out_rows, int32_t* slot_row, float* inter) {
    __m256 acc[K][NB];
#pragma GCC unroll 16
    for (int k = 0; k < K; ++k) {
#pragma GCC unroll 4
        for (int b = 0; b < NB; ++b) {
            acc[k][b] = slot_row[k] < out_rows
                            ? _mm256_loadu_ps(inter + static_cast<size_t>(slot_row[k]) * width + c0 + 8 * b)
                            : _mm256_setzero_ps();
        }
    }
    for (uint32_t e = 0; e < n; ++e) {
        const row_pass<K>& p = plan[e];
        const uint16_t* row = src + static_cast<size_t>(p.y - 1) * width + c0;
        // The planned rows are far apart, more streams than the hardware
        // follows: fetch the line the block 16 to the right reads (a
        // prefetch never faults).
        _mm_prefetch(reinterpret_cast<const char*>(row) + 512, _MM_HINT_T0);
        __m256 x[NB];
#pragma GCC unroll 4
        for (int b = 0; b < NB; ++b) {
            const __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 8 * b));
            x[b] = _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(s));
        }
#pragma GCC unroll 16
        for (int k = 0; k < K; ++k) {
            const __m256 w = _mm256_set1_ps(p.w[k]);
#pragma GCC unroll 4
            for (int b = 0; b < NB; ++b) acc[k][b] = _mm256_add_ps(acc[k][b], _mm256_mul_ps(x[b], w));
        }
        if (p.closing != 0) {
#pragma GCC unroll 16
            for (int k = 0; k < K; ++k) {
                if ((p.closing >> k) & 1u) {
                    float* out = inter + static_cast<size_t>(slot_row[k]) * width + c0;
#pragma GCC unroll 4
                    for (int b = 0; b < NB; ++b) {
                        _mm256_storeu_ps(out + 8 * b, acc[k][b]);
                        acc[k][b] = _mm256_setzero_ps();
                    }
                    slot_row[k] += K;
                }
            }
        }
    }
#pragma GCC unroll 16
    for (int k = 0; k < K; ++k) {
        if (slot_row[k] >= out_rows) continue;
        float* out = inter + static_cast<size_t>(slot_row[k]) * width + c0;
#pragma GCC unroll 4
        for (int b = 0; b < NB; ++b) _mm256_storeu_ps(out + 8 * b, acc[k][b]);
    }
}

// Whole blocks of 8 columns through the slots; the last width % 8 columns,
// too few for a register, sum their taps one column at a time.
template <int K, int NB>
void resize_columns_slots(const uint16_t* src, size_t width, int32_t out_rows,
                          const float* weights, const int32_t* indices, int32_t taps,
                          float* inter) {
    pass_planner<K> planner = planner_of<K>(weights, indices, taps, out_rows);
    int32_t slot_start[K];
    for (int k = 0; k < K; ++k) slot_start[k] = k;
    row_pass<K> plan[kPlanEntries];
    constexpr size_t kCols = 8 * NB;
    const size_t whole = width - width % 8;
    while (const uint32_t n = planner.plan(plan)) {
        int32_t slot_row[K];
        for (int k = 0; k < K; ++k) slot_row[k] = slot_start[k];
        size_t c0 = 0;
        for (; c0 + kCols <= whole; c0 += kCols) {
            for (int k = 0; k < K; ++k) slot_row[k] = slot_start[k];
            replay<K, NB>(plan, n, src, width, c0, out_rows, slot_row, inter);
        }
        for (; c0 < whole; c0 += 8) {
            for (int k = 0; k < K; ++k) slot_row[k] = slot_start[k];
            replay<K, 1>(plan, n, src, width, c0, out_rows, slot_row, inter);
        }
        for (int k = 0; k < K; ++k) slot_start[k] = slot_row[k];
    }
    for (int32_t r = 0; r < out_rows; ++r) {
        float* acc = inter + static_cast<size_t>(r) * width;
        const size_t base = static_cast<size_t>(r) * static_cast<size_t>(taps);
        for (int32_t j = 0; j < taps; ++j) {
            const float w = weights[base + static_cast<size_t>(j)];
            const uint16_t* row =
                src + static_cast<size_t>(indices[base + static_cast<size_t>(j)] - 1) * width;
            for (size_t c = whole; c < width; ++c) acc[c] += static_cast<float>(row[c]) * w;
        }
    }
}

// Output rows' sums in registers where the taps allow few enough open rows
// at once, else strips of columns.
void resize_columns_avx2(const uint16_t* src, size_t width, int32_t out_rows,
                         const float* weights, const int32_t* indices, int32_t taps,
                         float* inter) {
    if (out_rows > 0 && out_rows <= kMaxOutRows && taps > 0 && width > 0) {
        for (size_t i = 0; i < static_cast<size_t>(out_rows) * width; ++i) inter[i] = 0.0f;
        if (slots_suffice(indices, out_rows, taps, 4)) {
            return resize_columns_slots<4, 2>(src, width, out_rows, weights, indices, taps, inter);
        }
        if (slots_suffice(indices, out_rows, taps, 6)) {
            return resize_columns_slots<6, 2>(src, width, out_rows, weights, indices, taps, inter);
        }
        if (slots_suffice(indices, out_rows, taps, 8)) {
            return resize_columns_slots<8, 1>(src, width, out_rows, weights, indices, taps, inter);
        }
        if (slots_suffice(indices, out_rows, taps, 12)) {
            return resize_columns_slots<12, 1>(src, width, out_rows, weights, indices, taps, inter);
        }
    }
    resize_columns_strips(src, width, out_rows, weights, indices, taps, inter);
}

}  // namespace

void install_avx2_resize(kernel_table& k) {
    k.resize_columns = resize_columns_avx2;
}

}  // namespace orvane
