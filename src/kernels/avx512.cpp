// AVX-512 kernels (F, BW, VL, DQ). Built for this instruction set with
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
#include "kernels/lane_cursor.h"
#include "kernels/resize_plan.h"
#include "kernels/transpose.h"

// GCC 12 warns about the deliberately undefined pass-through operand inside
// its own AVX-512 intrinsics.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace orvane {

const kernel_table* avx2_table();  // kernels/avx2.cpp

namespace {

inline uint32_t min_u32(uint32_t a, uint32_t b) { return a < b ? a : b; }

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
    if (bandpass_is_stable(t)) {
        bandpass_lanes<true>(lanes, count, t, sums);
    } else {
        bandpass_lanes<false>(lanes, count, t, sums);
    }
}

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

// The AVX2 table (itself the scalar one with its kernels replaced) with
// every kernel this unit implements replaced.
kernel_table make_table() {
    kernel_table k = *avx2_table();
    k.name = "avx512";
    k.bandpass_abs_sums = bandpass_abs_sums_avx512;
    k.black_gain_span = black_gain_span_avx512;
    k.black_gain_span_pair = black_gain_span_pair_avx512;
    k.resize_columns = resize_columns_avx512;
    k.window_sum_range = window_sum_range_avx512;
    k.every_other = every_other_avx512;
    return k;
}

}  // namespace

const kernel_table* avx512_table() {
    static const kernel_table table = make_table();
    return &table;
}

}  // namespace orvane
