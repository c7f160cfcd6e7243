// Contexts, settings and small generated frames shared by the intake tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "context/context.h"

namespace intake_test {

struct context_deleter {
    void operator()(cal_context* ctx) const { Orvane_destroy(ctx); }
};
using context_ptr = std::unique_ptr<cal_context, context_deleter>;

// One window over the whole image, identity profile filter, a search range
// of two PD samples at pitch 4, the absolute-sum focus measure.
inline cal_settings base_settings() {
    cal_settings s;
    std::memset(&s, 0, sizeof s);
    s.focus_abs_sum = 1;
    s.win_rows = 1;
    s.win_cols = 1;
    s.filter_taps[0] = 1.0f;
    s.filter_tap_count = 1;
    s.sweep_frames = 12;
    s.max_shift = 8;
    s.pd_pitch_2pd = 4;
    s.lens_min = 0.0f;
    s.lens_max = 1000.0f;
    return s;
}

inline context_ptr make_context(const cal_settings& s) { return context_ptr(Orvane_create(&s)); }

// The state region as bytes, to compare before and after a call.
inline std::vector<uint8_t> state_bytes(const cal_context& ctx) {
    const auto* p = reinterpret_cast<const uint8_t*>(&ctx.state);
    return std::vector<uint8_t>(p, p + sizeof ctx.state);
}

// Row-major image of w x h samples.
struct image {
    uint16_t width = 0;
    uint16_t height = 0;
    std::vector<uint16_t> px;
    uint16_t& at(uint32_t x, uint32_t y) { return px[static_cast<size_t>(y) * width + x]; }
    uint16_t at(uint32_t x, uint32_t y) const { return px[static_cast<size_t>(y) * width + x]; }
};

template <typename F>
image make_image(uint16_t w, uint16_t h, F value) {
    image img{w, h, std::vector<uint16_t>(static_cast<size_t>(w) * h)};
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) img.at(x, y) = value(x, y);
    return img;
}

// Vertical bars of `period` pixels (half bright, half dark) over a black
// level of 64, with the odd-column odd-row Bayer phase a little brighter.
inline uint16_t bar_value(uint32_t along, uint32_t x, uint32_t y, uint32_t period) {
    const uint32_t bar = (along % period) < period / 2 ? 200u : 800u;
    const uint32_t phase = ((x & 1u) && (y & 1u)) ? 50u : 0u;
    return static_cast<uint16_t>(64u + bar + phase + (x * 3u + y * 5u) % 11u);
}

// 8 x 8 PD blocks: horizontal pairs left (1, 2), (5, 2) / right (2, 2),
// (6, 2), vertical pairs first (2, 1), (2, 5) / second (2, 2), (2, 6).
// PD pixels sit on Bayer phases 0 and 1 (horizontal) or 0 and 2 (vertical).
inline sensor_cfg block_cfg(uint16_t width, uint16_t height, uint16_t margin_x, uint16_t margin_y) {
    sensor_cfg cfg;
    std::memset(&cfg, 0, sizeof cfg);
    cfg.image_width = width;
    cfg.image_height = height;
    cfg.black_level = 64;
    cfg.block_width = 8;
    cfg.block_height = 8;
    cfg.margin_x = margin_x;
    cfg.margin_y = margin_y;
    cfg.pair_count = 2;
    const uint16_t lx[2] = {5, 1}, ly[2] = {2, 2}, rx[2] = {6, 2}, ry[2] = {2, 2};
    for (int i = 0; i < 2; ++i) {
        cfg.left_x[i] = lx[i];
        cfg.left_y[i] = ly[i];
        cfg.right_x[i] = rx[i];
        cfg.right_y[i] = ry[i];
        cfg.v_left_x[i] = ly[i];
        cfg.v_left_y[i] = lx[i];
        cfg.v_right_x[i] = ry[i];
        cfg.v_right_y[i] = rx[i];
    }
    return cfg;
}

// A 2 x 2 gain grid whose four tables all differ, so a wrong table or a
// missing average shows.
inline gainmap test_gainmap() {
    gainmap map;
    std::memset(&map, 0, sizeof map);
    map.version = 4;
    map.cols = 2;
    map.rows = 2;
    const uint16_t l[4] = {512, 600, 480, 520}, r[4] = {530, 500, 512, 611};
    const uint16_t lv[4] = {700, 512, 512, 450}, rv[4] = {512, 390, 640, 512};
    for (int i = 0; i < 256; ++i) {
        map.left[i] = l[i % 4];
        map.right[i] = r[i % 4];
        map.left_v[i] = lv[i % 4];
        map.right_v[i] = rv[i % 4];
    }
    return map;
}

}  // namespace intake_test
