// Valid arguments for every entry point, shared by the tests that call
// each of them with one argument changed.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "context/context.h"

namespace entry_test {

constexpr int64_t kHard = 0xFFFFFFFFu;
constexpr uint8_t kSentinel = 0xA5;

template <typename T>
void fill(T& record) {
    std::memset(&record, kSentinel, sizeof record);
}

template <typename T>
void append(std::vector<uint8_t>& out, const T* p, size_t count) {
    const auto* b = reinterpret_cast<const uint8_t*>(p);
    out.insert(out.end(), b, b + count * sizeof(T));
}

// Valid arguments for every entry point; outputs hold a sentinel pattern.
struct world {
    cal_settings settings{};
    cal_context* ctx = nullptr;
    sensor_cfg cfg{};
    std::vector<uint16_t> raw;
    std::vector<uint16_t> left, right;          // dual-photodiode images
    std::vector<uint16_t> out_left, out_right;  // outputs of the configuration check
    gainmap map{};                              // input record
    gain_limits limits{1024, 0, 65535, 0};
    dccmap dcc{};  // input record
    gainmap map_out;
    dccmap dcc_out;
    pd_map pd_out;
    std::vector<uint8_t> block;      // a valid block to read
    std::vector<uint8_t> block_out;  // writers' output
    std::vector<char> text;

    world() {
        settings.focus_abs_sum = 1;
        settings.gain_rows = 2;
        settings.gain_cols = 2;
        settings.gain_shift = 9;
        settings.win_rows = 2;
        settings.win_cols = 2;
        settings.dcc_shift = 4;
        settings.filter_taps[0] = 1.0f;
        settings.filter_tap_count = 1;
        settings.sweep_frames = 2;
        settings.max_shift = 8;
        settings.pd_pitch_2pd = 4;
        settings.lens_max = 1000.0f;
        for (float& limit : settings.dcc_dev_limit) limit = 1e9f;
        ctx = Orvane_create(&settings);

        cfg.image_width = 64;
        cfg.image_height = 48;
        cfg.black_level = 64;
        cfg.block_width = 8;
        cfg.block_height = 8;
        cfg.pair_count = 2;
        const uint16_t lx[2] = {1, 5}, rx[2] = {2, 6};
        for (int i = 0; i < 2; ++i) {
            cfg.left_x[i] = lx[i];
            cfg.left_y[i] = 2;
            cfg.right_x[i] = rx[i];
            cfg.right_y[i] = 2;
            cfg.v_left_x[i] = 2;
            cfg.v_left_y[i] = lx[i];
            cfg.v_right_x[i] = 2;
            cfg.v_right_y[i] = rx[i];
        }
        cfg.bayer_channel = 4;
        raw.resize(64 * 48);
        for (size_t i = 0; i < raw.size(); ++i) {
            const size_t x = i % 64, y = i / 64;
            raw[i] = static_cast<uint16_t>(((x + y) / 8) % 2 ? 900 : 200);
        }
        left.resize(40 * 24);
        right.resize(40 * 24);
        for (size_t i = 0; i < left.size(); ++i) {
            left[i] = static_cast<uint16_t>((i % 40) / 6 % 2 ? 800 : 200);
            right[i] = static_cast<uint16_t>(((i + 1) % 40) / 6 % 2 ? 800 : 200);
        }
        out_left.assign(4096, 0xA5A5);
        out_right.assign(4096, 0xA5A5);

        map.version = 4;
        map.cols = 2;
        map.rows = 2;
        for (int i = 0; i < 256; ++i) {
            map.left[i] = map.right[i] = map.left_v[i] = map.right_v[i] =
                static_cast<uint16_t>(500 + i);
        }
        dcc.version = 4;
        dcc.dcc_shift = 4;
        dcc.win_cols = 2;
        dcc.win_rows = 2;
        for (int i = 0; i < 48; ++i) dcc.dcc[i] = static_cast<int16_t>(i * 37 - 700);
        block.assign(ORVANE_BLOCK_BUFFER_SIZE, 0);
        Orvane_get_calibration_block(&map, &dcc, block.data());

        fill(map_out);
        fill(dcc_out);
        fill(pd_out);
        block_out.assign(ORVANE_BLOCK_HV_BUFFER_SIZE, kSentinel);
        text.assign(ORVANE_LIB_FEATURES_BUFFER_SIZE, static_cast<char>(kSentinel));
    }
    ~world() { Orvane_destroy(ctx); }
    // A fresh context from the (possibly changed) settings.
    void remake() {
        Orvane_destroy(ctx);
        ctx = Orvane_create(&settings);
    }
    world(const world&) = delete;
    world& operator=(const world&) = delete;

    // Everything a call could write: host records and buffers, the state
    // region and the heads of the context's image buffers.
    std::vector<uint8_t> snapshot() const {
        std::vector<uint8_t> s;
        append(s, &settings, 1);
        append(s, &cfg, 1);
        append(s, raw.data(), raw.size());
        append(s, left.data(), left.size());
        append(s, right.data(), right.size());
        append(s, out_left.data(), out_left.size());
        append(s, out_right.data(), out_right.size());
        append(s, &map, 1);
        append(s, &limits, 1);
        append(s, &dcc, 1);
        append(s, &map_out, 1);
        append(s, &dcc_out, 1);
        append(s, &pd_out, 1);
        append(s, block.data(), block.size());
        append(s, block_out.data(), block_out.size());
        append(s, text.data(), text.size());
        append(s, &ctx->state, 1);
        for (const uint16_t* img :
             {ctx->img_left, ctx->img_right, ctx->img_left_v, ctx->img_right_v})
            append(s, img, 4096);
        return s;
    }
};

}  // namespace entry_test
