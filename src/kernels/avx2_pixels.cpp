// AVX2 kernels: black level, gains (with the channel gather) and mean. Built for
// AVX2 like every avx2_* unit (the rules they keep are in kernels/avx2.cpp).
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "kernels/avx2_units.h"
#include "kernels/kernels.h"

namespace orvane {
namespace {

void subtract_black_avx2(uint16_t* image, size_t count, uint16_t black) {
    // Unsigned saturating subtraction is exactly "v > black ? v - black : 0".
    const __m256i b = _mm256_set1_epi16(static_cast<short>(black));
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        auto* p = reinterpret_cast<__m256i*>(image + i);
        _mm256_storeu_si256(p, _mm256_subs_epu16(_mm256_loadu_si256(p), b));
    }
    for (; i < count; ++i) {
        const uint16_t v = image[i];
        image[i] = v > black ? static_cast<uint16_t>(v - black) : uint16_t{0};
    }
}

// Weights of eight columns of one row. The products are those of the
// scalar code: (fy * fx) * 256 equals (fy * 256) * fx because scaling by
// 256 is exact. Truncating a positive float below 2^24 with round-to-zero
// gives the integer the scalar cast gives.
struct weights8 {
    __m256 w11, w10, w00, w01;
};

inline weights8 weights_of(__m256 fx, __m256 fy256, __m256 gy256) {
    const __m256 gx = _mm256_sub_ps(_mm256_set1_ps(1.0f), fx);
    constexpr int kTrunc = _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC;
    return {_mm256_round_ps(_mm256_mul_ps(fy256, fx), kTrunc),
            _mm256_round_ps(_mm256_mul_ps(fy256, gx), kTrunc),
            _mm256_round_ps(_mm256_mul_ps(gy256, gx), kTrunc),
            _mm256_round_ps(_mm256_mul_ps(gy256, fx), kTrunc)};
}

// The table gains of one span as floats.
struct cells8 {
    __m256 g11, g10, g00, g01;
};

inline cells8 cells_of(const gain_cells& g) {
    return {_mm256_set1_ps(static_cast<float>(g.lower_right)),
            _mm256_set1_ps(static_cast<float>(g.lower_left)),
            _mm256_set1_ps(static_cast<float>(g.upper_left)),
            _mm256_set1_ps(static_cast<float>(g.upper_right))};
}

// Eight samples, zero-extended to 32 bits, corrected with their weights.
// The weighted sum is exact in float: every product and partial sum is an
// integer below 256 * 65536 = 2^24.
inline __m128i apply8(__m256i samples, const weights8& w, const cells8& c) {
    __m256 sum = _mm256_mul_ps(w.w11, c.g11);
    sum = _mm256_add_ps(sum, _mm256_mul_ps(w.w10, c.g10));
    sum = _mm256_add_ps(sum, _mm256_mul_ps(w.w00, c.g00));
    sum = _mm256_add_ps(sum, _mm256_mul_ps(w.w01, c.g01));
    const __m256i gain = _mm256_srli_epi32(_mm256_cvttps_epi32(sum), 8);
    const __m256i product = _mm256_mullo_epi32(gain, samples);
    const __m256i v = _mm256_min_epu32(_mm256_srli_epi32(product, 9), _mm256_set1_epi32(65535));
    const __m256i packed = _mm256_packus_epi32(v, v);  // lanes 0-3 | 0-3, 4-7 | 4-7
    return _mm256_castsi256_si128(_mm256_permute4x64_epi64(packed, 0x08));
}

// Samples j .. j + 7 of a source read with `Step`, zero-extended to 32 bits,
// less the black level (`black` holds it in every 32-bit lane: the
// saturating 16-bit subtraction leaves the zero upper halves at zero).
// With step 2 the last vector also reads src[2 (j + 7) + 1].
template <uint32_t Step>
inline __m256i load8(const uint16_t* src, uint32_t j, __m256i black) {
    if (Step == 1) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + j));
        return _mm256_subs_epu16(_mm256_cvtepu16_epi32(x), black);
    }
    const __m256i pairs = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 2 * size_t{j}));
    return _mm256_subs_epu16(_mm256_and_si256(pairs, _mm256_set1_epi32(0xFFFF)), black);
}

// n <= 8 samples from j on, copied one by one: nothing past them is read.
template <uint32_t Step>
inline __m256i load_few(const uint16_t* src, uint32_t j, uint32_t n, __m256i black) {
    alignas(32) uint32_t s[8] = {};
    for (uint32_t k = 0; k < n; ++k) s[k] = src[size_t{j + k} * Step];
    return _mm256_subs_epu16(_mm256_load_si256(reinterpret_cast<const __m256i*>(s)), black);
}

// A span of fewer than eight samples, through a padded copy.
template <uint32_t Step>
inline void short_span(const uint16_t* src, uint16_t* row, const float* frac, uint32_t begin,
                       uint32_t n, __m256 fy256, __m256 gy256, const cells8& c, __m256i black) {
    alignas(32) float f[8] = {};
    for (uint32_t k = 0; k < n; ++k) f[k] = frac[begin + k];
    const __m256i in = load_few<Step>(src, begin, n, black);
    alignas(16) uint16_t out[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(out),
                    apply8(in, weights_of(_mm256_load_ps(f), fy256, gy256), c));
    for (uint32_t k = 0; k < n; ++k) row[begin + k] = out[k];
}

// Span by span. A span of at least eight samples whose length is not a
// multiple of eight ends with a block that overlaps the one before it. That
// block is corrected first, from the samples as they came, and stored last:
// in place, the samples both blocks hold get the same value from the same
// input either way, and nothing outside the span is read or written. With
// step 2 the row's last block is copied in, so the sample after the last
// one kept is never read.
constexpr size_t kGatherAhead = 1024;  // samples

template <uint32_t Step>
void gain_row_avx2(const uint16_t* src, uint16_t* row, const gain_row_terms& t,
                   const gain_cells* cells, uint16_t black) {
    const __m256 fy256 = _mm256_set1_ps(t.fy * 256.0f);
    const __m256 gy256 = _mm256_set1_ps(t.gy * 256.0f);
    const __m256i b = _mm256_set1_epi32(black);
    const uint32_t width = t.bounds[t.spans];
    for (uint32_t s = 0; s < t.spans; ++s) {
        const uint32_t begin = t.bounds[s];
        const uint32_t end = t.bounds[s + 1];
        const cells8 c = cells_of(cells[s]);
        if (end - begin < 8) {
            short_span<Step>(src, row, t.frac, begin, end - begin, fy256, gy256, c, b);
            continue;
        }
        const uint32_t last = end - 8;
        const __m256i tail_in =
            Step == 2 && end == width ? load_few<Step>(src, last, 8, b) : load8<Step>(src, last, b);
        const __m128i tail = apply8(tail_in, weights_of(_mm256_loadu_ps(t.frac + last), fy256, gy256), c);
        for (uint32_t j = begin; j < last; j += 8) {
            if (Step == 2) {
                // A gathered row is a stream through a frame out of cache:
                // fetch ahead (a prefetch never faults).
                _mm_prefetch(reinterpret_cast<const char*>(src + 2 * size_t{j} + kGatherAhead),
                             _MM_HINT_T0);
            }
            const weights8 w = weights_of(_mm256_loadu_ps(t.frac + j), fy256, gy256);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(row + j), apply8(load8<Step>(src, j, b), w, c));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row + last), tail);
    }
}

void black_gain_row_avx2(const uint16_t* src, uint32_t step, uint16_t* row,
                         const gain_row_terms& terms, const gain_cells* cells, uint16_t black) {
    if (step == 2) {
        gain_row_avx2<2>(src, row, terms, cells, black);
    } else {
        gain_row_avx2<1>(src, row, terms, cells, black);
    }
}

// Both rows in place from one set of weights per eight columns, each span's
// end as in gain_row_avx2.
void black_gain_row_pair_avx2(uint16_t* row_a, uint16_t* row_b, const gain_row_terms& t,
                              const gain_cells* cells_a, const gain_cells* cells_b,
                              uint16_t black) {
    const __m256 fy256 = _mm256_set1_ps(t.fy * 256.0f);
    const __m256 gy256 = _mm256_set1_ps(t.gy * 256.0f);
    const __m256i b = _mm256_set1_epi32(black);
    for (uint32_t s = 0; s < t.spans; ++s) {
        const uint32_t begin = t.bounds[s];
        const uint32_t end = t.bounds[s + 1];
        const cells8 ca = cells_of(cells_a[s]);
        const cells8 cb = cells_of(cells_b[s]);
        if (end - begin < 8) {
            short_span<1>(row_a, row_a, t.frac, begin, end - begin, fy256, gy256, ca, b);
            short_span<1>(row_b, row_b, t.frac, begin, end - begin, fy256, gy256, cb, b);
            continue;
        }
        const uint32_t last = end - 8;
        const weights8 wl = weights_of(_mm256_loadu_ps(t.frac + last), fy256, gy256);
        const __m128i tail_a = apply8(load8<1>(row_a, last, b), wl, ca);
        const __m128i tail_b = apply8(load8<1>(row_b, last, b), wl, cb);
        for (uint32_t j = begin; j < last; j += 8) {
            const weights8 w = weights_of(_mm256_loadu_ps(t.frac + j), fy256, gy256);
            const __m128i out_a = apply8(load8<1>(row_a, j, b), w, ca);
            const __m128i out_b = apply8(load8<1>(row_b, j, b), w, cb);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(row_a + j), out_a);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(row_b + j), out_b);
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row_a + last), tail_a);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row_b + last), tail_b);
    }
}

void mean_image_avx2(uint16_t* a, const uint16_t* b, size_t count) {
    // floor((x + y) / 2) without a carry out of 16 bits.
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        auto* pa = reinterpret_cast<__m256i*>(a + i);
        const __m256i x = _mm256_loadu_si256(pa);
        const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
        const __m256i m =
            _mm256_add_epi16(_mm256_and_si256(x, y), _mm256_srli_epi16(_mm256_xor_si256(x, y), 1));
        _mm256_storeu_si256(pa, m);
    }
    for (; i < count; ++i) a[i] = static_cast<uint16_t>((static_cast<uint32_t>(a[i]) + b[i]) / 2);
}

}  // namespace

void install_avx2_pixels(kernel_table& k) {
    k.subtract_black = subtract_black_avx2;
    k.black_gain_row = black_gain_row_avx2;
    k.black_gain_row_pair = black_gain_row_pair_avx2;
    k.mean_image = mean_image_avx2;
}

}  // namespace orvane
