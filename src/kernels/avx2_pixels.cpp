// AVX2 kernels: black level, gains, mean and every other sample. Built for
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

// Eight samples corrected with their weights. The weighted sum is exact in
// float: every product and partial sum is an integer below 256 * 65536 =
// 2^24.
inline __m128i apply8(__m128i samples, const weights8& w, const cells8& c) {
    __m256 sum = _mm256_mul_ps(w.w11, c.g11);
    sum = _mm256_add_ps(sum, _mm256_mul_ps(w.w10, c.g10));
    sum = _mm256_add_ps(sum, _mm256_mul_ps(w.w00, c.g00));
    sum = _mm256_add_ps(sum, _mm256_mul_ps(w.w01, c.g01));
    const __m256i gain = _mm256_srli_epi32(_mm256_cvttps_epi32(sum), 8);
    const __m256i product = _mm256_mullo_epi32(gain, _mm256_cvtepu16_epi32(samples));
    const __m256i v = _mm256_min_epu32(_mm256_srli_epi32(product, 9), _mm256_set1_epi32(65535));
    const __m256i packed = _mm256_packus_epi32(v, v);  // lanes 0-3 | 0-3, 4-7 | 4-7
    return _mm256_castsi256_si128(_mm256_permute4x64_epi64(packed, 0x08));
}

inline __m128i gain8(__m128i samples, __m256 fx, __m256 fy256, __m256 gy256, const cells8& c) {
    return apply8(samples, weights_of(fx, fy256, gy256), c);
}

// A span of at least eight samples whose length is not a multiple of eight
// ends with a block that overlaps the one before it. That block is
// corrected first, from the samples as they came, and stored last: the
// samples both blocks hold get the same value from the same input either
// way, and nothing outside the span is read or written. Shorter spans go
// through a padded copy.
void black_gain_span_avx2(uint16_t* row, const float* frac, uint32_t begin, uint32_t end,
                          float fy, float gy, const gain_cells& g, uint16_t black) {
    const __m256 fy256 = _mm256_set1_ps(fy * 256.0f);
    const __m256 gy256 = _mm256_set1_ps(gy * 256.0f);
    const cells8 c = cells_of(g);
    const __m128i b = _mm_set1_epi16(static_cast<short>(black));
    if (end - begin < 8) {
        if (begin == end) return;
        alignas(32) uint16_t s[8] = {};
        alignas(32) float f[8] = {};
        const uint32_t n = end - begin;
        for (uint32_t k = 0; k < n; ++k) {
            s[k] = row[begin + k];
            f[k] = frac[begin + k];
        }
        const __m128i in = _mm_subs_epu16(_mm_load_si128(reinterpret_cast<const __m128i*>(s)), b);
        _mm_store_si128(reinterpret_cast<__m128i*>(s), gain8(in, _mm256_load_ps(f), fy256, gy256, c));
        for (uint32_t k = 0; k < n; ++k) row[begin + k] = s[k];
        return;
    }
    const uint32_t last = end - 8;
    auto* pl = reinterpret_cast<__m128i*>(row + last);
    const __m128i tail =
        gain8(_mm_subs_epu16(_mm_loadu_si128(pl), b), _mm256_loadu_ps(frac + last), fy256, gy256, c);
    for (uint32_t j = begin; j < last; j += 8) {
        auto* p = reinterpret_cast<__m128i*>(row + j);
        const __m128i s = _mm_subs_epu16(_mm_loadu_si128(p), b);
        _mm_storeu_si128(p, gain8(s, _mm256_loadu_ps(frac + j), fy256, gy256, c));
    }
    _mm_storeu_si128(pl, tail);
}

// Both rows from one set of weights per eight columns, the span's end as
// in black_gain_span_avx2.
void black_gain_span_pair_avx2(uint16_t* row_a, uint16_t* row_b, const float* frac,
                               uint32_t begin, uint32_t end, float fy, float gy,
                               const gain_cells& cells_a, const gain_cells& cells_b,
                               uint16_t black) {
    if (end - begin < 8) {
        black_gain_span_avx2(row_a, frac, begin, end, fy, gy, cells_a, black);
        black_gain_span_avx2(row_b, frac, begin, end, fy, gy, cells_b, black);
        return;
    }
    const __m256 fy256 = _mm256_set1_ps(fy * 256.0f);
    const __m256 gy256 = _mm256_set1_ps(gy * 256.0f);
    const cells8 ca = cells_of(cells_a);
    const cells8 cb = cells_of(cells_b);
    const __m128i b = _mm_set1_epi16(static_cast<short>(black));
    const uint32_t last = end - 8;
    auto* la = reinterpret_cast<__m128i*>(row_a + last);
    auto* lb = reinterpret_cast<__m128i*>(row_b + last);
    const weights8 wl = weights_of(_mm256_loadu_ps(frac + last), fy256, gy256);
    const __m128i tail_a = apply8(_mm_subs_epu16(_mm_loadu_si128(la), b), wl, ca);
    const __m128i tail_b = apply8(_mm_subs_epu16(_mm_loadu_si128(lb), b), wl, cb);
    for (uint32_t j = begin; j < last; j += 8) {
        const weights8 w = weights_of(_mm256_loadu_ps(frac + j), fy256, gy256);
        auto* pa = reinterpret_cast<__m128i*>(row_a + j);
        auto* pb = reinterpret_cast<__m128i*>(row_b + j);
        _mm_storeu_si128(pa, apply8(_mm_subs_epu16(_mm_loadu_si128(pa), b), w, ca));
        _mm_storeu_si128(pb, apply8(_mm_subs_epu16(_mm_loadu_si128(pb), b), w, cb));
    }
    _mm_storeu_si128(la, tail_a);
    _mm_storeu_si128(lb, tail_b);
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

void every_other_avx2(const uint16_t* src, uint16_t* out, size_t count) {
    // The last vector reads src[2s + 1] too, so it stops one pair early.
    const __m256i low = _mm256_set1_epi32(0xFFFF);
    size_t s = 0;
    for (; s + 17 <= count; s += 16) {
        const __m256i x = _mm256_and_si256(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 2 * s)), low);
        const __m256i y = _mm256_and_si256(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 2 * s + 16)), low);
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(x, y), 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + s), packed);
    }
    for (; s < count; ++s) out[s] = src[2 * s];
}

}  // namespace

void install_avx2_pixels(kernel_table& k) {
    k.subtract_black = subtract_black_avx2;
    k.black_gain_span = black_gain_span_avx2;
    k.black_gain_span_pair = black_gain_span_pair_avx2;
    k.mean_image = mean_image_avx2;
    k.every_other = every_other_avx2;
}

}  // namespace orvane
