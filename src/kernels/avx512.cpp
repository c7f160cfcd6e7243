// AVX-512 kernels (F, BW, VL, DQ): black level and gains with the channel
// gather, and the table, which takes the focus and resampler units
// (avx512_units.h). Built with
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

namespace {

// ---- black level and gains ------------------------------------------------

// Sixteen samples of one span, zero-extended to 32 bits, as apply8 of the
// AVX2 unit: the weights are the scalar products truncated, the weighted sum
// is exact in float, and the saturating narrowing is min(v, 65535).
inline __m256i gain16(__m512i samples, __m512 fx, __m512 fy256, __m512 gy256, __m512 g11,
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
    const __m512i product = _mm512_mullo_epi32(gain, samples);
    return _mm512_cvtusepi32_epi16(_mm512_srli_epi32(product, 9));
}

// The first n (1 to 16) samples from column j of a source read with `Step`,
// zero-extended to 32 bits, less the black level (in every 32-bit lane of
// `black`). Masked loads read only the samples kept and, with step 2, those
// between them.
template <uint32_t Step>
inline __m512i load16(const uint16_t* src, uint32_t j, uint32_t n, __m512i black) {
    if (Step == 1) {
        const auto m = static_cast<__mmask16>((1u << n) - 1u);
        return _mm512_subs_epu16(_mm512_cvtepu16_epi32(_mm256_maskz_loadu_epi16(m, src + j)), black);
    }
    const auto m = static_cast<__mmask32>((uint64_t{1} << (2 * n - 1)) - 1u);
    const __m512i pairs = _mm512_maskz_loadu_epi16(m, src + 2 * size_t{j});
    return _mm512_subs_epu16(_mm512_and_si512(pairs, _mm512_set1_epi32(0xFFFF)), black);
}

// One span of a row. Masked tails touch only the span's samples, so in
// place every block reads its samples before it writes them.
template <uint32_t Step>
inline void gain_span16(const uint16_t* src, uint16_t* row, const float* frac, uint32_t begin,
                        uint32_t end, __m512 fy256, __m512 gy256, const gain_cells& g,
                        __m512i black) {
    const __m512 g11 = _mm512_set1_ps(static_cast<float>(g.lower_right));
    const __m512 g10 = _mm512_set1_ps(static_cast<float>(g.lower_left));
    const __m512 g00 = _mm512_set1_ps(static_cast<float>(g.upper_left));
    const __m512 g01 = _mm512_set1_ps(static_cast<float>(g.upper_right));
    for (uint32_t j = begin; j < end; j += 16) {
        const uint32_t n = end - j < 16 ? end - j : 16;
        const auto m = static_cast<__mmask16>((1u << n) - 1u);
        const __m256i out = gain16(load16<Step>(src, j, n, black), _mm512_maskz_loadu_ps(m, frac + j),
                                   fy256, gy256, g11, g10, g00, g01);
        _mm256_mask_storeu_epi16(row + j, m, out);
    }
}

template <uint32_t Step>
void gain_row_avx512(const uint16_t* src, uint16_t* row, const gain_row_terms& t,
                     const gain_cells* cells, uint16_t black) {
    const __m512 fy256 = _mm512_set1_ps(t.fy * 256.0f);
    const __m512 gy256 = _mm512_set1_ps(t.gy * 256.0f);
    const __m512i b = _mm512_set1_epi32(black);
    for (uint32_t s = 0; s < t.spans; ++s) {
        gain_span16<Step>(src, row, t.frac, t.bounds[s], t.bounds[s + 1], fy256, gy256, cells[s], b);
    }
}

void black_gain_row_avx512(const uint16_t* src, uint32_t step, uint16_t* row,
                           const gain_row_terms& terms, const gain_cells* cells, uint16_t black) {
    if (step == 2) {
        gain_row_avx512<2>(src, row, terms, cells, black);
    } else {
        gain_row_avx512<1>(src, row, terms, cells, black);
    }
}

// Two rows one after the other on this unit's 16-lane kernel (the pair
// kernel of the AVX2 table would run them in 8 lanes).
void black_gain_row_pair_avx512(uint16_t* row_a, uint16_t* row_b, const gain_row_terms& terms,
                                const gain_cells* cells_a, const gain_cells* cells_b,
                                uint16_t black) {
    gain_row_avx512<1>(row_a, row_a, terms, cells_a, black);
    gain_row_avx512<1>(row_b, row_b, terms, cells_b, black);
}

// The AVX2 table (itself the scalar one with its kernels replaced) with
// every kernel this unit implements replaced.
kernel_table make_table() {
    kernel_table k = *avx2_table();
    k.name = "avx512";
    k.black_gain_row = black_gain_row_avx512;
    k.black_gain_row_pair = black_gain_row_pair_avx512;
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
