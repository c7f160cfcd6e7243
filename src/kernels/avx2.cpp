// AVX2 kernels. Built with -mavx2 -mno-fma -ffp-contract=off and entered
// only through the table after a CPU check; everything here stays in this
// unit (no header inline function is instantiated with AVX2 code).
//
// Bit-exactness: lanes only ever hold independent samples or independent
// sequences; every float operation of the scalar code is done once per lane,
// in the same order, with the same rounding. Integer sums may be reordered.
#include <immintrin.h>

#include <cstdint>

#include "kernels/kernels.h"
#include "kernels/lane_cursor.h"
#include "kernels/transpose.h"

namespace orvane {
namespace {

inline uint32_t min_u32(uint32_t a, uint32_t b) { return a < b ? a : b; }
inline uint32_t max_u32(uint32_t a, uint32_t b) { return a > b ? a : b; }

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

// Eight samples of one span. The weight products are those of the scalar
// code: (fy * fx) * 256 equals (fy * 256) * fx because scaling by 256 is
// exact. Truncating a positive float below 2^24 with round-to-zero gives the
// integer the scalar cast gives. The weighted sum is exact in float: every
// product and partial sum is an integer below 256 * 65536 = 2^24.
inline __m128i gain8(__m128i samples, __m256 fx, __m256 fy256, __m256 gy256, __m256 g11,
                     __m256 g10, __m256 g00, __m256 g01) {
    const __m256 gx = _mm256_sub_ps(_mm256_set1_ps(1.0f), fx);
    constexpr int kTrunc = _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC;
    const __m256 w11 = _mm256_round_ps(_mm256_mul_ps(fy256, fx), kTrunc);
    const __m256 w10 = _mm256_round_ps(_mm256_mul_ps(fy256, gx), kTrunc);
    const __m256 w00 = _mm256_round_ps(_mm256_mul_ps(gy256, gx), kTrunc);
    const __m256 w01 = _mm256_round_ps(_mm256_mul_ps(gy256, fx), kTrunc);
    __m256 sum = _mm256_mul_ps(w11, g11);
    sum = _mm256_add_ps(sum, _mm256_mul_ps(w10, g10));
    sum = _mm256_add_ps(sum, _mm256_mul_ps(w00, g00));
    sum = _mm256_add_ps(sum, _mm256_mul_ps(w01, g01));
    const __m256i gain = _mm256_srli_epi32(_mm256_cvttps_epi32(sum), 8);
    const __m256i product = _mm256_mullo_epi32(gain, _mm256_cvtepu16_epi32(samples));
    const __m256i v = _mm256_min_epu32(_mm256_srli_epi32(product, 9), _mm256_set1_epi32(65535));
    const __m256i packed = _mm256_packus_epi32(v, v);  // lanes 0-3 | 0-3, 4-7 | 4-7
    return _mm256_castsi256_si128(_mm256_permute4x64_epi64(packed, 0x08));
}

void black_gain_span_avx2(uint16_t* row, const float* frac, uint32_t begin, uint32_t end,
                          float fy, float gy, const gain_cells& g, uint16_t black) {
    const __m256 fy256 = _mm256_set1_ps(fy * 256.0f);
    const __m256 gy256 = _mm256_set1_ps(gy * 256.0f);
    const __m256 g11 = _mm256_set1_ps(static_cast<float>(g.lower_right));
    const __m256 g10 = _mm256_set1_ps(static_cast<float>(g.lower_left));
    const __m256 g00 = _mm256_set1_ps(static_cast<float>(g.upper_left));
    const __m256 g01 = _mm256_set1_ps(static_cast<float>(g.upper_right));
    const __m128i b = _mm_set1_epi16(static_cast<short>(black));
    uint32_t j = begin;
    for (; j + 8 <= end; j += 8) {
        auto* p = reinterpret_cast<__m128i*>(row + j);
        const __m128i s = _mm_subs_epu16(_mm_loadu_si128(p), b);
        _mm_storeu_si128(p, gain8(s, _mm256_loadu_ps(frac + j), fy256, gy256, g11, g10, g00, g01));
    }
    if (j < end) {
        // The tail goes through the same lanes from a padded copy.
        alignas(32) uint16_t s[8] = {};
        alignas(32) float f[8] = {};
        const uint32_t n = end - j;
        for (uint32_t k = 0; k < n; ++k) {
            s[k] = row[j + k];
            f[k] = frac[j + k];
        }
        const __m128i in = _mm_subs_epu16(_mm_load_si128(reinterpret_cast<const __m128i*>(s)), b);
        _mm_store_si128(reinterpret_cast<__m128i*>(s),
                        gain8(in, _mm256_load_ps(f), fy256, gy256, g11, g10, g00, g01));
        for (uint32_t k = 0; k < n; ++k) row[j + k] = s[k];
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
    for (; c < ncols; ++c) {
        uint32_t sum = 0;
        for (uint32_t r = 0; r < nrows; ++r) sum += origin[r * stride + c];
        profile[c] = static_cast<int32_t>(sum);
    }
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
    __m128i next(uint32_t& bits) {
        if (remaining >= 8 && col + 8 <= width) {
            const auto* p = reinterpret_cast<const __m128i*>(at);
            // The windows' rows are far apart in the image: fetch ahead (a
            // prefetch never faults).
            _mm_prefetch(reinterpret_cast<const char*>(at + ahead), _MM_HINT_T0);
            bits = col >= first && col + 8 <= last ? 0xFFu : range_bits(col);
            advance(8);
            return _mm_loadu_si128(p);
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

// Unpacks of 128-bit registers for transpose8x8.
struct unpack128 {
    static __m128i lo16(__m128i a, __m128i b) { return _mm_unpacklo_epi16(a, b); }
    static __m128i hi16(__m128i a, __m128i b) { return _mm_unpackhi_epi16(a, b); }
    static __m128i lo32(__m128i a, __m128i b) { return _mm_unpacklo_epi32(a, b); }
    static __m128i hi32(__m128i a, __m128i b) { return _mm_unpackhi_epi32(a, b); }
    static __m128i lo64(__m128i a, __m128i b) { return _mm_unpacklo_epi64(a, b); }
    static __m128i hi64(__m128i a, __m128i b) { return _mm_unpackhi_epi64(a, b); }
};

inline void transpose8(const __m128i in[8], __m128i out[8]) { transpose8x8<unpack128>(in, out); }

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

// Eight samples of each of eight lanes, transposed so that x[s] holds
// sample s of every lane; bits says which samples are summed.
inline __m256i load8x8(lane_reader* reader, __m128i x[8]) {
    __m128i rows[8];
    alignas(32) uint32_t b[8];
    for (uint32_t l = 0; l < 8; ++l) rows[l] = reader[l].next(b[l]);
    transpose8(rows, x);
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
    for (uint64_t done = 0; done < longest; done += 8) {
        __m128i xa[8], xb[8];
        const __m256i bits_a = load8x8(reader, xa);
        if (two) {
            const __m256i bits_b = load8x8(reader + 8, xb);
#pragma GCC unroll 8
            for (int s = 0; s < 8; ++s) {
                bandpass_step<Stable>(a, xa[s], take_mask(bits_a, s), k);
                bandpass_step<Stable>(b, xb[s], take_mask(bits_b, s), k);
            }
        } else {
#pragma GCC unroll 8
            for (int s = 0; s < 8; ++s) bandpass_step<Stable>(a, xa[s], take_mask(bits_a, s), k);
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

// acc[c] += float(row[c]) * w for c < n, eight columns at a time.
inline void multiply_add(float* acc, const uint16_t* row, size_t n, float w) {
    const __m256 wv = _mm256_set1_ps(w);
    size_t c = 0;
    for (; c + 8 <= n; c += 8) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + c));
        const __m256 f = _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(x));
        _mm256_storeu_ps(acc + c, _mm256_add_ps(_mm256_loadu_ps(acc + c), _mm256_mul_ps(f, wv)));
    }
    for (; c < n; ++c) acc[c] += static_cast<float>(row[c]) * w;
}

// The taps of every output row walk down the source rows (indices never
// decrease along a row of taps), so the pass visits each source row once,
// for a strip of columns, and adds it to every output row that has taps on
// it, tap by tap in order. Each output value still sums its taps in order.
void resize_columns_avx2(const uint16_t* src, size_t width, int32_t out_rows,
                         const float* weights, const int32_t* indices, int32_t taps,
                         float* inter) {
    constexpr int32_t kMaxRows = 256;
    constexpr size_t kStrip = 512;
    bool monotone = out_rows > 0 && out_rows <= kMaxRows && taps > 0;
    for (int32_t r = 0; monotone && r < out_rows; ++r) {
        const int32_t* idx = indices + static_cast<size_t>(r) * static_cast<size_t>(taps);
        for (int32_t j = 1; j < taps; ++j) monotone = monotone && idx[j] >= idx[j - 1];
    }
    if (!monotone) {
        for (int32_t r = 0; r < out_rows; ++r) {
            float* acc = inter + static_cast<size_t>(r) * width;
            const size_t base = static_cast<size_t>(r) * static_cast<size_t>(taps);
            for (size_t c = 0; c < width; ++c) acc[c] = 0.0f;
            for (int32_t j = 0; j < taps; ++j) {
                const uint16_t* row =
                    src + static_cast<size_t>(indices[base + static_cast<size_t>(j)] - 1) * width;
                multiply_add(acc, row, width, weights[base + static_cast<size_t>(j)]);
            }
        }
        return;
    }
    int32_t first = indices[0];
    int32_t last = indices[taps - 1];
    for (int32_t r = 1; r < out_rows; ++r) {
        const int32_t* idx = indices + static_cast<size_t>(r) * static_cast<size_t>(taps);
        first = idx[0] < first ? idx[0] : first;
        last = idx[taps - 1] > last ? idx[taps - 1] : last;
    }
    for (size_t c0 = 0; c0 < width; c0 += kStrip) {
        const size_t n = width - c0 < kStrip ? width - c0 : kStrip;
        int32_t next[kMaxRows];
        for (int32_t r = 0; r < out_rows; ++r) {
            next[r] = 0;
            float* acc = inter + static_cast<size_t>(r) * width + c0;
            for (size_t c = 0; c < n; ++c) acc[c] = 0.0f;
        }
        for (int32_t y = first; y <= last; ++y) {
            const uint16_t* row = src + static_cast<size_t>(y - 1) * width + c0;
            for (int32_t r = 0; r < out_rows; ++r) {
                const size_t base = static_cast<size_t>(r) * static_cast<size_t>(taps);
                float* acc = inter + static_cast<size_t>(r) * width + c0;
                while (next[r] < taps && indices[base + static_cast<size_t>(next[r])] == y) {
                    multiply_add(acc, row, n, weights[base + static_cast<size_t>(next[r])]);
                    ++next[r];
                }
            }
        }
    }
}

// The scalar table with every kernel this unit implements replaced.
kernel_table make_table() {
    kernel_table k = scalar_kernels();
    k.name = "avx2";
    k.subtract_black = subtract_black_avx2;
    k.black_gain_span = black_gain_span_avx2;
    k.mean_image = mean_image_avx2;
    k.every_other = every_other_avx2;
    k.column_sums = column_sums_avx2;
    k.row_sums = row_sums_avx2;
    k.accumulate_row = accumulate_row_avx2;
    k.bandpass_abs_sums = bandpass_abs_sums_avx2;
    k.window_sum_range = window_sum_range_avx2;
    k.resize_columns = resize_columns_avx2;
    return k;
}

}  // namespace

const kernel_table* avx2_table() {
    static const kernel_table table = make_table();
    return &table;
}

}  // namespace orvane
