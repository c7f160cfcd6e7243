// AVX-512 exposure window sums and resampler column pass, with the
// bit-exactness rules of kernels/avx512.cpp.
#include <immintrin.h>

#include <cstdint>

#include "kernels/kernels.h"
#include "kernels/resize_plan.h"
#include "kernels/avx512_units.h"

// GCC 12 warns about the deliberately undefined pass-through operand inside
// its own AVX-512 intrinsics.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace orvane {

const kernel_table* avx2_table();  // kernels/avx2.cpp: the fallback of odd plans

namespace {

// ---- exposure check: window sums of every row -------------------------
//
// Every window sum of a row is formed directly from its samples, 32 (16-bit
// lanes) or 16 (32-bit lanes) start columns at a time; integer sums, so the
// grouping changes nothing. A row whose largest sample times the window
// length fits 16 bits is summed in 16-bit lanes without any wrap.

constexpr uint32_t kMaxDirectWindow = 64;

inline uint32_t row_maximum(const uint16_t* row, uint32_t width) {
    __m512i m = _mm512_setzero_si512();
    for (uint32_t x = 0; x < width; x += 32) {
        const uint32_t left = width - x;
        const __mmask32 k = left >= 32 ? ~__mmask32{0} : static_cast<__mmask32>((1u << left) - 1u);
        m = _mm512_max_epu16(m, _mm512_maskz_loadu_epi16(k, row + x));
    }
    const __m512i m32 = _mm512_max_epu32(_mm512_cvtepu16_epi32(_mm512_castsi512_si256(m)),
                                         _mm512_cvtepu16_epi32(_mm512_extracti64x4_epi64(m, 1)));
    return _mm512_reduce_max_epu32(m32);
}

void window_sum_range_avx512(const uint16_t* image, uint32_t width, uint32_t height, uint32_t len,
                             uint32_t* lowest, uint32_t* highest) {
    if (len == 0 || len > width || len > kMaxDirectWindow) {
        avx2_table()->window_sum_range(image, width, height, len, lowest, highest);
        return;
    }
    const uint32_t windows = width - len + 1;
    __m512i lo16 = _mm512_set1_epi16(-1);
    __m512i hi16 = _mm512_setzero_si512();
    __m512i lo32 = _mm512_set1_epi32(-1);
    __m512i hi32 = _mm512_setzero_si512();
    bool narrow_rows = false;
    bool wide_rows = false;
    for (uint32_t y = 0; y < height; ++y) {
        const uint16_t* row = image + static_cast<size_t>(y) * width;
        if (row_maximum(row, width) * len <= 65535u) {
            narrow_rows = true;
            for (uint32_t x = 0; x < windows; x += 32) {
                const uint32_t left = windows - x;
                const __mmask32 k = left >= 32 ? ~__mmask32{0} : static_cast<__mmask32>((1u << left) - 1u);
                __m512i sum = _mm512_maskz_loadu_epi16(k, row + x);
                for (uint32_t i = 1; i < len; ++i) {
                    sum = _mm512_add_epi16(sum, _mm512_maskz_loadu_epi16(k, row + x + i));
                }
                lo16 = _mm512_mask_min_epu16(lo16, k, lo16, sum);
                hi16 = _mm512_mask_max_epu16(hi16, k, hi16, sum);
            }
        } else {
            wide_rows = true;
            for (uint32_t x = 0; x < windows; x += 16) {
                const uint32_t left = windows - x;
                const __mmask16 k = left >= 16 ? __mmask16(0xFFFF) : static_cast<__mmask16>((1u << left) - 1u);
                __m512i sum = _mm512_cvtepu16_epi32(_mm256_maskz_loadu_epi16(k, row + x));
                for (uint32_t i = 1; i < len; ++i) {
                    sum = _mm512_add_epi32(sum, _mm512_cvtepu16_epi32(_mm256_maskz_loadu_epi16(k, row + x + i)));
                }
                lo32 = _mm512_mask_min_epu32(lo32, k, lo32, sum);
                hi32 = _mm512_mask_max_epu32(hi32, k, hi32, sum);
            }
        }
    }
    uint32_t lo = *lowest;
    uint32_t hi = *highest;
    if (narrow_rows) {
        const uint32_t l = _mm512_reduce_min_epu32(
            _mm512_min_epu32(_mm512_cvtepu16_epi32(_mm512_castsi512_si256(lo16)),
                             _mm512_cvtepu16_epi32(_mm512_extracti64x4_epi64(lo16, 1))));
        const uint32_t h = _mm512_reduce_max_epu32(
            _mm512_max_epu32(_mm512_cvtepu16_epi32(_mm512_castsi512_si256(hi16)),
                             _mm512_cvtepu16_epi32(_mm512_extracti64x4_epi64(hi16, 1))));
        lo = l < lo ? l : lo;
        hi = h > hi ? h : hi;
    }
    if (wide_rows) {
        const uint32_t l = _mm512_reduce_min_epu32(lo32);
        const uint32_t h = _mm512_reduce_max_epu32(hi32);
        lo = l < lo ? l : lo;
        hi = h > hi ? h : hi;
    }
    *lowest = lo;
    *highest = hi;
}

// ---- resampler column pass: output rows accumulated in registers --------
// (the plan and why it keeps every sum exact: kernels/resize_plan.h)

// Columns [c0, c0 + 16 NB) (the last register masked by `tail`) over the
// planned passes; slot_row[k] is the output row slot k holds.
template <int K, int NB>
inline void replay(const row_pass<K>* plan, uint32_t n, const uint16_t* src, size_t width,
                   size_t c0, __mmask16 tail, int32_t out_rows, int32_t* slot_row, float* inter) {
    __m512 acc[K][NB];
    auto mask_of = [&](int b) { return b == NB - 1 ? tail : __mmask16(0xFFFF); };
#pragma GCC unroll 16
    for (int k = 0; k < K; ++k) {
#pragma GCC unroll 8
        for (int b = 0; b < NB; ++b) {
            acc[k][b] = slot_row[k] < out_rows
                            ? _mm512_maskz_loadu_ps(mask_of(b), inter + static_cast<size_t>(slot_row[k]) * width + c0 + 16 * b)
                            : _mm512_setzero_ps();
        }
    }
    for (uint32_t e = 0; e < n; ++e) {
        const row_pass<K>& p = plan[e];
        const uint16_t* row = src + static_cast<size_t>(p.y - 1) * width + c0;
        // Each pass reads two cache lines of a row far from the last one:
        // fetch the same rows two blocks to the right, which the planned
        // passes reach after this block and the next.
        if (c0 + 3 * 16 * NB <= width) {
            const auto* ahead = reinterpret_cast<const char*>(row + 2 * 16 * NB);
#pragma GCC unroll 8
            for (int b = 0; b < NB; b += 2) _mm_prefetch(ahead + 64 * (b / 2), _MM_HINT_T0);
        }
        __m512 x[NB];
#pragma GCC unroll 8
        for (int b = 0; b < NB; ++b) {
            x[b] = _mm512_cvtepi32_ps(_mm512_cvtepu16_epi32(_mm256_maskz_loadu_epi16(mask_of(b), row + 16 * b)));
        }
    #pragma GCC unroll 16
    for (int k = 0; k < K; ++k) {
            const __m512 w = _mm512_set1_ps(p.w[k]);
#pragma GCC unroll 8
            for (int b = 0; b < NB; ++b) acc[k][b] = _mm512_add_ps(acc[k][b], _mm512_mul_ps(x[b], w));
        }
        if (p.closing != 0) {
        #pragma GCC unroll 16
    for (int k = 0; k < K; ++k) {
                if ((p.closing >> k) & 1u) {
                    float* out = inter + static_cast<size_t>(slot_row[k]) * width + c0;
            #pragma GCC unroll 8
        for (int b = 0; b < NB; ++b) {
                        _mm512_mask_storeu_ps(out + 16 * b, mask_of(b), acc[k][b]);
                        acc[k][b] = _mm512_setzero_ps();
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
#pragma GCC unroll 8
        for (int b = 0; b < NB; ++b) _mm512_mask_storeu_ps(out + 16 * b, mask_of(b), acc[k][b]);
    }
}

template <int K, int NB>
void resize_columns_slots(const uint16_t* src, size_t width, int32_t out_rows,
                          const float* weights, const int32_t* indices, int32_t taps,
                          float* inter) {
    pass_planner<K> planner = planner_of<K>(weights, indices, taps, out_rows);
    int32_t slot_start[K];
    for (int k = 0; k < K; ++k) slot_start[k] = k;
    row_pass<K> plan[kPlanEntries];
    constexpr size_t kCols = 16 * NB;
    while (const uint32_t n = planner.plan(plan)) {
        int32_t slot_row[K];
        size_t c0 = 0;
        for (; c0 + kCols <= width; c0 += kCols) {
            for (int k = 0; k < K; ++k) slot_row[k] = slot_start[k];
            replay<K, NB>(plan, n, src, width, c0, 0xFFFF, out_rows, slot_row, inter);
        }
        for (; c0 < width; c0 += 16) {
            const size_t left = width - c0;
            const auto tail = static_cast<__mmask16>(left >= 16 ? 0xFFFFu : (1u << left) - 1u);
            for (int k = 0; k < K; ++k) slot_row[k] = slot_start[k];
            replay<K, 1>(plan, n, src, width, c0, tail, out_rows, slot_row, inter);
        }
        for (int k = 0; k < K; ++k) slot_start[k] = slot_row[k];
    }
}

void resize_columns_avx512(const uint16_t* src, size_t width, int32_t out_rows,
                           const float* weights, const int32_t* indices, int32_t taps,
                           float* inter) {
    if (out_rows <= 0) return;
    for (size_t i = 0; i < static_cast<size_t>(out_rows) * width; ++i) inter[i] = 0.0f;
    if (taps <= 0 || width == 0) return;
    if (out_rows <= kMaxOutRows) {
        if (slots_suffice(indices, out_rows, taps, 4)) {
            return resize_columns_slots<4, 4>(src, width, out_rows, weights, indices, taps, inter);
        }
        if (slots_suffice(indices, out_rows, taps, 6)) {
            return resize_columns_slots<6, 4>(src, width, out_rows, weights, indices, taps, inter);
        }
        if (slots_suffice(indices, out_rows, taps, 8)) {
            return resize_columns_slots<8, 3>(src, width, out_rows, weights, indices, taps, inter);
        }
        if (slots_suffice(indices, out_rows, taps, 12)) {
            return resize_columns_slots<12, 2>(src, width, out_rows, weights, indices, taps, inter);
        }
    }
    avx2_table()->resize_columns(src, width, out_rows, weights, indices, taps, inter);
}

}  // namespace

void install_avx512_resize(kernel_table& k) {
    k.window_sum_range = window_sum_range_avx512;
    k.resize_columns = resize_columns_avx512;
}

}  // namespace orvane
