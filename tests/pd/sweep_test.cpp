#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "context/context.h"
#include "orvane.h"
#include "pd/pd.h"

namespace orvane {
namespace {

using image = std::vector<uint16_t>;

cal_settings make_settings(int8_t rows, int8_t cols, int8_t max_shift, float margin = 0.0f) {
    cal_settings s{};
    s.win_rows = rows;
    s.win_cols = cols;
    s.max_shift = max_shift;
    s.win_margin = margin;
    s.filter_taps[0] = 1.0f;
    s.filter_tap_count = 1;
    return s;
}

class Sweep : public testing::Test {
protected:
    void TearDown() override {
        if (ctx_ != nullptr) Orvane_destroy(ctx_);
    }
    cal_context& create(const cal_settings& s) {
        ctx_ = Orvane_create(&s);
        return *ctx_;
    }
    cal_context* ctx_ = nullptr;
    gainmap map_{};
};

// Uniform background with full-height bright columns.
image columns_image(uint16_t w, uint16_t h, std::initializer_list<int> bright) {
    image img(size_t(w) * h, 100);
    for (uint16_t r = 0; r < h; ++r) {
        for (int c : bright) img[size_t(r) * w + size_t(c)] = 900;
    }
    return img;
}

image transpose(const image& img, uint16_t w, uint16_t h) {
    image t(img.size());
    for (uint16_t r = 0; r < h; ++r) {
        for (uint16_t c = 0; c < w; ++c) t[size_t(c) * h + r] = img[size_t(r) * w + c];
    }
    return t;
}

TEST_F(Sweep, MeasuresEveryWindowAndReturnsTheLastWindowsFlags) {
    cal_context& ctx = create(make_settings(1, 2, 8));  // pitch 2: S = 4
    // Left window: second image one sample to the right; right window: four.
    const image a = columns_image(64, 4, {14, 46});
    const image b = columns_image(64, 4, {15, 50});
    ctx.profile_left[5999] = 123;
    ctx.state.slots[3].sad_curve[0][9] = -1.0f;

    EXPECT_EQ(pd_sweep(ctx, 3, 70000, a.data(), b.data(), 64, 4, map_, 2), 0x40u);
    const frame_slot& slot = ctx.state.slots[3];
    EXPECT_EQ(slot.pd[0], 2.0f);
    EXPECT_EQ(slot.pd[1], 8.0f);
    EXPECT_EQ(slot.flags[0], 0u);
    EXPECT_EQ(slot.flags[1], 0x40u);
    EXPECT_EQ(slot.confidence[0], 1024);
    EXPECT_EQ(slot.confidence[1], 1024);
    EXPECT_EQ(slot.sad_curve[0][5], 0.0f);
    EXPECT_EQ(slot.sad_curve[0][4], 2.0f * 800 * 4);
    EXPECT_EQ(slot.sad_curve[0][9], -1.0f);  // beyond the 2S + 1 entries
    EXPECT_EQ(slot.lens_position, 70000 - 65536);
    EXPECT_EQ(ctx.state.win_cols, 2);
    EXPECT_EQ(ctx.state.win_rows, 1);
    EXPECT_EQ(ctx.state.frames_added, 1);
    EXPECT_EQ(ctx.profile_left[5999], 0);

    // Only the left window at the edge (content moved left): result 0.
    const image c = columns_image(64, 4, {10, 47});
    EXPECT_EQ(pd_sweep(ctx, 3, -1, a.data(), c.data(), 64, 4, map_, 2), 0u);
    EXPECT_EQ(slot.pd[0], -8.0f);
    EXPECT_EQ(slot.pd[1], 2.0f);
    EXPECT_EQ(slot.flags[0], 0x40u);
    EXPECT_EQ(slot.flags[1], 0u);
    EXPECT_EQ(slot.lens_position, -1);
    EXPECT_EQ(ctx.state.frames_added, 2);
}

TEST_F(Sweep, VerticalSweepOfTransposedFramesMatchesTheHorizontalOne) {
    const uint16_t w = 90, h = 40;
    image a(size_t(w) * h), b(size_t(w) * h);
    for (uint16_t r = 0; r < h; ++r) {
        for (uint16_t c = 0; c < w; ++c) {
            a[size_t(r) * w + c] = uint16_t(500 + (c * 37 + r * 11) % 101 + (c % 17) * 20);
            const int cs = c >= 3 ? c - 3 : 0;
            b[size_t(r) * w + c] = uint16_t(500 + (cs * 37 + r * 11) % 101 + (cs % 17) * 20);
        }
    }
    cal_settings hs = make_settings(2, 3, 6, 0.25f);
    hs.filter_tap_count = 3;
    hs.filter_taps[0] = 0.25f;
    hs.filter_taps[1] = 0.5f;
    hs.filter_taps[2] = 0.25f;
    cal_settings vs = hs;
    vs.win_rows = 3;
    vs.win_cols = 2;
    cal_context& hctx = create(hs);
    cal_context* vctx = Orvane_create(&vs);
    ASSERT_NE(vctx, nullptr);

    const image at = transpose(a, w, h), bt = transpose(b, w, h);
    const uint32_t hres = pd_sweep(hctx, 5, 0, a.data(), b.data(), w, h, map_, 1);
    const uint32_t vres = pd_sweep_vertical(*vctx, 5, 0, at.data(), bt.data(), h, w, map_, 1);
    EXPECT_EQ(hres, vres);
    const frame_slot& hs5 = hctx.state.slots[5];
    const frame_slot& vs5 = vctx->state.slots[5];
    for (int i = 0; i < 2; ++i) {
        for (int j = 0; j < 3; ++j) {
            const int wh = i * 3 + j, wv = j * 2 + i;
            EXPECT_EQ(hs5.pd[wh], vs5.pd[wv]) << wh;
            EXPECT_GT(hs5.pd[wh], 2.5f) << wh;
            EXPECT_LT(hs5.pd[wh], 3.5f) << wh;
            EXPECT_EQ(hs5.confidence[wh], vs5.confidence[wv]);
            EXPECT_EQ(hs5.flags[wh], vs5.flags[wv]);
            EXPECT_EQ(std::memcmp(hs5.sad_curve[wh], vs5.sad_curve[wv], 13 * sizeof(float)), 0);
        }
    }
    Orvane_destroy(vctx);
}

TEST_F(Sweep, EmptyGridStillStoresLensGainMapAndCount) {
    cal_context& ctx = create(make_settings(0, 3, 8));
    map_.cols = 3;
    map_.rows = 2;
    for (int t = 0; t < 256; ++t) {
        map_.left[t] = uint16_t(1000 + t);
        map_.right[t] = uint16_t(2000 + t);
    }
    const image img(16, 5);
    EXPECT_EQ(pd_sweep(ctx, 0, 42, img.data(), img.data(), 4, 4, map_, 1), 0u);
    EXPECT_EQ(ctx.state.win_cols, 3);
    EXPECT_EQ(ctx.state.win_rows, 0);
    EXPECT_EQ(ctx.state.slots[0].lens_position, 42);
    EXPECT_EQ(ctx.state.frames_added, 1);
    EXPECT_EQ(ctx.state.gain_cols, 3);
    EXPECT_EQ(ctx.state.gain_rows, 2);
    EXPECT_EQ(ctx.state.gain_left[5], 1005);
    EXPECT_EQ(ctx.state.gain_right[0], 2000);
    EXPECT_EQ(ctx.state.gain_left[6], 0);
}

TEST_F(Sweep, GainMapIsCapturedFromTheVariantsTablesAtFrameZeroOnly) {
    cal_context& ctx = create(make_settings(1, 1, 2));
    map_.cols = 2;
    map_.rows = 2;
    for (int t = 0; t < 4; ++t) {
        map_.left[t] = uint16_t(10 + t);
        map_.right[t] = uint16_t(20 + t);
        map_.left_v[t] = uint16_t(30 + t);
        map_.right_v[t] = uint16_t(40 + t);
    }
    const image img(64, 7);
    pd_sweep_vertical(ctx, 0, 0, img.data(), img.data(), 8, 8, map_, 1);
    EXPECT_EQ(ctx.state.gain_left[3], 33);
    EXPECT_EQ(ctx.state.gain_right[0], 40);
    pd_sweep(ctx, 0, 0, img.data(), img.data(), 8, 8, map_, 1);
    EXPECT_EQ(ctx.state.gain_left[3], 13);
    EXPECT_EQ(ctx.state.gain_right[0], 20);
    map_.cols = 1;
    map_.left[0] = 99;
    for (int16_t k = 1; k < 12; ++k) pd_sweep(ctx, k, 0, img.data(), img.data(), 8, 8, map_, 1);
    EXPECT_EQ(ctx.state.gain_cols, 2);
    EXPECT_EQ(ctx.state.gain_left[0], 10);
    EXPECT_EQ(ctx.state.frames_added, 13);
}

TEST_F(Sweep, ShiftRangeZeroFlagsEveryWindow) {
    cal_context& ctx = create(make_settings(2, 2, 1));  // max_shift 1, pitch 2
    const image a = columns_image(32, 8, {3, 20});
    const image b = columns_image(32, 8, {5, 18});
    ctx.state.slots[1].sad_curve[3][1] = 7.0f;
    EXPECT_EQ(pd_sweep(ctx, 1, 0, a.data(), b.data(), 32, 8, map_, 2), 0x40u);
    for (int w = 0; w < 4; ++w) {
        EXPECT_EQ(ctx.state.slots[1].pd[w], 0.0f);
        EXPECT_EQ(ctx.state.slots[1].confidence[w], 0);
        EXPECT_EQ(ctx.state.slots[1].flags[w], 0x40u);
    }
    EXPECT_EQ(ctx.state.slots[1].sad_curve[3][1], 7.0f);
}

TEST_F(Sweep, ProfileNoLongerThanTwiceTheShiftRangeGivesAnEmptyCurve) {
    cal_context& ctx = create(make_settings(1, 2, 2));  // 4-column windows, S = 2
    const image a = columns_image(8, 3, {1, 6});
    const image b = columns_image(8, 3, {2, 5});
    EXPECT_EQ(pd_sweep(ctx, 2, 0, a.data(), b.data(), 8, 3, map_, 1), 0x40u);
    const frame_slot& slot = ctx.state.slots[2];
    for (int w = 0; w < 2; ++w) {
        EXPECT_EQ(slot.pd[w], -2.0f);
        EXPECT_EQ(slot.confidence[w], 0);
        EXPECT_EQ(slot.flags[w], 0x40u);
        for (int k = 0; k < 5; ++k) EXPECT_EQ(slot.sad_curve[w][k], 0.0f);
    }
}

TEST_F(Sweep, PitchScalesTheSearchRangeAndTheDisparity) {
    cal_context& ctx = create(make_settings(1, 1, 20));  // pitch 4: S = 5, 11 entries
    // Ramps whose second image runs 7 samples ahead: SAD = 600 (s + 2).
    image a(80), b(80);
    for (int r = 0; r < 2; ++r) {
        for (int c = 0; c < 40; ++c) {
            a[size_t(r * 40 + c)] = uint16_t(1000 + 10 * c);
            b[size_t(r * 40 + c)] = uint16_t(1070 + 10 * c);
        }
    }
    ctx.state.slots[4].sad_curve[0][11] = 5.0f;
    EXPECT_EQ(pd_sweep(ctx, 4, 0, a.data(), b.data(), 40, 2, map_, 4), 0x40u);
    const frame_slot& slot = ctx.state.slots[4];
    for (int s = 0; s < 11; ++s) EXPECT_EQ(slot.sad_curve[0][s], float(600 * (s + 2))) << s;
    EXPECT_EQ(slot.sad_curve[0][11], 5.0f);
    EXPECT_EQ(slot.pd[0], -20.0f);
    EXPECT_EQ(slot.flags[0], 0x40u);
}

TEST_F(Sweep, FramesAddedWrapsAsA16BitCount) {
    cal_context& ctx = create(make_settings(0, 0, 0));
    ctx.state.frames_added = 32767;
    const image img(4, 0);
    pd_sweep(ctx, 1, 0x18000, img.data(), img.data(), 2, 2, map_, 1);
    EXPECT_EQ(ctx.state.frames_added, -32768);
    EXPECT_EQ(ctx.state.slots[1].lens_position, -32768);
}

TEST(SweepFits, RejectsEveryCapacityOverrun) {
    cal_settings s = make_settings(12, 12, 50);
    cal_context* ctx = Orvane_create(&s);
    ASSERT_NE(ctx, nullptr);
    gainmap map{};
    map.cols = 16;
    map.rows = 16;
    EXPECT_TRUE(pd_sweep_fits(*ctx, 0, 2000, 1000, 1, false, map));
    EXPECT_TRUE(pd_sweep_fits(*ctx, 11, 2000, 1000, 1, true, map));
    EXPECT_FALSE(pd_sweep_fits(*ctx, -1, 2000, 1000, 1, false, map));
    EXPECT_FALSE(pd_sweep_fits(*ctx, 12, 2000, 1000, 1, false, map));
    EXPECT_FALSE(pd_sweep_fits(*ctx, 1, 2000, 1000, 0, false, map));

    map.rows = 17;  // 272 gain cells: only read at frame index 0
    EXPECT_FALSE(pd_sweep_fits(*ctx, 0, 2000, 1000, 1, false, map));
    EXPECT_TRUE(pd_sweep_fits(*ctx, 1, 2000, 1000, 1, false, map));

    ctx->settings.max_shift = 51;
    EXPECT_FALSE(pd_sweep_fits(*ctx, 1, 2000, 1000, 1, false, map));
    EXPECT_TRUE(pd_sweep_fits(*ctx, 1, 2000, 1000, 2, false, map));
    ctx->settings.max_shift = -1;  // 65535 sensor pixels
    EXPECT_FALSE(pd_sweep_fits(*ctx, 1, 2000, 1000, 1000, false, map));
    EXPECT_TRUE(pd_sweep_fits(*ctx, 1, 2000, 1000, 2000, false, map));
    ctx->settings.max_shift = 0;

    ctx->settings.filter_tap_count = 32;
    EXPECT_FALSE(pd_sweep_fits(*ctx, 1, 2000, 1000, 1, false, map));
    ctx->settings.filter_tap_count = 31;

    ctx->settings.win_cols = 13;  // 156 windows
    EXPECT_FALSE(pd_sweep_fits(*ctx, 1, 100, 100, 1, false, map));
    ctx->settings.win_rows = -1;
    ctx->settings.win_cols = 1;
    EXPECT_FALSE(pd_sweep_fits(*ctx, 1, 100, 100, 1, false, map));

    ctx->settings.win_rows = 1;
    EXPECT_TRUE(pd_sweep_fits(*ctx, 1, 2000, 1000, 1, false, map));
    EXPECT_FALSE(pd_sweep_fits(*ctx, 1, 2000, 1001, 1, false, map));  // 2,002,000 samples
    EXPECT_FALSE(pd_sweep_fits(*ctx, 1, 6001, 2, 1, false, map));     // profile of 6001
    EXPECT_TRUE(pd_sweep_fits(*ctx, 1, 6001, 2, 1, true, map));
    EXPECT_FALSE(pd_sweep_fits(*ctx, 1, 2, 6001, 1, true, map));
    Orvane_destroy(ctx);
}

}  // namespace
}  // namespace orvane
