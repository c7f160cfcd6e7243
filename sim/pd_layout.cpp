#include "pd_layout.h"

#include <algorithm>

namespace orvane_sim {
namespace detail {

std::vector<pd_pair> pd_pairs(const sensor_model& m, layout kind) {
    std::vector<pd_pair> pairs;
    const uint16_t count = std::max<uint16_t>(1, m.pd_pairs);
    const uint16_t spacing = static_cast<uint16_t>(m.block_size / count);
    for (uint16_t k = 0; k < count; ++k) {
        const auto along = static_cast<uint16_t>(k * spacing);
        if (kind == layout::vertical) {
            // 1x2 microlens pairs in one column: first on an even row.
            pairs.push_back(
                {3, static_cast<uint16_t>(2 + along), 3, static_cast<uint16_t>(3 + along)});
        } else {
            // 2x1 microlens pairs in one row: left on an odd column.
            pairs.push_back(
                {static_cast<uint16_t>(1 + along), 3, static_cast<uint16_t>(2 + along), 3});
        }
    }
    return pairs;
}

block_grid blocks_of(const sensor_model& m) {
    const auto span_x = static_cast<int64_t>(m.width) - 2 * static_cast<int64_t>(m.margin);
    const auto span_y = static_cast<int64_t>(m.height) - 2 * static_cast<int64_t>(m.margin);
    return {static_cast<uint32_t>(std::max<int64_t>(0, span_x / m.block_size)),
            static_cast<uint32_t>(std::max<int64_t>(0, span_y / m.block_size))};
}

}  // namespace detail

using namespace detail;

double pair_offset(const sensor_model& m, layout kind) {
    if (kind == layout::dual) return 0.0;
    const auto pairs = pd_pairs(m, kind);
    double sum = 0.0;
    for (const pd_pair& p : pairs) {
        sum += kind == layout::vertical ? static_cast<double>(p.y2) - p.y1
                                        : static_cast<double>(p.x2) - p.x1;
    }
    return pairs.empty() ? 0.0 : sum / static_cast<double>(pairs.size());
}

sensor_cfg make_sensor_cfg(const sensor_model& m, layout kind) {
    sensor_cfg cfg{};
    cfg.image_width = static_cast<uint16_t>(m.width);
    cfg.image_height = static_cast<uint16_t>(m.height);
    cfg.black_level = m.black_level;
    if (kind == layout::dual) return cfg;
    cfg.block_width = m.block_size;
    cfg.block_height = m.block_size;
    cfg.margin_x = m.margin;
    cfg.margin_y = m.margin;
    const auto pairs = pd_pairs(m, kind);
    cfg.pair_count = static_cast<uint16_t>(pairs.size());
    for (size_t i = 0; i < pairs.size(); ++i) {
        if (kind == layout::vertical) {
            cfg.v_left_x[i] = pairs[i].x1;
            cfg.v_left_y[i] = pairs[i].y1;
            cfg.v_right_x[i] = pairs[i].x2;
            cfg.v_right_y[i] = pairs[i].y2;
        } else {
            cfg.left_x[i] = pairs[i].x1;
            cfg.left_y[i] = pairs[i].y1;
            cfg.right_x[i] = pairs[i].x2;
            cfg.right_y[i] = pairs[i].y2;
        }
    }
    cfg.bayer_channel = 0;  // found from the frame
    return cfg;
}

void image_size(const sensor_model& m, layout kind, uint32_t& width, uint32_t& height) {
    if (kind == layout::dual) {
        width = m.width / m.dual_binning;
        height = m.height / m.dual_binning;
    } else {
        width = m.width;
        height = m.height;
    }
}

}  // namespace orvane_sim
