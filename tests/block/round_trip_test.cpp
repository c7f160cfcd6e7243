// A lens sweep of a synthetic sensor through the raw-frame intake, the DCC
// map, every calibration block, and back through the reader.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <numbers>
#include <vector>

#include "context/context.h"
#include "orvane.h"

namespace {

constexpr int kWidth = 512;
constexpr int kHeight = 512;
constexpr int kBlock = 8;
constexpr int kFrames = 5;
constexpr int kLensStart = 100;
constexpr int kLensStep = 10;
constexpr uint16_t kBlack = 64;

struct context_deleter {
    void operator()(cal_context* ctx) const { Orvane_destroy(ctx); }
};
using context_ptr = std::unique_ptr<cal_context, context_deleter>;

cal_settings sweep_settings() {
    cal_settings s{};
    s.focus_abs_sum = 1;
    s.gain_rows = 4;
    s.gain_cols = 6;
    s.gain_shift = 9;
    s.win_rows = 2;
    s.win_cols = 3;
    s.dcc_shift = 8;
    s.filter_taps[0] = 1.0f;
    s.filter_tap_count = 1;
    s.sweep_frames = kFrames;
    s.max_shift = 24;  // 3 PD samples of 8 pixels
    s.trim_frames = 0;
    s.min_pd_range = 1;
    s.residual_limit = 1.0f;
    for (float& limit : s.dcc_dev_limit) limit = 1.0f;
    s.lens_min = 0.0f;
    s.lens_max = 1000.0f;
    return s;
}

// One PD pair per 8 x 8 block for each layout; channel 1 (even column, even
// row) carries no PD pixel and is named, so no detection runs.
sensor_cfg sensor() {
    sensor_cfg cfg{};
    cfg.image_width = kWidth;
    cfg.image_height = kHeight;
    cfg.black_level = kBlack;
    cfg.block_width = kBlock;
    cfg.block_height = kBlock;
    cfg.pair_count = 1;
    cfg.left_x[0] = 1;
    cfg.left_y[0] = 2;
    cfg.right_x[0] = 5;
    cfg.right_y[0] = 2;
    cfg.v_left_x[0] = 3;
    cfg.v_left_y[0] = 1;
    cfg.v_right_x[0] = 3;
    cfg.v_right_y[0] = 5;
    cfg.bayer_channel = 1;
    return cfg;
}

// Texture seen by the PD pixels along one block coordinate.
uint16_t pd_texture(int u) {
    const double v = 900.0 + 400.0 * std::sin(u * 0.7) + 250.0 * std::sin(u * 0.23 + 1.0);
    return static_cast<uint16_t>(v);
}

// Frame k: the second PD pixel of each pair sees the texture shifted by
// k - 2 blocks (both layouts); the image pixels carry bars whose contrast
// peaks on the middle frame.
std::vector<uint16_t> raw_frame(int k) {
    const int shift = k - 2;
    const double contrast[kFrames] = {60, 180, 300, 180, 60};
    std::vector<uint16_t> raw(kWidth * kHeight);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const double bars =
                std::sin(x / 2 * (2.0 * std::numbers::pi / 6.0)) + 0.5 * std::sin(y / 2 * 0.9);
            raw[y * kWidth + x] = static_cast<uint16_t>(1000.0 + contrast[k] * bars);
        }
    }
    for (int r = 0; r < kHeight / kBlock; ++r) {
        for (int c = 0; c < kWidth / kBlock; ++c) {
            const int bx = c * kBlock, by = r * kBlock;
            raw[(by + 2) * kWidth + bx + 1] = pd_texture(c);
            raw[(by + 2) * kWidth + bx + 5] = pd_texture(c + shift);
            raw[(by + 1) * kWidth + bx + 3] = pd_texture(r);
            raw[(by + 5) * kWidth + bx + 3] = pd_texture(r + shift);
        }
    }
    return raw;
}

std::vector<uint16_t> flat_field() { return std::vector<uint16_t>(kWidth * kHeight, 700); }

uint16_t be16(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint16_t>((b[at] << 8) | b[at + 1]);
}

class RoundTrip : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        for (int k = 0; k < kFrames; ++k) frames_.push_back(raw_frame(k));
    }
    static void TearDownTestSuite() { frames_.clear(); }

    // Runs one sweep of the given layout; the vertical one fills left_v / right_v.
    void sweep(bool vertical, dccmap* out, context_ptr* keep) {
        const cal_settings s = sweep_settings();
        context_ptr ctx(Orvane_create(&s));
        ASSERT_NE(ctx, nullptr);
        const sensor_cfg cfg = sensor();
        const gain_limits limits = {2048, 0, 4095, 0};
        const std::vector<uint16_t> flat = flat_field();
        const uint32_t gain_status =
            vertical ? Orvane_get_gainmap_vertical(ctx.get(), flat.data(), &cfg, &map_, &limits)
                     : Orvane_get_gainmap(ctx.get(), flat.data(), &cfg, &map_, &limits);
        ASSERT_EQ(gain_status, 0u);
        for (int k = 0; k < kFrames; ++k) {
            const int32_t lens = kLensStart + kLensStep * k;
            const uint32_t status =
                vertical
                    ? Orvane_add_raw_vertical(ctx.get(), k, lens, frames_[k].data(), &cfg, &map_)
                    : Orvane_add_raw(ctx.get(), k, lens, frames_[k].data(), &cfg, &map_);
            ASSERT_EQ(status, 0u) << "frame " << k;
        }
        EXPECT_EQ(ctx->state.frames_added, kFrames);
        EXPECT_EQ(Orvane_get_dccmap(ctx.get(), out, nullptr), 0u);
        // The second PD image lags one block (8 pixels) per 10 lens units.
        for (int w = 0; w < 6; ++w) {
            EXPECT_NEAR(out->dcc[w], -320, 16) << "window " << w;
            EXPECT_NEAR(ctx->state.peak_lens[w], 120, 3) << "window " << w;
        }
        *keep = std::move(ctx);
    }

    static std::vector<std::vector<uint16_t>> frames_;
    gainmap map_{};
};
std::vector<std::vector<uint16_t>> RoundTrip::frames_;

TEST_F(RoundTrip, EveryBlockOfASweepReadsBack) {
    dccmap dcc_h{}, dcc_v{};
    context_ptr ctx_h, ctx_v;
    ASSERT_NO_FATAL_FAILURE(sweep(false, &dcc_h, &ctx_h));
    ASSERT_NO_FATAL_FAILURE(sweep(true, &dcc_v, &ctx_v));
    const uint32_t n = 24, m = 6;

    std::vector<uint8_t> block(ORVANE_BLOCK_HV_BUFFER_SIZE);
    gainmap read_map{};
    dccmap read_dcc{};

    // Single layouts: the reader gives back the records.
    ASSERT_EQ(Orvane_get_calibration_block(&map_, &dcc_h, block.data()),
              int32_t(12 + 4 * n + 2 * m));
    ASSERT_EQ(Orvane_read_calibration_block(&read_map, &read_dcc, block.data()), 0u);
    EXPECT_EQ(read_map.cols, 6);
    EXPECT_EQ(read_map.rows, 4);
    EXPECT_EQ(std::memcmp(read_map.left, map_.left, 2 * n), 0);
    EXPECT_EQ(std::memcmp(read_map.right, map_.right, 2 * n), 0);
    EXPECT_EQ(std::memcmp(&read_dcc.dcc_shift, &dcc_h.dcc_shift, 6 + 2 * m), 0);

    ASSERT_EQ(Orvane_get_calibration_block_vertical(&map_, &dcc_v, block.data()),
              int32_t(12 + 4 * n + 2 * m));
    ASSERT_EQ(Orvane_read_calibration_block(&read_map, &read_dcc, block.data()), 0u);
    EXPECT_EQ(std::memcmp(read_map.left, map_.left_v, 2 * n), 0);
    EXPECT_EQ(std::memcmp(read_map.right, map_.right_v, 2 * n), 0);
    EXPECT_EQ(std::memcmp(read_dcc.dcc, dcc_v.dcc, 2 * m), 0);

    // Both layouts: the horizontal part reads back, the vertical section
    // follows it with the shared grids.
    ASSERT_EQ(Orvane_get_calibration_block_horizontal_vertical(&map_, &dcc_h, &map_, &dcc_v,
                                                               block.data()),
              int32_t(12 + 8 * n + 4 * m));
    Orvane_read_calibration_block(&read_map, &read_dcc, block.data());
    EXPECT_EQ(std::memcmp(read_map.left, map_.left, 2 * n), 0);
    EXPECT_EQ(std::memcmp(read_dcc.dcc, dcc_h.dcc, 2 * m), 0);
    const size_t vertical = 12 + 4 * n + 2 * m;
    for (uint32_t i = 0; i < n; ++i) {
        EXPECT_EQ(be16(block, vertical + 2 * i), map_.left_v[i]);
        EXPECT_EQ(be16(block, vertical + 2 * n + 2 * i), map_.right_v[i]);
    }
    for (uint32_t i = 0; i < m; ++i) {
        EXPECT_EQ(static_cast<int16_t>(be16(block, vertical + 4 * n + 2 * i)), dcc_v.dcc[i]);
    }
    std::vector<uint8_t> without(ORVANE_BLOCK_HV_BUFFER_SIZE);
    ASSERT_EQ(Orvane_get_calibration_block_horizontal_vertical_without_dcc(&map_, &dcc_h, &map_,
                                                                           nullptr, without.data()),
              int32_t(12 + 8 * n + 2 * m));
    EXPECT_EQ(std::memcmp(block.data(), without.data(), 12 + 8 * n + 2 * m), 0);

    // Curve of field of each sweep.
    for (const cal_context* ctx : {ctx_h.get(), ctx_v.get()}) {
        ASSERT_EQ(Orvane_get_calibration_curve_of_field_block(ctx, block.data()),
                  int32_t(6 + 2 * m));
        EXPECT_EQ(be16(block, 2), 3);
        EXPECT_EQ(be16(block, 4), 2);
        for (uint32_t w = 0; w < m; ++w) {
            EXPECT_EQ(static_cast<int16_t>(be16(block, 6 + 2 * w)), ctx->state.peak_lens[w]);
        }
    }
}

}  // namespace
