// Conversions with defined results where a plain cast would be undefined or
// implementation-defined: settings counts, float truncation, 16-bit stores.
#pragma once

#include <cmath>
#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orvane {

// Signed settings bytes used as counts: sign-extended, then unsigned 16-bit.
inline uint16_t count_u16(int8_t v) { return static_cast<uint16_t>(static_cast<int16_t>(v)); }

// Float to int32 truncating toward zero; NaN, infinities and values outside
// the int32 range give INT32_MIN (defined here, unlike a plain cast).
inline int32_t trunc_i32(float v) {
    if (!(v > -2147483904.0f && v < 2147483648.0f)) return INT32_MIN;
    return static_cast<int32_t>(v);
}

// The 16-bit truncation: low 16 bits of trunc_i32, as two's complement.
inline int16_t trunc16_wrap(float v) {
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(trunc_i32(v))));
}

// Saturating store into a signed 16-bit field: NaN gives 0, values beyond
// the range clamp, in-range values truncate toward zero.
inline int16_t trunc16_sat(float v) {
    if (std::isnan(v)) return 0;
    if (v <= -32768.0f) return INT16_MIN;
    if (v >= 32767.0f) return INT16_MAX;
    return static_cast<int16_t>(v);
}

// trunc16_sat as the band-pass filter stores its output. The filter loop
// calls it for every sample, so on x86 it is spelled with min/max
// instructions, which compilers otherwise turn into branches.
inline int16_t saturate16(float v) {
#if defined(__SSE2__)
    const __m128 x = _mm_set_ss(v);
    const __m128 finite = _mm_and_ps(x, _mm_cmpord_ss(x, x));
    const __m128 low = _mm_max_ss(finite, _mm_set_ss(-32768.0f));
    return static_cast<int16_t>(_mm_cvttss_si32(_mm_min_ss(low, _mm_set_ss(32767.0f))));
#else
    return trunc16_sat(v);
#endif
}

}  // namespace orvane
