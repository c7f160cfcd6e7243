// AVX2 kernels: the focus band-pass, up to 16 windows side by side. Built for
// AVX2 like every avx2_* unit (the rules they keep are in kernels/avx2.cpp).
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "kernels/avx2_common.h"
#include "kernels/avx2_units.h"
#include "kernels/kernels.h"
#include "kernels/lane_cursor.h"

namespace orvane {
namespace {

// ---- focus: band-pass sequences of up to 16 windows side by side ---------

// Reads one window in row-major order, eight samples at a time, and says
// which of them fall in the summed columns.
struct lane_reader : lane_cursor {
    uint32_t range_bits(uint32_t c) const {
        const uint32_t lo = first > c ? min_u32(first - c, 8) : 0;
        const uint32_t hi = last > c ? min_u32(last - c, 8) : 0;
        return ((1u << hi) - 1u) & ~((1u << lo) - 1u);
    }

    // Eight samples (zeros past the end) and their column bits.
    __attribute__((always_inline)) inline __m128i next(uint32_t& bits) {
        if (remaining >= 8 && col + 8 <= width) {
            const auto* p = reinterpret_cast<const __m128i*>(at);
            // The windows' rows are far apart in the image: fetch ahead (a
            // prefetch never faults).
            _mm_prefetch(reinterpret_cast<const char*>(at + ahead), _MM_HINT_T0);
            bits = col >= first && col + 8 <= last ? 0xFFu : range_bits(col);
            advance(8);
            return _mm_loadu_si128(p);
        }
        return next_across(bits);
    }

    uint32_t range_bits16(uint32_t c) const {
        const uint32_t lo = first > c ? min_u32(first - c, 16) : 0;
        const uint32_t hi = last > c ? min_u32(last - c, 16) : 0;
        return ((1u << hi) - 1u) & ~((1u << lo) - 1u);
    }

    // Sixteen samples and their column bits: one load within a row, else
    // two reads of eight, so the bookkeeping of a lane is paid once per
    // half cache line.
    __attribute__((always_inline)) inline __m256i next16(uint32_t& bits) {
        if (remaining >= 16 && col + 16 <= width) {
            const auto* p = reinterpret_cast<const __m256i*>(at);
            _mm_prefetch(reinterpret_cast<const char*>(at + ahead), _MM_HINT_T0);
            bits = col >= first && col + 16 <= last ? 0xFFFFu : range_bits16(col);
            advance(16);
            return _mm256_loadu_si256(p);
        }
        uint32_t low_bits = 0;
        uint32_t high_bits = 0;
        const __m128i low = next(low_bits);
        const __m128i high = next(high_bits);
        bits = low_bits | high_bits << 8;
        return _mm256_set_m128i(high, low);
    }

    // Eight samples that cross a row's end: two loads where the window is
    // at least eight wide, sample by sample at its end or when narrower.
    __attribute__((noinline)) __m128i next_across(uint32_t& bits) {
        if (remaining >= 8 && width >= 8) {
            // The last k samples of this row and the first 8 - k of the
            // next. Both loads stay between the start of this row and the
            // end of the next (8 - k <= width), which the window holds, so
            // neither leaves the image.
            const uint32_t k = width - col;
            const uintptr_t next_row = at + k * sizeof(uint16_t) + row_skip;
            const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
            const __m128i there =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(next_row - k * sizeof(uint16_t)));
            const __m128i take_here = _mm_cmplt_epi16(_mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7),
                                                      _mm_set1_epi16(static_cast<short>(k)));
            bits = (range_bits(col) & ((1u << k) - 1u)) | ((range_bits(0) << k) & 0xFFu);
            remaining -= 8;
            col = 8 - k;
            at = next_row + col * sizeof(uint16_t);
            return _mm_blendv_epi8(there, here, take_here);
        }
        alignas(16) uint16_t s[8] = {};
        bits = 0;
        for (uint32_t k = 0; k < 8 && remaining > 0; ++k) {
            s[k] = *reinterpret_cast<const uint16_t*>(at);
            if (col >= first && col < last) bits |= 1u << k;
            advance(1);
        }
        return _mm_load_si128(reinterpret_cast<const __m128i*>(s));
    }
};

// State of eight sequences.
struct bandpass8 {
    __m256 s1, s2, sum;
};

struct bandpass_consts {
    __m256 a1, a2, b0, b1, b2, lo, hi, magnitude;
};

// One sample of each of the eight sequences: the recurrence of
// bandpass_filter, the saturating 16-bit store (NaN gives 0, clamp,
// truncate toward zero), its absolute value as a float, added to the lane's
// sum where `take` is set (adding +0 elsewhere leaves a sum unchanged).
//
// Stable = a stable filter with b1 = 0 (the library's band-pass): from
// samples of at most 65535 the states stay finite, so y is never NaN and
// b1 * s1 is a zero whose sign only reaches y when y is zero itself, which
// the truncated absolute value turns into 0 either way. Both steps are then
// left out without changing any sum.
template <bool Stable>
inline void bandpass_step(bandpass8& st, __m128i x16, __m256 take, const bandpass_consts& k) {
    const __m256 x = _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(x16));
    const __m256 v = _mm256_sub_ps(_mm256_sub_ps(x, _mm256_mul_ps(k.a1, st.s1)),
                                   _mm256_mul_ps(k.a2, st.s2));
    const __m256 b0v = _mm256_mul_ps(k.b0, v);
    const __m256 y =
        _mm256_add_ps(Stable ? b0v : _mm256_add_ps(b0v, _mm256_mul_ps(k.b1, st.s1)),
                      _mm256_mul_ps(k.b2, st.s2));
    st.s2 = st.s1;
    st.s1 = v;
    const __m256 finite = Stable ? y : _mm256_and_ps(y, _mm256_cmp_ps(y, y, _CMP_ORD_Q));
    const __m256 clamped = _mm256_min_ps(_mm256_max_ps(finite, k.lo), k.hi);
    const __m256 t = _mm256_round_ps(clamped, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    const __m256 term = _mm256_and_ps(t, k.magnitude);
    st.sum = _mm256_add_ps(st.sum, _mm256_and_ps(term, take));
}

// Lane masks for step k from the per-lane column bits.
inline __m256 take_mask(__m256i bits, int k) {
    const __m256i bit = _mm256_set1_epi32(1 << k);
    return _mm256_castsi256_ps(_mm256_cmpeq_epi32(_mm256_and_si256(bits, bit), bit));
}

constexpr uint32_t kLanes = 16;  // two registers of eight sequences hide the latency

// Unpacks of 256-bit registers: transpose8x8 on them transposes both
// 128-bit halves at once.
struct unpack256 {
    static __m256i lo16(__m256i a, __m256i b) { return _mm256_unpacklo_epi16(a, b); }
    static __m256i hi16(__m256i a, __m256i b) { return _mm256_unpackhi_epi16(a, b); }
    static __m256i lo32(__m256i a, __m256i b) { return _mm256_unpacklo_epi32(a, b); }
    static __m256i hi32(__m256i a, __m256i b) { return _mm256_unpackhi_epi32(a, b); }
    static __m256i lo64(__m256i a, __m256i b) { return _mm256_unpacklo_epi64(a, b); }
    static __m256i hi64(__m256i a, __m256i b) { return _mm256_unpackhi_epi64(a, b); }
};

// Sixteen samples of each of eight lanes, transposed so that x[s] holds
// sample s of every lane in its low half and sample 8 + s in its high half;
// bits says which samples are summed.
inline __m256i load16x8(lane_reader* reader, __m256i x[8]) {
    __m256i rows[8];
    alignas(32) uint32_t b[8];
    for (uint32_t l = 0; l < 8; ++l) rows[l] = reader[l].next16(b[l]);
    transpose8x8<unpack256>(rows, x);
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(b));
}

template <bool Stable>
void bandpass_group(const focus_lane* lanes, uint32_t count, const bandpass_terms& t, float* sums) {
    lane_reader reader[kLanes];
    uint64_t longest = 0;
    for (uint32_t l = 0; l < kLanes; ++l) {
        if (l < count) {
            reader[l].start(lanes[l]);
            longest = reader[l].remaining > longest ? reader[l].remaining : longest;
        } else {
            reader[l].idle();
        }
    }
    const bandpass_consts k = {_mm256_set1_ps(t.a1),      _mm256_set1_ps(t.a2),
                               _mm256_set1_ps(t.b0),      _mm256_set1_ps(t.b1),
                               _mm256_set1_ps(t.b2),      _mm256_set1_ps(-32768.0f),
                               _mm256_set1_ps(32767.0f),  _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF))};
    // Two named states, not an array, so that they stay in registers.
    bandpass8 a = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps()};
    bandpass8 b = a;
    const bool two = count > 8;
    for (uint64_t done = 0; done < longest; done += 16) {
        __m256i xa[8], xb[8];
        const __m256i bits_a = load16x8(reader, xa);
        if (two) {
            const __m256i bits_b = load16x8(reader + 8, xb);
#pragma GCC unroll 8
            for (int s = 0; s < 8; ++s) {
                bandpass_step<Stable>(a, _mm256_castsi256_si128(xa[s]), take_mask(bits_a, s), k);
                bandpass_step<Stable>(b, _mm256_castsi256_si128(xb[s]), take_mask(bits_b, s), k);
            }
#pragma GCC unroll 8
            for (int s = 0; s < 8; ++s) {
                bandpass_step<Stable>(a, _mm256_extracti128_si256(xa[s], 1), take_mask(bits_a, 8 + s), k);
                bandpass_step<Stable>(b, _mm256_extracti128_si256(xb[s], 1), take_mask(bits_b, 8 + s), k);
            }
        } else {
#pragma GCC unroll 8
            for (int s = 0; s < 8; ++s) {
                bandpass_step<Stable>(a, _mm256_castsi256_si128(xa[s]), take_mask(bits_a, s), k);
            }
#pragma GCC unroll 8
            for (int s = 0; s < 8; ++s) {
                bandpass_step<Stable>(a, _mm256_extracti128_si256(xa[s], 1), take_mask(bits_a, 8 + s), k);
            }
        }
    }
    alignas(32) float out[16];
    _mm256_store_ps(out, a.sum);
    _mm256_store_ps(out + 8, b.sum);
    for (uint32_t l = 0; l < count && l < kLanes; ++l) sums[l] = out[l];
}

void bandpass_abs_sums_avx2(const focus_lane* lanes, uint32_t count, const bandpass_terms& t,
                            float* sums) {
    const bool stable = bandpass_is_stable(t);
    for (uint32_t base = 0; base < count; base += kLanes) {
        const uint32_t n = min_u32(kLanes, count - base);
        if (stable) {
            bandpass_group<true>(lanes + base, n, t, sums + base);
        } else {
            bandpass_group<false>(lanes + base, n, t, sums + base);
        }
    }
}

}  // namespace

void install_avx2_focus(kernel_table& k) {
    k.bandpass_abs_sums = bandpass_abs_sums_avx2;
}

}  // namespace orvane
