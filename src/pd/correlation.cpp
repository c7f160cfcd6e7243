// Correlation kernel: profiles, profile filter, SAD curve, sub-sample
// minimum and confidence.
#include <algorithm>
#include <cstring>

#include "context/capacity.h"
#include "context/numeric.h"
#include "pd/pd.h"

namespace orvane {

namespace {

constexpr int kFilterPad = kMaxTaps / 2;

// |a - b| of two 32-bit values in two's complement: the difference wraps and
// the absolute value of INT32_MIN stays INT32_MIN, as 32-bit integer
// arithmetic gives. Branch-free so the shift loop vectorises.
inline float abs_diff(uint32_t a, uint32_t b) {
    const uint32_t d = a - b;
    const uint32_t sign = 0u - (d >> 31);
    return float(static_cast<int32_t>((d ^ sign) - sign));
}

// Sums of B neighbouring shifts, each starting from zero and accumulated over
// t in increasing order: sums[q] pairs first[t] with second[t + q]. The B sums
// are independent, so the fixed-width inner loop runs them side by side in
// vector lanes without touching the order within any sum.
template <int B>
void shift_block(const int32_t* first, const int32_t* second, uint32_t count, float* out) {
    float sums[B] = {};
    for (uint32_t t = 0; t < count; ++t) {
        const uint32_t a = static_cast<uint32_t>(first[t]);
        const int32_t* b = second + t;
        for (int q = 0; q < B; ++q) sums[q] += abs_diff(a, static_cast<uint32_t>(b[q]));
    }
    for (int q = 0; q < B; ++q) out[q] = sums[q];
}

// B neighbouring filter outputs, each starting from zero and summed over the
// taps in increasing order, side by side like the shift blocks above.
template <int B>
void tap_block(const float* padded, const float* taps, int tap_count, float* out) {
    float sums[B] = {};
    for (int k = 0; k < tap_count; ++k) {
        const float tap = taps[k];
        const float* src = padded + k;
        for (int q = 0; q < B; ++q) sums[q] = sums[q] + src[q] * tap;
    }
    for (int q = 0; q < B; ++q) out[q] = sums[q];
}

// Column sums of B neighbouring columns of a cut-out with the given stride.
template <int B>
void column_block(const uint16_t* roi, uint32_t stride, uint32_t nrows, int32_t* out) {
    uint32_t sums[B] = {};
    for (uint32_t r = 0; r < nrows; ++r) {
        const uint16_t* row = roi + size_t(r) * stride;
        for (int q = 0; q < B; ++q) sums[q] += row[q];
    }
    for (int q = 0; q < B; ++q) out[q] = static_cast<int32_t>(sums[q]);
}

}  // namespace

// Sums wrap modulo 2^32 (a tall window of bright samples can exceed int32).
// Integer sums do not depend on their order, so both run in fixed-width
// lanes the compiler can vectorise.
void column_sums(const uint16_t* roi, uint16_t ncols, uint16_t nrows, int32_t* profile) {
    uint32_t c = 0;
    for (; c + 32 <= ncols; c += 32) column_block<32>(roi + c, ncols, nrows, profile + c);
    for (; c + 8 <= ncols; c += 8) column_block<8>(roi + c, ncols, nrows, profile + c);
    for (; c < ncols; ++c) column_block<1>(roi + c, ncols, nrows, profile + c);
}

void row_sums(const uint16_t* roi, uint16_t ncols, uint16_t nrows, int32_t* profile) {
    constexpr uint32_t kLanes = 16;
    for (uint32_t r = 0; r < nrows; ++r) {
        const uint16_t* row = roi + size_t(r) * ncols;
        uint32_t lanes[kLanes] = {};
        uint32_t c = 0;
        for (; c + kLanes <= ncols; c += kLanes) {
            for (uint32_t q = 0; q < kLanes; ++q) lanes[q] += row[c + q];
        }
        uint32_t sum = 0;
        for (uint32_t q = 0; q < kLanes; ++q) sum += lanes[q];
        for (; c < ncols; ++c) sum += row[c];
        profile[r] = static_cast<int32_t>(sum);
    }
}

void filter_profile(int32_t* profile, uint16_t n, const float* taps, int8_t tap_count) {
    if (n == 0 || n > kProfileCapacity || tap_count < 0 || tap_count > kMaxTaps) return;
    const int t_count = tap_count;
    const int h = t_count / 2;

    // Edge-replicated copy, converted once.
    float padded[kProfileCapacity + 2 * kFilterPad];
    float acc[kProfileCapacity];
    const float first = float(profile[0]);
    const float last = float(profile[n - 1]);
    for (int p = 0; p < h; ++p) padded[p] = first;
    for (int p = 0; p < n; ++p) padded[h + p] = float(profile[p]);
    for (int p = 0; p < h; ++p) padded[h + n + p] = last;

    int j = 0;
    for (; j + 32 <= n; j += 32) tap_block<32>(padded + j, taps, t_count, acc + j);
    for (; j + 4 <= n; j += 4) tap_block<4>(padded + j, taps, t_count, acc + j);
    for (; j < n; ++j) tap_block<1>(padded + j, taps, t_count, acc + j);
    for (int p = 0; p < n; ++p) profile[p] = trunc_i32(acc[p]);
}

void compute_sad_curve(const int32_t* first, const int32_t* second, uint16_t n, float* curve,
                       uint16_t shift_range) {
    if (shift_range > kMaxShiftRange) return;
    const uint32_t s_range = shift_range;
    const uint32_t len = 2u * s_range + 1u;

    float acc[kSadLen];
    std::fill(acc, acc + len, 0.0f);
    if (n > 2u * s_range) {
        // Entry s (shift s - S) sums |first[S + t] - second[s + t]| over
        // t = 0 .. n - 2S - 1; every pointer stays inside the profiles.
        const uint32_t count = n - 2u * s_range;
        const int32_t* head = first + s_range;
        uint32_t s = 0;
        for (; s + 32 <= len; s += 32) shift_block<32>(head, second + s, count, acc + s);
        for (; s + 4 <= len; s += 4) shift_block<4>(head, second + s, count, acc + s);
        for (; s < len; ++s) shift_block<1>(head, second + s, count, acc + s);
    }
    std::memcpy(curve, acc, len * sizeof(float));
}

void find_sad_minimum(const float* curve, uint16_t shift_range, uint16_t pd_pitch,
                      float* disparity, int16_t* m) {
    const int s_range = shift_range;
    const int last = 2 * s_range;
    int best = 0;
    for (int k = 1; k <= last; ++k) {
        if (curve[k] < curve[best]) best = k;
    }
    float d;
    if (best > 0 && best < last) {
        const float l = curve[best - 1];
        const float c = curve[best];
        const float r = curve[best + 1];
        float q = (l - r) / (2.0f * (r + l) - 4.0f * c);
        q = q + float(best);
        q = q - float(s_range);
        d = q * float(pd_pitch);
    } else {
        d = float(best - s_range) * float(pd_pitch);
    }
    *disparity = d;
    *m = static_cast<int16_t>(best);
}

void sad_confidence(const float* curve, uint16_t shift_range, uint16_t m, int16_t* confidence) {
    const int last = 2 * int(shift_range);
    const int mi = m;
    if (mi > last) {
        *confidence = 0;
        return;
    }
    const int lo = std::max(0, mi - 3);
    const int hi = std::min(mi + 3, last);
    float sum = 0.0f;
    for (int k = lo; k <= hi; ++k) sum = sum + curve[k];
    float g = float(hi - lo + 1) * curve[mi];
    g = g / sum;
    g = g * 1024.0f;
    if (!(g < 1024.0f)) g = 1024.0f;
    float v = (1024.0f - g) * 250.0f;
    v = v / 40.0f;
    if (v <= 0.0f) {
        *confidence = 0;
    } else if (v >= 1024.0f) {
        *confidence = 1024;
    } else {
        *confidence = static_cast<int16_t>(v);
    }
}

}  // namespace orvane
