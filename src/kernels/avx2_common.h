// Helpers shared by the AVX2 units. Internal linkage: include this only
// from units built for AVX2, each of which keeps its own copy.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "kernels/transpose.h"

namespace orvane {
namespace {

inline uint32_t min_u32(uint32_t a, uint32_t b) { return a < b ? a : b; }
inline uint32_t max_u32(uint32_t a, uint32_t b) { return a > b ? a : b; }

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

}  // namespace
}  // namespace orvane
