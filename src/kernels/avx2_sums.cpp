// AVX2 kernels: profile sums and the exposure check's window sums. Built for
// AVX2 like every avx2_* unit (the rules they keep are in kernels/avx2.cpp).
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "kernels/avx2_common.h"
#include "kernels/avx2_units.h"
#include "kernels/kernels.h"

namespace orvane {
namespace {

void column_sums_avx2(const uint16_t* origin, size_t stride, uint32_t ncols, uint32_t nrows,
                      int32_t* profile) {
    uint32_t c = 0;
    for (; c + 32 <= ncols; c += 32) {
        __m256i s0 = _mm256_setzero_si256(), s1 = s0, s2 = s0, s3 = s0;
        const uint16_t* p = origin + c;
        for (uint32_t r = 0; r < nrows; ++r, p += stride) {
            const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
            const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 16));
            s0 = _mm256_add_epi32(s0, _mm256_cvtepu16_epi32(_mm256_castsi256_si128(x)));
            s1 = _mm256_add_epi32(s1, _mm256_cvtepu16_epi32(_mm256_extracti128_si256(x, 1)));
            s2 = _mm256_add_epi32(s2, _mm256_cvtepu16_epi32(_mm256_castsi256_si128(y)));
            s3 = _mm256_add_epi32(s3, _mm256_cvtepu16_epi32(_mm256_extracti128_si256(y, 1)));
        }
        auto* out = reinterpret_cast<__m256i*>(profile + c);
        _mm256_storeu_si256(out, s0);
        _mm256_storeu_si256(out + 1, s1);
        _mm256_storeu_si256(out + 2, s2);
        _mm256_storeu_si256(out + 3, s3);
    }
    for (; c + 8 <= ncols; c += 8) {
        __m256i s0 = _mm256_setzero_si256();
        const uint16_t* p = origin + c;
        for (uint32_t r = 0; r < nrows; ++r, p += stride) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            s0 = _mm256_add_epi32(s0, _mm256_cvtepu16_epi32(x));
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(profile + c), s0);
    }
    // The last columns, fewer than a vector: the scalar kernel.
    if (c < ncols) scalar_kernels().column_sums(origin + c, stride, ncols - c, nrows, profile + c);
}

void row_sums_avx2(const uint16_t* origin, size_t stride, uint32_t ncols, uint32_t nrows,
                   int32_t* profile) {
    for (uint32_t r = 0; r < nrows; ++r) {
        const uint16_t* p = origin + r * stride;
        __m256i acc = _mm256_setzero_si256();
        uint32_t c = 0;
        for (; c + 16 <= ncols; c += 16) {
            const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + c));
            acc = _mm256_add_epi32(acc, _mm256_cvtepu16_epi32(_mm256_castsi256_si128(x)));
            acc = _mm256_add_epi32(acc, _mm256_cvtepu16_epi32(_mm256_extracti128_si256(x, 1)));
        }
        const __m128i h = _mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
        const __m128i q = _mm_add_epi32(h, _mm_shuffle_epi32(h, 0x4E));
        const __m128i o = _mm_add_epi32(q, _mm_shuffle_epi32(q, 0xB1));
        auto sum = static_cast<uint32_t>(_mm_cvtsi128_si32(o));
        for (; c < ncols; ++c) sum += p[c];
        profile[r] = static_cast<int32_t>(sum);
    }
}

void accumulate_row_avx2(const uint16_t* src, uint32_t count, int32_t* sums) {
    uint32_t c = 0;
    for (; c + 16 <= count; c += 16) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + c));
        auto* s0 = reinterpret_cast<__m256i*>(sums + c);
        auto* s1 = reinterpret_cast<__m256i*>(sums + c + 8);
        _mm256_storeu_si256(s0, _mm256_add_epi32(_mm256_loadu_si256(s0),
                                                 _mm256_cvtepu16_epi32(_mm256_castsi256_si128(x))));
        _mm256_storeu_si256(s1, _mm256_add_epi32(_mm256_loadu_si256(s1),
                                                 _mm256_cvtepu16_epi32(_mm256_extracti128_si256(x, 1))));
    }
    for (; c < count; ++c) sums[c] = static_cast<int32_t>(static_cast<uint32_t>(sums[c]) + src[c]);
}

// Both rows widened and added before the sums are loaded: one load and
// store of the sums for two rows.
void accumulate_rows2_avx2(const uint16_t* a, const uint16_t* b, uint32_t count, int32_t* sums) {
    uint32_t c = 0;
    for (; c + 16 <= count; c += 16) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + c));
        const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + c));
        const __m256i lo = _mm256_add_epi32(_mm256_cvtepu16_epi32(_mm256_castsi256_si128(x)),
                                            _mm256_cvtepu16_epi32(_mm256_castsi256_si128(y)));
        const __m256i hi = _mm256_add_epi32(_mm256_cvtepu16_epi32(_mm256_extracti128_si256(x, 1)),
                                            _mm256_cvtepu16_epi32(_mm256_extracti128_si256(y, 1)));
        auto* s0 = reinterpret_cast<__m256i*>(sums + c);
        auto* s1 = reinterpret_cast<__m256i*>(sums + c + 8);
        _mm256_storeu_si256(s0, _mm256_add_epi32(_mm256_loadu_si256(s0), lo));
        _mm256_storeu_si256(s1, _mm256_add_epi32(_mm256_loadu_si256(s1), hi));
    }
    for (; c < count; ++c) {
        sums[c] = static_cast<int32_t>(static_cast<uint32_t>(sums[c]) + a[c] + b[c]);
    }
}

// ---- exposure check: sliding window sums of eight rows side by side ------

void window_sum_range_avx2(const uint16_t* image, uint32_t width, uint32_t height, uint32_t len,
                           uint32_t* lowest, uint32_t* highest) {
    uint32_t y = 0;
    // Whole groups of eight rows with 8-column blocks; window sums are
    // integers, so neither the order nor the grouping changes them.
    if (width >= 8) {
        __m256i lo = _mm256_set1_epi32(-1);
        __m256i hi = _mm256_setzero_si256();
        for (; y + 8 <= height; y += 8) {
            const uint16_t* rows = image + static_cast<size_t>(y) * width;
            // Sums of the first window of each row.
            alignas(32) uint32_t first[8];
            for (uint32_t r = 0; r < 8; ++r) {
                const uint16_t* p = rows + static_cast<size_t>(r) * width;
                uint32_t s = 0;
                for (uint32_t x = 0; x < len; ++x) s += p[x];
                first[r] = s;
            }
            __m256i sum = _mm256_load_si256(reinterpret_cast<const __m256i*>(first));
            lo = _mm256_min_epu32(lo, sum);
            hi = _mm256_max_epu32(hi, sum);
            uint32_t x = len;
            for (; x + 8 <= width; x += 8) {
                __m128i in[8], out[8], old_in[8], old[8];
                for (uint32_t r = 0; r < 8; ++r) {
                    const uint16_t* p = rows + static_cast<size_t>(r) * width;
                    in[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + x));
                    old_in[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + x - len));
                }
                transpose8(in, out);
                transpose8(old_in, old);
                for (int k = 0; k < 8; ++k) {
                    sum = _mm256_add_epi32(sum, _mm256_cvtepu16_epi32(out[k]));
                    sum = _mm256_sub_epi32(sum, _mm256_cvtepu16_epi32(old[k]));
                    lo = _mm256_min_epu32(lo, sum);
                    hi = _mm256_max_epu32(hi, sum);
                }
            }
            alignas(32) uint32_t tail[8];
            _mm256_store_si256(reinterpret_cast<__m256i*>(tail), sum);
            for (uint32_t r = 0; r < 8; ++r) {
                const uint16_t* p = rows + static_cast<size_t>(r) * width;
                uint32_t s = tail[r];
                for (uint32_t xx = x; xx < width; ++xx) {
                    s += p[xx];
                    s -= p[xx - len];
                    *lowest = min_u32(*lowest, s);
                    *highest = max_u32(*highest, s);
                }
            }
        }
        alignas(32) uint32_t l8[8], h8[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(l8), lo);
        _mm256_store_si256(reinterpret_cast<__m256i*>(h8), hi);
        for (int r = 0; r < 8; ++r) {
            *lowest = min_u32(*lowest, l8[r]);
            *highest = max_u32(*highest, h8[r]);
        }
    }
    for (; y < height; ++y) {
        const uint16_t* row = image + static_cast<size_t>(y) * width;
        uint32_t sum = 0;
        for (uint32_t x = 0; x < len; ++x) sum += row[x];
        *lowest = min_u32(*lowest, sum);
        *highest = max_u32(*highest, sum);
        for (uint32_t x = len; x < width; ++x) {
            sum += row[x];
            sum -= row[x - len];
            *lowest = min_u32(*lowest, sum);
            *highest = max_u32(*highest, sum);
        }
    }
}

}  // namespace

void install_avx2_sums(kernel_table& k) {
    k.column_sums = column_sums_avx2;
    k.row_sums = row_sums_avx2;
    k.accumulate_row = accumulate_row_avx2;
    k.accumulate_rows2 = accumulate_rows2_avx2;
    k.window_sum_range = window_sum_range_avx2;
}

}  // namespace orvane
