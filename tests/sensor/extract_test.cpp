#include <gtest/gtest.h>

#include <vector>

#include "frames.h"
#include "sensor/sensor.h"

using namespace sensor_test;
using orvane::extract_pd;
using orvane::extract_pd_vertical;
using orvane::pd_layout_size;

namespace {

struct extraction {
    uint32_t status;
    uint16_t width = 0xAAAA;
    uint16_t height = 0xAAAA;
    std::vector<uint16_t> a;
    std::vector<uint16_t> b;
};

// Runs one layout into canary-filled images of the given capacity.
extraction run(const std::vector<uint16_t>& raw, const sensor_cfg& cfg, bool vertical,
               size_t capacity = 4096) {
    extraction e;
    e.a.assign(capacity, kCanary);
    e.b.assign(capacity, kCanary);
    const uint16_t* src = raw.empty() ? nullptr : raw.data();
    e.status = vertical ? extract_pd_vertical(src, cfg, e.a.data(), e.b.data(), &e.width, &e.height)
                        : extract_pd(src, cfg, e.a.data(), e.b.data(), &e.width, &e.height);
    return e;
}

void expect_rejected(const sensor_cfg& cfg, bool vertical) {
    // The raw frame must not be read either: there is none.
    const extraction e = run({}, cfg, vertical, 64);
    EXPECT_EQ(4u, e.status);
    EXPECT_EQ(0xAAAA, e.width);
    EXPECT_EQ(0xAAAA, e.height);
    for (size_t i = 0; i < e.a.size(); ++i) {
        ASSERT_EQ(kCanary, e.a[i]);
        ASSERT_EQ(kCanary, e.b[i]);
    }
    uint16_t w = 0, h = 0;
    EXPECT_EQ(4u, pd_layout_size(cfg, vertical, &w, &h));
}

// Tables 0..3: left, right, first, second.
uint16_t* table(sensor_cfg& c, int t, bool rows) {
    switch (t) {
        case 0:
            return rows ? c.left_y : c.left_x;
        case 1:
            return rows ? c.right_y : c.right_x;
        case 2:
            return rows ? c.v_left_y : c.v_left_x;
        default:
            return rows ? c.v_right_y : c.v_right_x;
    }
}

uint16_t mean2(uint16_t a, uint16_t b) { return static_cast<uint16_t>((a + b) >> 1); }

}  // namespace

TEST(ExtractPd, OneGroupPerBlockAveragesItsPairs) {
    sensor_cfg cfg = blank_cfg(16, 8, 4, 4);
    set_pairs(cfg, {{1, 0, 2, 0}, {1, 2, 2, 2}});
    const auto raw = pattern_frame(16, 8);
    const extraction e = run(raw, cfg, false);
    ASSERT_EQ(0u, e.status);
    EXPECT_EQ(4, e.width);
    EXPECT_EQ(2, e.height);
    for (uint32_t r = 0; r < 2; ++r) {
        for (uint32_t c = 0; c < 4; ++c) {
            const uint32_t x = 4 * c, y = 4 * r;
            EXPECT_EQ(mean2(pattern(x + 1, y), pattern(x + 1, y + 2)), e.a[r * 4 + c]);
            EXPECT_EQ(mean2(pattern(x + 2, y), pattern(x + 2, y + 2)), e.b[r * 4 + c]);
        }
    }
    EXPECT_EQ(kCanary, e.a[8]);
    EXPECT_EQ(kCanary, e.b[8]);
}

TEST(ExtractPd, DistinctColumnsGiveOneSampleEach) {
    sensor_cfg cfg = blank_cfg(16, 8, 4, 4);
    set_pairs(cfg, {{0, 0, 1, 0}, {2, 0, 3, 0}});
    const auto raw = pattern_frame(16, 8);
    const extraction e = run(raw, cfg, false);
    ASSERT_EQ(0u, e.status);
    EXPECT_EQ(8, e.width);
    EXPECT_EQ(2, e.height);
    for (uint32_t r = 0; r < 2; ++r) {
        for (uint32_t k = 0; k < 8; ++k) {
            const uint32_t x = 4 * (k / 2) + 2 * (k % 2), y = 4 * r;
            EXPECT_EQ(pattern(x, y), e.a[r * 8 + k]);
            EXPECT_EQ(pattern(x + 1, y), e.b[r * 8 + k]);
        }
    }
}

TEST(ExtractPd, RunningPairwiseMeanInPairOrder) {
    sensor_cfg cfg = blank_cfg(4, 4, 4, 4);
    set_pairs(cfg, {{1, 0, 2, 0}, {1, 1, 2, 1}, {1, 2, 2, 2}});
    std::vector<uint16_t> raw(16, 0);
    raw[0 * 4 + 1] = 100;
    raw[1 * 4 + 1] = 200;
    raw[2 * 4 + 1] = 40;
    raw[0 * 4 + 2] = 40;  // other order: ((40 + 200) >> 1 + 100) >> 1
    raw[1 * 4 + 2] = 200;
    raw[2 * 4 + 2] = 100;
    const extraction e = run(raw, cfg, false);
    ASSERT_EQ(0u, e.status);
    EXPECT_EQ(95, e.a[0]);
    EXPECT_EQ(110, e.b[0]);
}

TEST(ExtractPd, MeanOfLargeSamplesDoesNotWrap) {
    sensor_cfg cfg = blank_cfg(4, 4, 4, 4);
    set_pairs(cfg, {{0, 0, 1, 0}, {0, 1, 1, 1}});
    std::vector<uint16_t> raw(16, 0);
    raw[0] = raw[4] = 40000;
    raw[1] = raw[5] = 65535;
    const extraction e = run(raw, cfg, false);
    ASSERT_EQ(0u, e.status);
    EXPECT_EQ(40000, e.a[0]);
    EXPECT_EQ(65535, e.b[0]);

    set_pairs_vertical(cfg, {{0, 0, 0, 1}, {1, 0, 1, 1}});
    raw.assign(16, 0);
    raw[0] = raw[1] = 40000;
    const extraction v = run(raw, cfg, true);
    ASSERT_EQ(0u, v.status);
    EXPECT_EQ(40000, v.a[0]);
}

TEST(ExtractPd, BlockSizeRoundsUpToPowerOfTwoAndMarginsOffsetTheGrid) {
    // Width 70, margin 3: (70 - 6) >> 5 = 2 block columns of 32, not 2 of 24 at 24 spacing.
    sensor_cfg cfg = blank_cfg(70, 20, 24, 4);
    cfg.margin_x = 3;
    cfg.margin_y = 2;
    set_pairs(cfg, {{5, 1, 6, 1}});
    const auto raw = pattern_frame(70, 20);
    const extraction e = run(raw, cfg, false);
    ASSERT_EQ(0u, e.status);
    EXPECT_EQ(2, e.width);
    EXPECT_EQ(4, e.height);  // (20 - 4) >> 2
    EXPECT_EQ(pattern(3 + 5, 2 + 1), e.a[0]);
    EXPECT_EQ(pattern(3 + 32 + 5, 2 + 1), e.a[1]);
    EXPECT_EQ(pattern(3 + 32 + 6, 2 + 12 + 1), e.b[3 * 2 + 1]);
}

TEST(ExtractPd, VerticalLayoutStacksGroupsAsRows) {
    // Two rows of first pixels per 4x4 block: 2 output rows per block row.
    sensor_cfg cfg = blank_cfg(12, 8, 4, 4);
    set_pairs_vertical(cfg, {{0, 1, 0, 2}, {2, 1, 2, 2}, {1, 3, 3, 0}});
    const auto raw = pattern_frame(12, 8);
    const extraction e = run(raw, cfg, true);
    ASSERT_EQ(0u, e.status);
    EXPECT_EQ(3, e.width);   // BC
    EXPECT_EQ(4, e.height);  // BR * G
    for (uint32_t r = 0; r < 2; ++r) {
        for (uint32_t c = 0; c < 3; ++c) {
            const uint32_t x = 4 * c, y = 4 * r;
            const uint32_t g0 = (2 * r) * 3 + c, g1 = (2 * r + 1) * 3 + c;
            EXPECT_EQ(mean2(pattern(x, y + 1), pattern(x + 2, y + 1)), e.a[g0]);
            EXPECT_EQ(mean2(pattern(x, y + 2), pattern(x + 2, y + 2)), e.b[g0]);
            EXPECT_EQ(pattern(x + 1, y + 3), e.a[g1]);
            EXPECT_EQ(pattern(x + 3, y), e.b[g1]);
        }
    }
    EXPECT_EQ(kCanary, e.a[12]);
}

TEST(ExtractPd, SizeMatchesExtraction) {
    sensor_cfg cfg = blank_cfg(100, 50, 8, 16);
    cfg.margin_x = 10;
    cfg.margin_y = 1;
    set_pairs(cfg, {{0, 0, 1, 0}, {0, 8, 1, 8}, {4, 0, 5, 0}});
    set_pairs_vertical(cfg, {{0, 0, 0, 1}, {4, 4, 4, 5}, {6, 4, 6, 5}});
    const auto raw = pattern_frame(100, 50);
    for (bool vertical : {false, true}) {
        uint16_t w = 0, h = 0;
        ASSERT_EQ(0u, pd_layout_size(cfg, vertical, &w, &h));
        const extraction e = run(raw, cfg, vertical);
        ASSERT_EQ(0u, e.status);
        EXPECT_EQ(w, e.width);
        EXPECT_EQ(h, e.height);
        EXPECT_NE(kCanary, e.a[size_t(w) * h - 1]);
        EXPECT_EQ(kCanary, e.a[size_t(w) * h]);
    }
}

TEST(ExtractPdRejects, EmptyLayoutOrBlock) {
    sensor_cfg cfg = blank_cfg(16, 16, 4, 4);
    set_pairs(cfg, {{0, 0, 1, 0}});
    set_pairs_vertical(cfg, {{0, 0, 0, 1}});
    for (bool vertical : {false, true}) {
        sensor_cfg c = cfg;
        c.pair_count = 0;
        expect_rejected(c, vertical);
        c = cfg;
        c.block_width = 0;
        expect_rejected(c, vertical);
        c = cfg;
        c.block_height = 0;
        expect_rejected(c, vertical);
    }
}

TEST(ExtractPdRejects, FrameSmallerThanOneBlock) {
    sensor_cfg cfg = blank_cfg(16, 16, 4, 4);
    set_pairs(cfg, {{0, 0, 1, 0}});
    set_pairs_vertical(cfg, {{0, 0, 0, 1}});
    cfg.margin_y = 7;  // 16 < 2 * 7 + 4: no block row
    expect_rejected(cfg, false);
    expect_rejected(cfg, true);
    cfg.margin_y = 0;
    cfg.margin_x = 7;  // no block column, in both layouts
    expect_rejected(cfg, false);
    expect_rejected(cfg, true);
}

TEST(ExtractPdRejects, LimitsBeyondCapacity) {
    sensor_cfg cfg = blank_cfg(16, 16, 4, 4);
    set_pairs(cfg, {{0, 0, 1, 0}});
    set_pairs_vertical(cfg, {{0, 0, 0, 1}});
    for (bool vertical : {false, true}) {
        sensor_cfg c = cfg;
        c.pair_count = 129;
        expect_rejected(c, vertical);
        c = cfg;
        c.margin_x = 9;
        expect_rejected(c, vertical);
        c = cfg;
        c.margin_y = 9;
        expect_rejected(c, vertical);
        // 65535 x 65535 one-pixel blocks: far more than 20,000,000 samples.
        c = blank_cfg(65535, 65535, 1, 1);
        set_pairs(c, {{0, 0, 0, 0}});
        set_pairs_vertical(c, {{0, 0, 0, 0}});
        expect_rejected(c, vertical);
    }
    // 20,000,000 samples pass, one block row more does not.
    sensor_cfg big = blank_cfg(20000, 1001, 1, 1);
    set_pairs(big, {{0, 0, 0, 0}});
    uint16_t w = 0, h = 0;
    big.image_height = 1000;
    EXPECT_EQ(0u, pd_layout_size(big, false, &w, &h));
    EXPECT_EQ(20000, w);
    EXPECT_EQ(1000, h);
    big.image_height = 1001;
    EXPECT_EQ(4u, pd_layout_size(big, false, &w, &h));
}

TEST(ExtractPdRejects, ImageSideBeyondSixteenBits) {
    // Two groups of pixels outside their one-pixel blocks: 2 x 40000 columns.
    sensor_cfg cfg = blank_cfg(40010, 2, 1, 1);
    set_pairs(cfg, {{0, 0, 0, 0}, {5, 0, 5, 0}});
    cfg.margin_x = 5;
    expect_rejected(cfg, false);
    cfg = blank_cfg(2, 40010, 1, 1);
    set_pairs_vertical(cfg, {{0, 0, 0, 0}, {0, 5, 0, 5}});
    cfg.margin_y = 5;
    expect_rejected(cfg, true);
}

TEST(ExtractPdRejects, PdPixelOutsideTheFrame) {
    // 16 x 16 frame, margin 2, 4x4 blocks: 3 x 3 blocks, the last one at 10..13.
    sensor_cfg cfg = blank_cfg(16, 16, 4, 4);
    cfg.margin_x = 2;
    cfg.margin_y = 2;
    set_pairs(cfg, {{0, 0, 1, 0}, {0, 1, 1, 1}});
    set_pairs_vertical(cfg, {{0, 0, 0, 1}, {1, 0, 1, 1}});
    const auto raw = pattern_frame(16, 16);
    for (bool vertical : {false, true}) {
        for (int t = vertical ? 2 : 0; t < (vertical ? 4 : 2); ++t) {
            sensor_cfg c = cfg;
            uint16_t* x = table(c, t, false);
            uint16_t* y = table(c, t, true);
            // Column 2 + 5 + 8 = 15 is the last one of the frame; 16 is not.
            x[1] = 5;
            EXPECT_EQ(0u, run(raw, c, vertical).status) << t;
            x[1] = 6;
            expect_rejected(c, vertical);
            x[1] = 65535;  // would wrap to a column inside the frame
            expect_rejected(c, vertical);
            x[1] = 0;
            y[1] = 5;
            EXPECT_EQ(0u, run(raw, c, vertical).status) << t;
            y[1] = 6;
            expect_rejected(c, vertical);
        }
    }
}

TEST(SubtractBlack, ClampsAtZeroWithinWidthTimesHeight) {
    std::vector<uint16_t> img = {64, 63, 65, 0, 65535, 1000, 100};
    orvane::subtract_black(img.data(), 3, 2, 64);
    EXPECT_EQ((std::vector<uint16_t>{0, 0, 1, 0, 65471, 936, 100}), img);
}
