#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <utility>

#include "context/numeric.h"
#include "gainmap/gainmap.h"
#include "kernels/kernels.h"

namespace orvane {

namespace {

// Taps and kernel width of one axis. 4 / scale beyond this would make a
// contribution table of billions of entries; such shapes are refused.
constexpr float kMaxKernelWidth = 1073741824.0f;  // 2^30

struct axis_plan {
    float scale;
    float kernel_width;
    int32_t taps;
};

bool plan_axis(int32_t in_len, int32_t out_len, axis_plan& plan) {
    if (in_len < 1 || out_len < 1) return false;
    plan.scale = static_cast<float>(out_len) / static_cast<float>(in_len);
    plan.kernel_width = 4.0f / plan.scale;
    if (!(plan.kernel_width < kMaxKernelWidth)) return false;
    plan.taps = trunc_i32(plan.kernel_width) + 2;
    return true;
}

template <typename T>
std::unique_ptr<T[]> obtain(size_t n) {
    return std::unique_ptr<T[]>(new (std::nothrow) T[n]);
}

}  // namespace

float cubic_kernel(float x) {
    const float t = std::fabs(x);
    const float t2 = t * t;
    const float t3 = t2 * t;
    if (t <= 1.0f) {
        return static_cast<float>(1.5 * static_cast<double>(t3) - 2.5 * static_cast<double>(t2) +
                                  1.0);
    }
    if (t <= 2.0f) {
        const float four_t = 4.0f * t;
        return static_cast<float>(-0.5 * static_cast<double>(t3) + 2.5 * static_cast<double>(t2) -
                                  static_cast<double>(four_t) + 2.0);
    }
    return 0.0f;
}

void resize_contributions(int32_t in_len, int32_t out_len, float scale, float kernel_width,
                          float* weights, int32_t* indices, int32_t taps) {
    const float half = kernel_width * 0.5f;
    const float shift = (1.0f - 1.0f / scale) * 0.5f;
    for (int32_t i = 1; i <= out_len; ++i) {
        float* w = weights + static_cast<size_t>(i - 1) * static_cast<size_t>(taps);
        int32_t* idx = indices + static_cast<size_t>(i - 1) * static_cast<size_t>(taps);
        const float u = static_cast<float>(i) / scale + shift;
        // Truncation, not floor: the leftmost tap of a negative start moves
        // right by one, as the weights below expect.
        const int32_t left = trunc_i32(u - half);
        float sum = 0.0f;
        for (int32_t j = 0; j < taps; ++j) {
            const int32_t index = left + j;
            w[j] = scale * cubic_kernel((u - static_cast<float>(index)) * scale);
            idx[j] = index;
            sum += w[j];
        }
        // An enlargement beyond 4x can leave every tap outside the kernel;
        // the weights are then 0 / 0, made explicit rather than divided.
        const bool empty = sum == 0.0f;
        // Out-of-range taps keep their weight and fold onto the edge sample.
        for (int32_t j = 0; j < taps; ++j) {
            w[j] = empty ? std::numeric_limits<float>::quiet_NaN() : w[j] / sum;
            if (idx[j] < 1) idx[j] = 1;
            if (idx[j] > in_len) idx[j] = in_len;
        }
    }
}

bool resize_scratch::reserve(int32_t src_width, int32_t src_height, int32_t dst_width,
                             int32_t dst_height) {
    if (fits(src_width, src_height, dst_width, dst_height)) return true;
    axis_plan py{};
    axis_plan px{};
    if (!plan_axis(src_height, dst_height, py) || !plan_axis(src_width, dst_width, px)) {
        return false;
    }
    // Sized for the larger of the two passes, which then share the tables.
    const size_t entries = std::max(static_cast<size_t>(dst_height) * static_cast<size_t>(py.taps),
                                    static_cast<size_t>(dst_width) * static_cast<size_t>(px.taps));
    const size_t inter = static_cast<size_t>(dst_height) * static_cast<size_t>(src_width);
    auto w = obtain<float>(entries);
    auto idx = obtain<int32_t>(entries);
    auto im = obtain<float>(inter);
    if (!w || !idx || !im) return false;
    weights_ = std::move(w);
    indices_ = std::move(idx);
    intermediate_ = std::move(im);
    shape_[0] = src_width;
    shape_[1] = src_height;
    shape_[2] = dst_width;
    shape_[3] = dst_height;
    return true;
}

bool resize_scratch::fits(int32_t src_width, int32_t src_height, int32_t dst_width,
                          int32_t dst_height) const {
    return weights_ && shape_[0] == src_width && shape_[1] == src_height &&
           shape_[2] == dst_width && shape_[3] == dst_height;
}

bool resize_bicubic(const uint16_t* src, int32_t src_width, int32_t src_height, uint16_t* dst,
                    int32_t dst_width, int32_t dst_height, resize_scratch& scratch,
                    const kernel_table& kernels) {
    if (!scratch.fits(src_width, src_height, dst_width, dst_height)) return false;
    axis_plan py{};
    axis_plan px{};
    plan_axis(src_height, dst_height, py);
    plan_axis(src_width, dst_width, px);
    float* weights = scratch.weights();
    int32_t* indices = scratch.indices();
    float* inter = scratch.intermediate();
    const auto sw = static_cast<size_t>(src_width);

    // Columns first. Sums run over the taps in order for every column at
    // once, so each column's sum keeps its order while the row is swept.
    resize_contributions(src_height, dst_height, py.scale, py.kernel_width, weights, indices,
                         py.taps);
    kernels.resize_columns(src, sw, dst_height, weights, indices, py.taps, inter);

    // Then rows.
    resize_contributions(src_width, dst_width, px.scale, px.kernel_width, weights, indices,
                         px.taps);
    for (int32_t r = 0; r < dst_height; ++r) {
        const float* in = inter + static_cast<size_t>(r) * sw;
        uint16_t* out = dst + static_cast<size_t>(r) * static_cast<size_t>(dst_width);
        for (int32_t c = 0; c < dst_width; ++c) {
            const size_t base = static_cast<size_t>(c) * static_cast<size_t>(px.taps);
            float sum = 0.0f;
            for (int32_t j = 0; j < px.taps; ++j) {
                sum += in[indices[base + static_cast<size_t>(j)] - 1] *
                       weights[base + static_cast<size_t>(j)];
            }
            out[c] = round_level(sum);
        }
    }
    return true;
}

bool resize_bicubic(const uint16_t* src, int32_t src_width, int32_t src_height, uint16_t* dst,
                    int32_t dst_width, int32_t dst_height) {
    resize_scratch scratch;
    if (!scratch.reserve(src_width, src_height, dst_width, dst_height)) return false;
    return resize_bicubic(src, src_width, src_height, dst, dst_width, dst_height, scratch);
}

}  // namespace orvane
