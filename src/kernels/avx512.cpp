// AVX-512 kernels (F, BW, VL, DQ): black level and gains, gathers, and the
// table, which takes the focus and resampler units (avx512_units.h). Built with
// -ffp-contract=off (no multiply-add is ever fused) and entered only through
// the table after a CPU check; the kernels not rewritten here are those of
// the AVX2 table.
//
// Bit-exactness as in the AVX2 unit: lanes hold independent samples or
// independent sequences, every float operation of the scalar code is done
// once per lane in the same order with the same rounding; only integer sums
// and minima/maxima are regrouped.
#include <immintrin.h>

#include <cstdint>

#include "kernels/kernels.h"
#include "kernels/avx512_units.h"

// GCC 12 warns about the deliberately undefined pass-through operand inside
// its own AVX-512 intrinsics.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace orvane {

const kernel_table* avx2_table();  // kernels/avx2.cpp

namespace {

// ---- black level and gains ------------------------------------------------

// Sixteen samples of one span, as gain8 of the AVX2 unit: the weights are
// the scalar products truncated, the weighted sum is exact in float, and the
// saturating narrowing is min(v, 65535).
inline __m256i gain16(__m256i samples, __m512 fx, __m512 fy256, __m512 gy256, __m512 g11,
                      __m512 g10, __m512 g00, __m512 g01) {
    const __m512 gx = _mm512_sub_ps(_mm512_set1_ps(1.0f), fx);
    constexpr int kTrunc = _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC;
    const __m512 w11 = _mm512_roundscale_ps(_mm512_mul_ps(fy256, fx), kTrunc);
    const __m512 w10 = _mm512_roundscale_ps(_mm512_mul_ps(fy256, gx), kTrunc);
    const __m512 w00 = _mm512_roundscale_ps(_mm512_mul_ps(gy256, gx), kTrunc);
    const __m512 w01 = _mm512_roundscale_ps(_mm512_mul_ps(gy256, fx), kTrunc);
    __m512 sum = _mm512_mul_ps(w11, g11);
    sum = _mm512_add_ps(sum, _mm512_mul_ps(w10, g10));
    sum = _mm512_add_ps(sum, _mm512_mul_ps(w00, g00));
    sum = _mm512_add_ps(sum, _mm512_mul_ps(w01, g01));
    const __m512i gain = _mm512_srli_epi32(_mm512_cvttps_epi32(sum), 8);
    const __m512i product = _mm512_mullo_epi32(gain, _mm512_cvtepu16_epi32(samples));
    return _mm512_cvtusepi32_epi16(_mm512_srli_epi32(product, 9));
}

void black_gain_span_avx512(uint16_t* row, const float* frac, uint32_t begin, uint32_t end,
                            float fy, float gy, const gain_cells& g, uint16_t black) {
    const __m512 fy256 = _mm512_set1_ps(fy * 256.0f);
    const __m512 gy256 = _mm512_set1_ps(gy * 256.0f);
    const __m512 g11 = _mm512_set1_ps(static_cast<float>(g.lower_right));
    const __m512 g10 = _mm512_set1_ps(static_cast<float>(g.lower_left));
    const __m512 g00 = _mm512_set1_ps(static_cast<float>(g.upper_left));
    const __m512 g01 = _mm512_set1_ps(static_cast<float>(g.upper_right));
    const __m256i b = _mm256_set1_epi16(static_cast<short>(black));
    uint32_t j = begin;
    for (; j + 16 <= end; j += 16) {
        auto* p = reinterpret_cast<__m256i*>(row + j);
        const __m256i s = _mm256_subs_epu16(_mm256_loadu_si256(p), b);
        _mm256_storeu_si256(p, gain16(s, _mm512_loadu_ps(frac + j), fy256, gy256, g11, g10, g00, g01));
    }
    if (j < end) {
        // The tail through the same lanes; masked loads and stores touch
        // only the span's samples.
        const auto m = static_cast<__mmask16>((1u << (end - j)) - 1u);
        const __m256i s = _mm256_subs_epu16(_mm256_maskz_loadu_epi16(m, row + j), b);
        const __m256i out =
            gain16(s, _mm512_maskz_loadu_ps(m, frac + j), fy256, gy256, g11, g10, g00, g01);
        _mm256_mask_storeu_epi16(row + j, m, out);
    }
}

// Two rows one after the other on this unit's 16-lane kernel (the pair
// kernel of the AVX2 table would run them in 8 lanes).
void black_gain_span_pair_avx512(uint16_t* row_a, uint16_t* row_b, const float* frac,
                                 uint32_t begin, uint32_t end, float fy, float gy,
                                 const gain_cells& cells_a, const gain_cells& cells_b,
                                 uint16_t black) {
    black_gain_span_avx512(row_a, frac, begin, end, fy, gy, cells_a, black);
    black_gain_span_avx512(row_b, frac, begin, end, fy, gy, cells_b, black);
}

// ---- gathers ---------------------------------------------------------------

void every_other_avx512(const uint16_t* src, uint16_t* out, size_t count) {
    // Sixteen pairs a step, narrowed to their first samples. A full step
    // also reads the second sample of its last pair, so the last step (of 1
    // to 16 pairs) loads only the samples it keeps and those between them.
    size_t s = 0;
    for (; s + 16 < count; s += 16) {
        const __m512i pairs = _mm512_loadu_si512(src + 2 * s);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + s), _mm512_cvtepi32_epi16(pairs));
    }
    if (s < count) {
        const auto n = static_cast<uint32_t>(count - s);  // 1 to 16
        const auto samples = static_cast<__mmask32>((uint64_t{1} << (2 * n - 1)) - 1u);
        const __m512i pairs = _mm512_maskz_loadu_epi16(samples, src + 2 * s);
        _mm256_mask_storeu_epi16(out + s, static_cast<__mmask16>((1u << n) - 1u),
                                 _mm512_cvtepi32_epi16(pairs));
    }
}

// The AVX2 table (itself the scalar one with its kernels replaced) with
// every kernel this unit implements replaced.
kernel_table make_table() {
    kernel_table k = *avx2_table();
    k.name = "avx512";
    k.black_gain_span = black_gain_span_avx512;
    k.black_gain_span_pair = black_gain_span_pair_avx512;
    k.every_other = every_other_avx512;
    install_avx512_focus(k);
    install_avx512_resize(k);
    return k;
}

}  // namespace

const kernel_table* avx512_table() {
    static const kernel_table table = make_table();
    return &table;
}

}  // namespace orvane
