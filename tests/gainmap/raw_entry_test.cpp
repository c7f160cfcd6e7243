#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "gainmap_fixture.h"

namespace orvane {
namespace {

using test::all_equal;
using test::context_ptr;
using test::gain_settings;
using test::make_context;
using test::marked_map;
using test::same_bytes;
using test::state_snapshot;

constexpr int kFrameW = 64;
constexpr int kFrameH = 32;
constexpr uint32_t kLayout = ORVANE_LAYOUT_UNUSABLE;

// A 64 x 32 frame of 8 x 8 blocks with one PD pair per block: 8 x 4 PD
// samples per image in either layout. First pixels read 1000, second
// pixels 750; with a black level of 500 the second phase needs twice the
// gain of the first.
struct RawGainmap : ::testing::Test {
    context_ptr ctx = make_context(gain_settings(2, 2, 9));
    gainmap map = marked_map();
    sensor_cfg cfg{};
    std::vector<uint16_t> raw = std::vector<uint16_t>(kFrameW * kFrameH, 1000);
    gain_limits limits = {1024, 0, 65535, 0};

    RawGainmap() {
        cfg.image_width = kFrameW;
        cfg.image_height = kFrameH;
        cfg.black_level = 500;
        cfg.block_width = 8;
        cfg.block_height = 8;
        cfg.pair_count = 1;
        cfg.left_x[0] = 1;
        cfg.right_x[0] = 2;
        cfg.v_left_y[0] = 1;
        cfg.v_right_y[0] = 2;
        for (int r = 0; r < kFrameH; r += 8) {
            for (int c = 0; c < kFrameW; c += 8) {
                raw[r * kFrameW + c + 2] = 750;    // horizontal second pixel
                raw[(r + 2) * kFrameW + c] = 750;  // vertical second pixel
            }
        }
    }
    uint32_t horizontal() { return Orvane_get_gainmap(ctx.get(), raw.data(), &cfg, &map, &limits); }
    uint32_t vertical() {
        return Orvane_get_gainmap_vertical(ctx.get(), raw.data(), &cfg, &map, &limits);
    }
};

TEST_F(RawGainmap, HorizontalLayoutFillsTheHorizontalPair) {
    ASSERT_EQ(horizontal(), 0u);
    EXPECT_TRUE(all_equal(map.left, 4, 512));
    EXPECT_TRUE(all_equal(map.right, 4, 1024));
    EXPECT_TRUE(all_equal(map.left_v, 256, 0xABAB));
    EXPECT_TRUE(all_equal(map.right_v, 256, 0xABAB));
    EXPECT_EQ(map.version, 4);
    EXPECT_EQ(map.cols, 2);
    EXPECT_EQ(map.rows, 2);
    EXPECT_EQ(ctx->state.gain_cols, 2);
    EXPECT_EQ(ctx->state.gain_rows, 2);
    // The extracted images stay in the context, black level included.
    EXPECT_TRUE(all_equal(ctx->img_left, 32, 1000));
    EXPECT_TRUE(all_equal(ctx->img_right, 32, 750));
}

TEST_F(RawGainmap, VerticalLayoutFillsTheVerticalPair) {
    ASSERT_EQ(vertical(), 0u);
    EXPECT_TRUE(all_equal(map.left_v, 4, 512));
    EXPECT_TRUE(all_equal(map.right_v, 4, 1024));
    EXPECT_TRUE(all_equal(map.left, 256, 0xABAB));
    EXPECT_TRUE(all_equal(map.right, 256, 0xABAB));
    EXPECT_TRUE(all_equal(ctx->img_left_v, 32, 1000));
    EXPECT_TRUE(all_equal(ctx->img_right_v, 32, 750));
}

TEST_F(RawGainmap, BothLayoutsShareOneRecord) {
    ASSERT_EQ(horizontal(), 0u);
    ASSERT_EQ(vertical(), 0u);
    EXPECT_TRUE(all_equal(map.left, 4, 512));
    EXPECT_TRUE(all_equal(map.right, 4, 1024));
    EXPECT_TRUE(all_equal(map.left_v, 4, 512));
    EXPECT_TRUE(all_equal(map.right_v, 4, 1024));
}

TEST_F(RawGainmap, ExposureIsJudgedOnTheExtractedLevels) {
    limits = {1024, 751, 999, 0};
    EXPECT_EQ(horizontal(), ORVANE_LEVEL_TOO_HIGH | ORVANE_LEVEL_TOO_LOW);
    limits = {1023, 750, 1000, 0};
    EXPECT_EQ(vertical(), ORVANE_GAIN_TOO_HIGH);
}

TEST_F(RawGainmap, NoPairsOrNoBlocksReturnLayoutStatusAndWriteNothing) {
    const state_snapshot before(*ctx);
    cfg.pair_count = 0;
    EXPECT_EQ(horizontal(), kLayout);
    EXPECT_EQ(vertical(), kLayout);
    cfg.pair_count = 1;
    cfg.block_height = 64;  // taller than the frame: no block row
    EXPECT_EQ(horizontal(), kLayout);
    EXPECT_EQ(vertical(), kLayout);
    EXPECT_TRUE(same_bytes(map, marked_map()));
    EXPECT_TRUE(before.unchanged(*ctx));
}

TEST_F(RawGainmap, GridIsCheckedBeforeTheLayout) {
    ctx = make_context(gain_settings(0, 2, 9));
    cfg.pair_count = 0;
    EXPECT_EQ(horizontal(), kHardFailure);
    EXPECT_EQ(vertical(), kHardFailure);
    EXPECT_TRUE(same_bytes(map, marked_map()));
}

TEST_F(RawGainmap, MissingScratchWritesNothing) {
    const state_snapshot before(*ctx);
    {
        test::RefuseAllocations refuse;
        EXPECT_EQ(horizontal(), kHardFailure);
        EXPECT_EQ(vertical(), kHardFailure);
    }
    EXPECT_TRUE(same_bytes(map, marked_map()));
    EXPECT_TRUE(before.unchanged(*ctx));
    EXPECT_TRUE(all_equal(ctx->img_left, 32, 0));
    EXPECT_TRUE(all_equal(ctx->img_right_v, 32, 0));
    EXPECT_EQ(horizontal(), 0u);
}

}  // namespace
}  // namespace orvane
