// AVX-512 focus band-pass: up to 48 windows' sequences side by side, with
// the bit-exactness rules of kernels/avx512.cpp.
#include <immintrin.h>

#include <cstdint>

#include "kernels/kernels.h"
#include "kernels/lane_cursor.h"
#include "kernels/transpose.h"
#include "kernels/avx512_units.h"

// GCC 12 warns about the deliberately undefined pass-through operand inside
// its own AVX-512 intrinsics.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace orvane {

namespace {

inline uint32_t min_u32(uint32_t a, uint32_t b) { return a < b ? a : b; }

// ---- focus: band-pass sequences of up to 48 windows side by side --------

constexpr uint32_t kChainLanes = 16;  // sequences per register
constexpr uint32_t kBlock = 32;       // samples of each sequence per register load

// Bits [lo, hi) of a 32-bit word (empty when hi <= lo or lo >= 32).
inline uint32_t bit_range(uint32_t lo, uint32_t hi) {
    if (hi <= lo || lo >= 32) return 0;
    const uint32_t upto = hi >= 32 ? ~0u : (1u << hi) - 1u;
    return upto & ~((1u << lo) - 1u);
}

// One window read in row-major order, 32 samples at a time, with a bit per
// sample saying whether its column is summed.
struct sequence_reader : lane_cursor {
    // The next 32 samples (zeros past the end) and their bits.
    __attribute__((always_inline)) __m512i next(uint32_t& bits) {
        if (remaining >= kBlock && col + kBlock <= width) {
            // The windows' rows are far apart in the image, too many streams
            // for the hardware to follow: fetch ahead (a prefetch never faults).
            _mm_prefetch(reinterpret_cast<const char*>(at + ahead), _MM_HINT_T0);
            const __m512i x = _mm512_loadu_si512(reinterpret_cast<const void*>(at));
            bits = col >= first && col + kBlock <= last
                       ? ~0u
                       : bit_range(first > col ? first - col : 0, last > col ? last - col : 0);
            advance(kBlock);
            return x;
        }
        return next_across_rows(bits);
    }

    // Samples from more than one row: each run is loaded into its place of
    // the register (a masked load never touches the samples left out).
    __attribute__((noinline)) __m512i next_across_rows(uint32_t& bits) {
        __m512i x = _mm512_setzero_si512();
        uint32_t k = 0;
        bits = 0;
        const uint32_t n = remaining < kBlock ? static_cast<uint32_t>(remaining) : kBlock;
        while (k < n) {
            const uint32_t seg = min_u32(n - k, width - col);
            const uint32_t run = bit_range(k, k + seg);
            x = _mm512_mask_loadu_epi16(x, run, reinterpret_cast<const void*>(at - k * sizeof(uint16_t)));
            const uint32_t lo = first > col ? first - col : 0;
            const uint32_t hi = last > col ? min_u32(last - col, seg) : 0;
            bits |= bit_range(lo, hi) << k;
            k += seg;
            advance(seg);
        }
        return x;
    }
};

struct bandpass_consts {
    __m512 a1, a2, b0, b1, b2, lo, hi;
    __m512i magnitude;
};

struct chain {
    __m512 s1, s2, sum;
};

// One sample of each of 16 sequences: the recurrence of bandpass_filter,
// the saturating 16-bit store (NaN gives 0, clamp, truncate toward zero),
// its absolute value as a float, added to the sums of the lanes in `take`.
// Stable: as in the AVX2 unit, y is never NaN and the b1 term cannot change
// a sum, so both steps are left out.
template <bool Stable>
inline void bandpass_step(chain& st, __m256i x16, __mmask16 take, const bandpass_consts& k) {
    const __m512 x = _mm512_cvtepi32_ps(_mm512_cvtepu16_epi32(x16));
    const __m512 v = _mm512_sub_ps(_mm512_sub_ps(x, _mm512_mul_ps(k.a1, st.s1)),
                                   _mm512_mul_ps(k.a2, st.s2));
    const __m512 b0v = _mm512_mul_ps(k.b0, v);
    const __m512 y = _mm512_add_ps(Stable ? b0v : _mm512_add_ps(b0v, _mm512_mul_ps(k.b1, st.s1)),
                                   _mm512_mul_ps(k.b2, st.s2));
    st.s2 = st.s1;
    st.s1 = v;
    const __m512 finite =
        Stable ? y : _mm512_maskz_mov_ps(_mm512_cmp_ps_mask(y, y, _CMP_ORD_Q), y);
    const __m512 clamped = _mm512_min_ps(_mm512_max_ps(finite, k.lo), k.hi);
    const __m512 t = _mm512_roundscale_ps(clamped, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    const __m512 term = _mm512_castsi512_ps(_mm512_and_si512(_mm512_castps_si512(t), k.magnitude));
    st.sum = _mm512_mask_add_ps(st.sum, take, st.sum, term);
}

// 32 samples of 16 sequences, transposed: pair[h][j] holds sample
// 16 h + j of every lane in its low half and sample 16 h + 8 + j in its
// high half (16 x 16 bits each); bit s of a lane's word in `bits` says
// whether the lane sums sample s.
struct chain_block {
    __m512i pair[2][8];
    __m512i bits;
    bool all_taken;

    __m256i samples(uint32_t s) const {
        const __m512i& p = pair[s / 16][s % 8];
        return (s % 16) < 8 ? _mm512_castsi512_si256(p) : _mm512_extracti64x4_epi64(p, 1);
    }
    __mmask16 take(uint32_t s) const {
        return _mm512_test_epi32_mask(bits, _mm512_set1_epi32(static_cast<int32_t>(1u << s)));
    }
};

// Unpacks of 512-bit registers for transpose8x8: one transpose in each
// 128-bit quarter.
struct unpack512 {
    static __m512i lo16(__m512i a, __m512i b) { return _mm512_unpacklo_epi16(a, b); }
    static __m512i hi16(__m512i a, __m512i b) { return _mm512_unpackhi_epi16(a, b); }
    static __m512i lo32(__m512i a, __m512i b) { return _mm512_unpacklo_epi32(a, b); }
    static __m512i hi32(__m512i a, __m512i b) { return _mm512_unpackhi_epi32(a, b); }
    static __m512i lo64(__m512i a, __m512i b) { return _mm512_unpacklo_epi64(a, b); }
    static __m512i hi64(__m512i a, __m512i b) { return _mm512_unpackhi_epi64(a, b); }
};

// The next 32 samples of 16 readers, transposed.
__attribute__((always_inline)) inline void stage(sequence_reader* readers, chain_block& b) {
    alignas(64) uint32_t bits[kChainLanes];
    __m512i low[8], high[8];
    uint32_t every = ~0u;
    for (uint32_t l = 0; l < 8; ++l) {
        low[l] = readers[l].next(bits[l]);
        high[l] = readers[l + 8].next(bits[l + 8]);
        every &= bits[l] & bits[l + 8];
    }
    b.all_taken = every == ~0u;
    b.bits = _mm512_load_si512(bits);
    __m512i tl[8], th[8];
    transpose8x8<unpack512>(low, tl);
    transpose8x8<unpack512>(high, th);
    // Quarter q of tl[j] is sample 8 q + j of lanes 0-7, of th[j] of lanes
    // 8-15; each pair takes two quarters of both.
    const __m512i first_half = _mm512_setr_epi64(0, 1, 8, 9, 2, 3, 10, 11);
    const __m512i second_half = _mm512_setr_epi64(4, 5, 12, 13, 6, 7, 14, 15);
    for (uint32_t j = 0; j < 8; ++j) {
        b.pair[0][j] = _mm512_permutex2var_epi64(tl[j], first_half, th[j]);
        b.pair[1][j] = _mm512_permutex2var_epi64(tl[j], second_half, th[j]);
    }
}

// Chains = registers of 16 sequences run side by side (their recurrences
// are independent, which hides the latency of each).
template <int Chains, bool Stable>
void bandpass_chains(const focus_lane* lanes, uint32_t count, const bandpass_terms& t,
                     float* sums) {
    sequence_reader reader[Chains * kChainLanes];
    uint64_t longest = 0;
    for (uint32_t l = 0; l < Chains * kChainLanes; ++l) {
        if (l < count) {
            reader[l].start(lanes[l]);
            longest = reader[l].remaining > longest ? reader[l].remaining : longest;
        } else {
            reader[l].idle();
        }
    }
    const bandpass_consts k = {_mm512_set1_ps(t.a1),     _mm512_set1_ps(t.a2),
                               _mm512_set1_ps(t.b0),     _mm512_set1_ps(t.b1),
                               _mm512_set1_ps(t.b2),     _mm512_set1_ps(-32768.0f),
                               _mm512_set1_ps(32767.0f), _mm512_set1_epi32(0x7FFFFFFF)};
    // Named states, not an array, so that they stay in registers.
    const chain zero = {_mm512_setzero_ps(), _mm512_setzero_ps(), _mm512_setzero_ps()};
    chain a = zero, b = zero, c = zero;
    chain_block blocks[Chains];
    for (uint64_t done = 0; done < longest; done += kBlock) {
        bool all_taken = true;
        for (int i = 0; i < Chains; ++i) {
            stage(reader + i * kChainLanes, blocks[i]);
            all_taken = all_taken && blocks[i].all_taken;
        }
        if (all_taken) {
#pragma GCC unroll 32
            for (uint32_t s = 0; s < kBlock; ++s) {
                bandpass_step<Stable>(a, blocks[0].samples(s), 0xFFFF, k);
                if constexpr (Chains > 1) bandpass_step<Stable>(b, blocks[Chains > 1].samples(s), 0xFFFF, k);
                if constexpr (Chains > 2) bandpass_step<Stable>(c, blocks[Chains - 1].samples(s), 0xFFFF, k);
            }
        } else {
#pragma GCC unroll 32
            for (uint32_t s = 0; s < kBlock; ++s) {
                bandpass_step<Stable>(a, blocks[0].samples(s), blocks[0].take(s), k);
                if constexpr (Chains > 1) {
                    bandpass_step<Stable>(b, blocks[Chains > 1].samples(s), blocks[Chains > 1].take(s), k);
                }
                if constexpr (Chains > 2) {
                    bandpass_step<Stable>(c, blocks[Chains - 1].samples(s), blocks[Chains - 1].take(s), k);
                }
            }
        }
    }
    const chain* done[3] = {&a, &b, &c};
    for (int i = 0; i < Chains; ++i) {
        alignas(64) float out[kChainLanes];
        _mm512_store_ps(out, done[i]->sum);
        for (uint32_t l = 0; l < kChainLanes && i * kChainLanes + l < count; ++l) {
            sums[i * kChainLanes + l] = out[l];
        }
    }
}

template <bool Stable>
void bandpass_lanes(const focus_lane* lanes, uint32_t count, const bandpass_terms& t, float* sums) {
    constexpr uint32_t kMost = 3 * kChainLanes;
    for (uint32_t base = 0; base < count; base += kMost) {
        const uint32_t n = min_u32(kMost, count - base);
        if (n > 2 * kChainLanes) {
            bandpass_chains<3, Stable>(lanes + base, n, t, sums + base);
        } else if (n > kChainLanes) {
            bandpass_chains<2, Stable>(lanes + base, n, t, sums + base);
        } else {
            bandpass_chains<1, Stable>(lanes + base, n, t, sums + base);
        }
    }
}

void bandpass_abs_sums_avx512(const focus_lane* lanes, uint32_t count, const bandpass_terms& t,
                              float* sums) {
    if (weighting_of(lanes, count) != lane_weights::none) {
        // Weighted windows (the tapered variant) run on the AVX2 unit's
        // staged lanes, which read the weights as a second stream.
        avx2_table()->bandpass_abs_sums(lanes, count, t, sums);
        return;
    }
    if (bandpass_is_stable(t)) {
        bandpass_lanes<true>(lanes, count, t, sums);
    } else {
        bandpass_lanes<false>(lanes, count, t, sums);
    }
}

}  // namespace

void install_avx512_focus(kernel_table& k) { k.bandpass_abs_sums = bandpass_abs_sums_avx512; }

}  // namespace orvane
