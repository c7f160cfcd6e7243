#include <algorithm>
#include <cstddef>

#include "gainmap/gainmap.h"

namespace orvane {

namespace {

// The two cells and the fraction that node i of an axis of n cells reads,
// for an image side of `len` samples. The resampler centres cell k at sample
// (k + 0.5) * len / n - 0.5; the application puts node i at i * (len - 1) / n.
struct node_axis {
    uint32_t i0;
    uint32_t i1;
    float f;
};

node_axis node_on_axis(uint32_t i, uint16_t n, uint16_t len) {
    if (n < 2) return {0, 0, 0.0f};
    const float k =
        (static_cast<float>(i) * static_cast<float>(len - 1) + 0.5f * static_cast<float>(n)) /
            static_cast<float>(len) -
        0.5f;
    // k lies within [-0.5, n): the truncation is defined.
    const uint32_t i0 = k < 0.0f ? 0u : std::min(static_cast<uint32_t>(k), uint32_t{n} - 2u);
    return {i0, i0 + 1u, k - static_cast<float>(i0)};
}

}  // namespace

void register_to_gain_nodes(uint16_t* table, uint16_t cols, uint16_t rows, uint16_t width,
                            uint16_t height, uint16_t* scratch) {
    const size_t cells = static_cast<size_t>(cols) * rows;
    std::copy(table, table + cells, scratch);
    for (uint32_t r = 0; r < rows; ++r) {
        const node_axis y = node_on_axis(r, rows, height);
        const uint16_t* upper = scratch + static_cast<size_t>(y.i0) * cols;
        const uint16_t* lower = scratch + static_cast<size_t>(y.i1) * cols;
        for (uint32_t c = 0; c < cols; ++c) {
            const node_axis x = node_on_axis(c, cols, width);
            const float u0 = upper[x.i0];
            const float l0 = lower[x.i0];
            const float a = u0 + (static_cast<float>(upper[x.i1]) - u0) * x.f;
            const float b = l0 + (static_cast<float>(lower[x.i1]) - l0) * x.f;
            table[static_cast<size_t>(r) * cols + c] = round_level(a + (b - a) * y.f);
        }
    }
}

}  // namespace orvane
