// The scalar table: every kernel one sample at a time. It is the base of the
// vector tables (each starts from it and replaces what it implements), what
// a context forced to scalar runs, and the reference the vector kernels must
// match byte for byte.
#include <algorithm>

#include "context/numeric.h"
#include "kernels/kernels.h"

namespace orvane {
namespace {

void subtract_black_ref(uint16_t* image, size_t count, uint16_t black) {
    for (size_t i = 0; i < count; ++i) {
        const uint16_t v = image[i];
        image[i] = v > black ? static_cast<uint16_t>(v - black) : uint16_t{0};
    }
}

// Weights are float products truncated one by one; the gains are integers
// and the corrected sample saturates.
void black_gain_row_ref(const uint16_t* src, uint32_t step, uint16_t* row,
                        const gain_row_terms& t, const gain_cells* cells, uint16_t black) {
    for (uint32_t s = 0; s < t.spans; ++s) {
        const gain_cells& g = cells[s];
        for (uint32_t j = t.bounds[s]; j < t.bounds[s + 1]; ++j) {
            const uint16_t x = src[size_t{j} * step];
            const uint16_t v = x > black ? static_cast<uint16_t>(x - black) : uint16_t{0};
            const float fx = t.frac[j];
            const float gx = 1.0f - fx;
            const auto w11 = static_cast<int32_t>(t.fy * fx * 256.0f);
            const auto w10 = static_cast<int32_t>(gx * t.fy * 256.0f);
            const auto w00 = static_cast<int32_t>(t.gy * gx * 256.0f);
            const auto w01 = static_cast<int32_t>(t.gy * fx * 256.0f);
            const int32_t gain = (w11 * g.lower_right + w10 * g.lower_left + w00 * g.upper_left +
                                  w01 * g.upper_right) >>
                                 8;
            const uint32_t out = (static_cast<uint32_t>(gain) * v) >> 9;
            row[j] = static_cast<uint16_t>(std::min(out, 65535u));
        }
    }
}

void black_gain_row_pair_ref(uint16_t* row_a, uint16_t* row_b, const gain_row_terms& t,
                             const gain_cells* cells_a, const gain_cells* cells_b,
                             uint16_t black) {
    black_gain_row_ref(row_a, 1, row_a, t, cells_a, black);
    black_gain_row_ref(row_b, 1, row_b, t, cells_b, black);
}

void mean_image_ref(uint16_t* a, const uint16_t* b, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        a[i] = static_cast<uint16_t>((static_cast<uint32_t>(a[i]) + b[i]) / 2);
    }
}

void column_sums_ref(const uint16_t* origin, size_t stride, uint32_t ncols, uint32_t nrows,
                     int32_t* profile) {
    for (uint32_t c = 0; c < ncols; ++c) {
        uint32_t sum = 0;
        for (uint32_t r = 0; r < nrows; ++r) sum += origin[r * stride + c];
        profile[c] = static_cast<int32_t>(sum);
    }
}

void row_sums_ref(const uint16_t* origin, size_t stride, uint32_t ncols, uint32_t nrows,
                  int32_t* profile) {
    for (uint32_t r = 0; r < nrows; ++r) {
        uint32_t sum = 0;
        for (uint32_t c = 0; c < ncols; ++c) sum += origin[r * stride + c];
        profile[r] = static_cast<int32_t>(sum);
    }
}

void accumulate_row_ref(const uint16_t* src, uint32_t count, int32_t* sums) {
    for (uint32_t c = 0; c < count; ++c) {
        sums[c] = static_cast<int32_t>(static_cast<uint32_t>(sums[c]) + src[c]);
    }
}

void accumulate_rows2_ref(const uint16_t* a, const uint16_t* b, uint32_t count, int32_t* sums) {
    accumulate_row_ref(a, count, sums);
    accumulate_row_ref(b, count, sums);
}

// The band-pass recurrence of bandpass_filter and the float sum of abs_sum
// (or tapered_sum, with weights), one window after the other.
void bandpass_abs_sums_ref(const focus_lane* lanes, uint32_t count, const bandpass_terms& t,
                           float* sums) {
    for (uint32_t l = 0; l < count; ++l) {
        const focus_lane& lane = lanes[l];
        float s1 = 0.0f;
        float s2 = 0.0f;
        float sum = 0.0f;
        for (uint32_t r = 0; r < lane.height; ++r) {
            const uint16_t* row = lane.origin + r * lane.stride;
            for (uint32_t c = 0; c < lane.width; ++c) {
                const float x = static_cast<float>(row[c]);
                const float v = (x - t.a1 * s1) - t.a2 * s2;
                const float y = (t.b0 * v + t.b1 * s1) + t.b2 * s2;
                s2 = s1;
                s1 = v;
                const int32_t f = saturate16(y);
                if (c >= lane.first && c < lane.last) {
                    const auto a = static_cast<uint32_t>(f < 0 ? -f : f);
                    sum += static_cast<float>(lane.weights ? (a * lane.weights[c]) >> 8 : a);
                }
            }
        }
        sums[l] = sum;
    }
}

void window_sum_range_ref(const uint16_t* image, uint32_t width, uint32_t height, uint32_t len,
                          uint32_t* lowest, uint32_t* highest) {
    for (uint32_t y = 0; y < height; ++y) {
        const uint16_t* row = image + static_cast<size_t>(y) * width;
        uint32_t sum = 0;
        for (uint32_t x = 0; x < len; ++x) sum += row[x];
        *lowest = std::min(*lowest, sum);
        *highest = std::max(*highest, sum);
        for (uint32_t x = len; x < width; ++x) {
            sum += row[x];
            sum -= row[x - len];
            *lowest = std::min(*lowest, sum);
            *highest = std::max(*highest, sum);
        }
    }
}

void resize_columns_ref(const uint16_t* src, size_t width, int32_t out_rows,
                        const float* weights, const int32_t* indices, int32_t taps,
                        float* inter) {
    for (int32_t r = 0; r < out_rows; ++r) {
        float* acc = inter + static_cast<size_t>(r) * width;
        const size_t base = static_cast<size_t>(r) * static_cast<size_t>(taps);
        for (size_t c = 0; c < width; ++c) acc[c] = 0.0f;
        for (int32_t j = 0; j < taps; ++j) {
            const float w = weights[base + static_cast<size_t>(j)];
            const uint16_t* row =
                src + static_cast<size_t>(indices[base + static_cast<size_t>(j)] - 1) * width;
            for (size_t c = 0; c < width; ++c) acc[c] += static_cast<float>(row[c]) * w;
        }
    }
}

const kernel_table kScalar = {
    "scalar",
    subtract_black_ref,
    black_gain_row_ref,
    black_gain_row_pair_ref,
    mean_image_ref,
    column_sums_ref,
    row_sums_ref,
    accumulate_row_ref,
    accumulate_rows2_ref,
    bandpass_abs_sums_ref,
    window_sum_range_ref,
    resize_columns_ref,
};

}  // namespace

const kernel_table& scalar_kernels() { return kScalar; }

}  // namespace orvane
