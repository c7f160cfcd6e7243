// Small builders shared by the sensor tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "orvane.h"

namespace sensor_test {

inline sensor_cfg blank_cfg(uint16_t width, uint16_t height, uint16_t block_w, uint16_t block_h) {
    sensor_cfg cfg;
    std::memset(&cfg, 0, sizeof cfg);
    cfg.image_width = width;
    cfg.image_height = height;
    cfg.block_width = block_w;
    cfg.block_height = block_h;
    return cfg;
}

struct pair_xy {
    uint16_t ax, ay, bx, by;
};

inline void set_pairs(sensor_cfg& cfg, std::initializer_list<pair_xy> pairs) {
    uint16_t i = 0;
    for (const pair_xy& p : pairs) {
        cfg.left_x[i] = p.ax;
        cfg.left_y[i] = p.ay;
        cfg.right_x[i] = p.bx;
        cfg.right_y[i] = p.by;
        ++i;
    }
    cfg.pair_count = i;
}

inline void set_pairs_vertical(sensor_cfg& cfg, std::initializer_list<pair_xy> pairs) {
    uint16_t i = 0;
    for (const pair_xy& p : pairs) {
        cfg.v_left_x[i] = p.ax;
        cfg.v_left_y[i] = p.ay;
        cfg.v_right_x[i] = p.bx;
        cfg.v_right_y[i] = p.by;
        ++i;
    }
    cfg.pair_count = i;
}

// Every pixel distinct enough to tell where a sample came from.
inline uint16_t pattern(uint32_t x, uint32_t y) {
    return static_cast<uint16_t>((x * 7u + y * 131u + 3u) & 0xFFFFu);
}

inline std::vector<uint16_t> pattern_frame(uint16_t width, uint16_t height) {
    std::vector<uint16_t> raw(static_cast<size_t>(width) * height);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) raw[y * width + x] = pattern(x, y);
    return raw;
}

constexpr uint16_t kCanary = 0xBEEF;

}  // namespace sensor_test
