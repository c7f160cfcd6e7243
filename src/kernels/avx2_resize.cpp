// AVX2 kernels: the resampler's column pass. Built for AVX2 like every avx2_*
// unit (the rules they keep are in kernels/avx2.cpp).
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "kernels/avx2_units.h"
#include "kernels/kernels.h"

namespace orvane {
namespace {

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

}  // namespace

void install_avx2_resize(kernel_table& k) {
    k.resize_columns = resize_columns_avx2;
}

}  // namespace orvane
