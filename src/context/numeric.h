// Conversions with defined results where a plain cast would be undefined or
// implementation-defined: settings counts, float truncation, 16-bit stores.
#pragma once

#include <cmath>
#include <cstdint>

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

}  // namespace orvane
