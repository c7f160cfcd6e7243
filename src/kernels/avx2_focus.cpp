// AVX2 kernels: the focus band-pass, up to 24 windows side by side, plain or
// with column weights. Built for
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

// ---- focus: band-pass sequences of up to 24 windows side by side ---------

alignas(32) const __m256i kZeroChunk = {0, 0, 0, 0};

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

    // Where the next n chunks of sixteen samples are (src[c * step]) and
    // the column each starts at (cols[c * step]), for the column bits. A
    // chunk within a row is read in place; one that crosses a row's end or
    // the window's end is put together in scratch[c], its column is
    // kAcross and its bits are in bits[c * step]. The cursor is held in
    // locals so that it stays in registers on the common path, where all n
    // chunks lie within the row.
    template <int N>
    __attribute__((always_inline)) inline void fill(const __m256i** src, uint32_t* cols,
                                                    uint32_t* bits, uint32_t step,
                                                    __m256i* scratch) {
        uintptr_t p = at;
        uint32_t c0 = col;
        if (remaining >= 16 * N && c0 + 16 * N <= width) {
            _mm_prefetch(reinterpret_cast<const char*>(p + ahead), _MM_HINT_T0);
            _mm_prefetch(reinterpret_cast<const char*>(p + ahead + 64), _MM_HINT_T0);
            _mm_prefetch(reinterpret_cast<const char*>(p + ahead + 127), _MM_HINT_T0);
#pragma GCC unroll 8
            for (int c = 0; c < N; ++c) {
                src[c * step] = reinterpret_cast<const __m256i*>(p + 32 * c);
                cols[c * step] = c0 + 16 * c;
            }
            remaining -= 16 * N;
            p += 32 * N;
            c0 += 16 * N;
            if (c0 == width) {
                c0 = 0;
                p += row_skip;
            }
            at = p;
            col = c0;
            return;
        }
        if (remaining == 0) {
            // A window done before the longest one: zeros, none summed.
            for (int c = 0; c < N; ++c) {
                src[c * step] = &kZeroChunk;
                bits[c * step] = 0;
                cols[c * step] = kAcross;
            }
            return;
        }
        for (int c = 0; c < N; ++c) {
            if (remaining >= 16 && col + 16 <= width) {
                src[c * step] = reinterpret_cast<const __m256i*>(at);
                cols[c * step] = col;
                advance(16);
            } else if (remaining >= 16 && width >= 16) {
                // The last k samples of this row and the first 16 - k of the
                // next: the row's last sixteen and the next row's first
                // sixteen side by side, read back from k before their
                // seam. Both loads stay within the window's rows.
                const uint32_t k = width - col;
                const uintptr_t row_end = at + k * sizeof(uint16_t);
                const uintptr_t next_row = row_end + row_skip;
                alignas(32) uint16_t pair[32];
                _mm256_store_si256(
                    reinterpret_cast<__m256i*>(pair),
                    _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row_end - 32)));
                _mm256_store_si256(reinterpret_cast<__m256i*>(pair + 16),
                                   _mm256_loadu_si256(reinterpret_cast<const __m256i*>(next_row)));
                _mm256_store_si256(
                    scratch + c,
                    _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pair + 16 - k)));
                bits[c * step] =
                    (range_bits16(col) & ((1u << k) - 1u)) | ((range_bits16(0) << k) & 0xFFFFu);
                src[c * step] = scratch + c;
                cols[c * step] = kAcross;
                remaining -= 16;
                col = 16 - k;
                at = next_row + col * sizeof(uint16_t);
            } else {
                bits[c * step] = across16(scratch + c);
                src[c * step] = scratch + c;
                cols[c * step] = kAcross;
            }
        }
    }

    static constexpr uint32_t kAcross = 0x80000000u;

    // A chunk that crosses a row's end or the window's end, put together in
    // `out`; returns its column bits.
    __attribute__((noinline)) uint32_t across16(__m256i* out) {
        uint32_t b = 0;
        _mm256_store_si256(out, next16(b));
        return b;
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

struct bandpass_consts {
    __m256 a1, a2, b0, b1, b2, lo, hi, magnitude;
};

// One sample of eight sequences: the recurrence of bandpass_filter with
// v1 = v[n-1] and v2 = v[n-2], the saturating 16-bit store (NaN gives 0,
// clamp, truncate toward zero), its absolute value as a float, added to the
// lane's sum where the sign bit of `take` is set (adding +0 elsewhere leaves
// a sum unchanged). Returns v[n].
//
// Stable = a stable filter with b1 = 0 (the library's band-pass): from
// samples of at most 65535 the states stay finite, so y is never NaN and
// b1 * v1 is a zero whose sign only reaches y when y is zero itself, which
// the truncated absolute value turns into 0 either way. Both steps are then
// left out without changing any sum.
//
// Weighted: the term is (absolute value * weight) >> 8 with the sample's
// column weight from w16, in 32-bit integers as the scalar code has it (the
// product of at most 32768 and 65535 stays below 2^31, the shifted result
// below 2^23 converts exactly).
template <bool Stable, bool All, bool Weighted>
__attribute__((always_inline)) inline __m256 bandpass_step(__m256 v1, __m256 v2, __m256& sum,
                                                           const __m128i* x16, const __m128i* w16,
                                                           __m256 take, const bandpass_consts& k) {
    const __m256 x = _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(_mm_load_si128(x16)));
    const __m256 v =
        _mm256_sub_ps(_mm256_sub_ps(x, _mm256_mul_ps(k.a1, v1)), _mm256_mul_ps(k.a2, v2));
    const __m256 b0v = _mm256_mul_ps(k.b0, v);
    const __m256 y = _mm256_add_ps(Stable ? b0v : _mm256_add_ps(b0v, _mm256_mul_ps(k.b1, v1)),
                                   _mm256_mul_ps(k.b2, v2));
    const __m256 finite = Stable ? y : _mm256_and_ps(y, _mm256_cmp_ps(y, y, _CMP_ORD_Q));
    const __m256 clamped = _mm256_min_ps(_mm256_max_ps(finite, k.lo), k.hi);
    const __m256 t = _mm256_round_ps(clamped, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    __m256 term = _mm256_and_ps(t, k.magnitude);
    if constexpr (Weighted) {
        const __m256i weight = _mm256_cvtepu16_epi32(_mm_load_si128(w16));
        const __m256i scaled = _mm256_mullo_epi32(_mm256_cvttps_epi32(term), weight);
        term = _mm256_cvtepi32_ps(_mm256_srli_epi32(scaled, 8));
    }
    sum = _mm256_add_ps(sum, All ? term : _mm256_blendv_ps(_mm256_setzero_ps(), term, take));
    return v;
}

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

constexpr int kChunks = 4;  // chunks of sixteen samples staged per pass

// Sixteen samples of each of eight lanes, transposed into x: x[s] holds
// sample s of every lane in its low half and sample 8 + s in its high half.
__attribute__((always_inline)) inline void transpose16x8(const __m256i* const* src, __m256i* x) {
    __m256i rows[8];
#pragma GCC unroll 8
    for (uint32_t l = 0; l < 8; ++l) rows[l] = _mm256_loadu_si256(src[l]);
    __m256i t[8];
    transpose8x8<unpack256>(rows, t);
#pragma GCC unroll 8
    for (uint32_t s = 0; s < 8; ++s) _mm256_store_si256(x + s, t[s]);
}

// Sample s (0..15) of a staged chunk of eight lanes.
inline const __m128i* staged_sample(const __m256i* x, int s) {
    return reinterpret_cast<const __m128i*>(x + (s & 7)) + (s >> 3);
}

// Column bits of chunks of sixteen starting at columns c0, per lane: which
// of columns [c0, c0 + 16) lie in [first, last).
inline __m256i column_bits(__m256i c0, __m256i first, __m256i last) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i sixteen = _mm256_set1_epi32(16);
    const __m256i lo =
        _mm256_min_epi32(_mm256_max_epi32(_mm256_sub_epi32(first, c0), zero), sixteen);
    const __m256i hi =
        _mm256_min_epi32(_mm256_max_epi32(_mm256_sub_epi32(last, c0), zero), sixteen);
    const __m256i ones = _mm256_set1_epi32(0xFFFF);
    return _mm256_and_si256(_mm256_and_si256(_mm256_srlv_epi32(ones, _mm256_sub_epi32(sixteen, hi)),
                                             _mm256_sllv_epi32(ones, lo)),
                            ones);
}

// Sign bit of lane l = bit s of the lane's column bits.
inline __m256 take_mask(__m256i bits, int s) {
    return _mm256_castsi256_ps(_mm256_sll_epi32(bits, _mm_cvtsi32_si128(31 - s)));
}

// The sixteen samples of one staged chunk (x: G groups of eight lanes) for
// every group. All: every sample of every lane is summed, so no masks.
template <bool Stable, bool All, bool Weighted, int G>
__attribute__((always_inline)) inline void run_chunk(const __m256i* x, const __m256i* xw,
                                                     const uint32_t* bits,
                                                     __m256 (&v1)[G], __m256 (&v2)[G],
                                                     __m256 (&sum)[G], const bandpass_consts& k) {
    __m256i lane_bits[G];
#pragma GCC unroll 3
    for (int g = 0; g < G; ++g) {
        lane_bits[g] = All ? _mm256_setzero_si256()
                           : _mm256_load_si256(reinterpret_cast<const __m256i*>(bits + 8 * g));
    }
    // v1 and v2 swap roles every sample instead of moving.
#pragma GCC unroll 16
    for (int s = 0; s < 16; s += 2) {
#pragma GCC unroll 3
        for (int g = 0; g < G; ++g) {
            v2[g] = bandpass_step<Stable, All, Weighted>(
                v1[g], v2[g], sum[g], staged_sample(x + g * 8, s), staged_sample(xw + g * 8, s),
                take_mask(lane_bits[g], s), k);
        }
#pragma GCC unroll 3
        for (int g = 0; g < G; ++g) {
            v1[g] = bandpass_step<Stable, All, Weighted>(
                v2[g], v1[g], sum[g], staged_sample(x + g * 8, s + 1),
                staged_sample(xw + g * 8, s + 1), take_mask(lane_bits[g], s + 1), k);
        }
    }
}

// G groups of eight sequences run side by side so that the recurrence's
// latency (multiply, subtract, subtract per sample) is hidden behind the
// other groups' arithmetic. The samples are staged in memory sixteen at a
// time, which leaves the registers to the states and constants.
//
// Weighted: each lane's weights row is read as a second window of the same
// size with stride 0, by a reader of its own, so its chunks (and their
// seams) match the samples' one for one and are staged the same way.
template <bool Stable, bool Weighted, int G>
void bandpass_group(const focus_lane* lanes, uint32_t count, const bandpass_terms& t, float* sums) {
    lane_reader reader[8 * G];
    lane_reader weight_reader[Weighted ? 8 * G : 1];
    uint64_t longest = 0;
    for (uint32_t l = 0; l < 8 * G; ++l) {
        if (l < count) {
            reader[l].start(lanes[l]);
            longest = reader[l].remaining > longest ? reader[l].remaining : longest;
            if constexpr (Weighted) {
                const focus_lane& lane = lanes[l];
                weight_reader[l].start({lane.weights, 0, lane.width, lane.height, lane.first,
                                        lane.last, nullptr});
            }
        } else {
            reader[l].idle();
            if constexpr (Weighted) weight_reader[l].idle();
        }
    }
    const bandpass_consts k = {
        _mm256_set1_ps(t.a1),     _mm256_set1_ps(t.a2),
        _mm256_set1_ps(t.b0),     _mm256_set1_ps(t.b1),
        _mm256_set1_ps(t.b2),     _mm256_set1_ps(-32768.0f),
        _mm256_set1_ps(32767.0f), _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF))};
    __m256 v1[G], v2[G], sum[G];
    for (int g = 0; g < G; ++g) v1[g] = v2[g] = sum[g] = _mm256_setzero_ps();
    // Staged chunks: samples transposed per group of eight lanes, and the
    // column bits of every lane. Staging a few chunks at a time in a pass of
    // their own leaves the arithmetic below every register it needs.
    alignas(32) __m256i staged[kChunks * G * 8];
    // Seen through a pointer the compiler cannot follow, the staging area
    // stays one block of memory instead of being split into scalars.
    __m256i* x = staged;
    asm("" : "+r"(x));
    alignas(32) __m256i staged_weights[Weighted ? kChunks * G * 8 : 1];
    __m256i* xw = staged_weights;
    asm("" : "+r"(xw));
    alignas(32) uint32_t bits[kChunks][8 * G];
    // Summed columns of each lane, and all bits set for lanes past `count`:
    // idle lanes read zeros and their sums are dropped, so they do not keep
    // a chunk off the unmasked path.
    __m256i first[G], last[G], idle[G];
    for (int g = 0; g < G; ++g) {
        alignas(32) uint32_t f[8], e[8], i[8];
        for (uint32_t l = 0; l < 8; ++l) {
            f[l] = reader[8 * g + l].first;
            e[l] = reader[8 * g + l].last;
            i[l] = 8 * g + l < count ? 0 : 0xFFFFu;
        }
        first[g] = _mm256_load_si256(reinterpret_cast<const __m256i*>(f));
        last[g] = _mm256_load_si256(reinterpret_cast<const __m256i*>(e));
        idle[g] = _mm256_load_si256(reinterpret_cast<const __m256i*>(i));
    }
    alignas(32) __m256i scratch[8 * G][kChunks];
    alignas(32) __m256i weight_scratch[Weighted ? 8 * G : 1][kChunks];
    for (uint64_t done = 0; done < longest; done += 16 * kChunks) {
        const __m256i* src[kChunks][8 * G];
        alignas(32) uint32_t cols[kChunks][8 * G];
        for (uint32_t l = 0; l < 8 * G; ++l) {
            reader[l].template fill<kChunks>(&src[0][l], &cols[0][l], &bits[0][l], 8 * G,
                                             scratch[l]);
        }
        if constexpr (Weighted) {
            // Same chunks, same seams: only the sources are kept.
            const __m256i* weight_src[kChunks][8 * G];
            alignas(32) uint32_t weight_cols[kChunks][8 * G];
            alignas(32) uint32_t weight_bits[kChunks][8 * G];
            for (uint32_t l = 0; l < 8 * G; ++l) {
                weight_reader[l].template fill<kChunks>(&weight_src[0][l], &weight_cols[0][l],
                                                        &weight_bits[0][l], 8 * G,
                                                        weight_scratch[l]);
            }
            for (int c = 0; c < kChunks; ++c) {
                for (int g = 0; g < G; ++g) {
                    transpose16x8(weight_src[c] + 8 * g, xw + (c * G + g) * 8);
                }
            }
        }
        for (int c = 0; c < kChunks; ++c) {
#pragma GCC unroll 3
            for (int g = 0; g < G; ++g) {
                transpose16x8(src[c] + 8 * g, x + (c * G + g) * 8);
                auto* b = reinterpret_cast<__m256i*>(bits[c] + 8 * g);
                const __m256i c0 =
                    _mm256_load_si256(reinterpret_cast<const __m256i*>(cols[c] + 8 * g));
                const __m256i in_row = column_bits(c0, first[g], last[g]);
                const __m256i across =
                    _mm256_cmpeq_epi32(c0, _mm256_set1_epi32(lane_reader::kAcross));
                _mm256_store_si256(
                    b, _mm256_or_si256(_mm256_blendv_epi8(in_row, _mm256_load_si256(b), across),
                                       idle[g]));
            }
        }
        for (int c = 0; c < kChunks; ++c) {
            __m256i all = _mm256_set1_epi32(-1);
            for (int g = 0; g < G; ++g) {
                all = _mm256_and_si256(
                    all, _mm256_load_si256(reinterpret_cast<const __m256i*>(bits[c] + 8 * g)));
            }
            const __m256i* chunk = x + c * G * 8;
            const __m256i* weights = Weighted ? xw + c * G * 8 : chunk;
            if (_mm256_testc_si256(all, _mm256_set1_epi32(0xFFFF)) != 0) {
                run_chunk<Stable, true, Weighted, G>(chunk, weights, bits[c], v1, v2, sum, k);
            } else {
                run_chunk<Stable, false, Weighted, G>(chunk, weights, bits[c], v1, v2, sum, k);
            }
        }
    }
    alignas(32) float out[8 * G];
    for (int g = 0; g < G; ++g) _mm256_store_ps(out + 8 * g, sum[g]);
    for (uint32_t l = 0; l < count && l < 8 * G; ++l) sums[l] = out[l];
}

template <bool Stable, bool Weighted>
void bandpass_sums(const focus_lane* lanes, uint32_t count, const bandpass_terms& t, float* sums) {
    // Three groups of eight keep the arithmetic busy; fewer windows take
    // fewer groups.
    for (uint32_t base = 0; base < count; base += 24) {
        const uint32_t n = min_u32(24, count - base);
        if (n > 16) {
            bandpass_group<Stable, Weighted, 3>(lanes + base, n, t, sums + base);
        } else if (n > 8) {
            bandpass_group<Stable, Weighted, 2>(lanes + base, n, t, sums + base);
        } else {
            bandpass_group<Stable, Weighted, 1>(lanes + base, n, t, sums + base);
        }
    }
}

void bandpass_abs_sums_avx2(const focus_lane* lanes, uint32_t count, const bandpass_terms& t,
                            float* sums) {
    const lane_weights weights = weighting_of(lanes, count);
    if (weights == lane_weights::mixed) {
        scalar_kernels().bandpass_abs_sums(lanes, count, t, sums);
    } else if (weights == lane_weights::all) {
        if (bandpass_is_stable(t)) {
            bandpass_sums<true, true>(lanes, count, t, sums);
        } else {
            bandpass_sums<false, true>(lanes, count, t, sums);
        }
    } else if (bandpass_is_stable(t)) {
        bandpass_sums<true, false>(lanes, count, t, sums);
    } else {
        bandpass_sums<false, false>(lanes, count, t, sums);
    }
}

}  // namespace

void install_avx2_focus(kernel_table& k) {
    k.bandpass_abs_sums = bandpass_abs_sums_avx2;
}

}  // namespace orvane
