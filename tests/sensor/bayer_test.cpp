#include <gtest/gtest.h>

#include <vector>

#include "frames.h"
#include "sensor/sensor.h"

using namespace sensor_test;
using orvane::detect_bayer_channel;
using orvane::detect_bayer_channel_vertical;

namespace {

// Horizontal pairs whose pixels sit at the given phases (block-relative).
void pd_at_phases(sensor_cfg& cfg, std::initializer_list<int> phases) {
    cfg.pair_count = 0;
    for (int p : phases) {
        const uint16_t i = cfg.pair_count++;
        cfg.left_x[i] = cfg.right_x[i] = static_cast<uint16_t>(4 + (p & 1));
        cfg.left_y[i] = cfg.right_y[i] = static_cast<uint16_t>(2 + (p >> 1));
    }
}

struct frame {
    uint16_t width, height;
    std::vector<uint16_t> raw;
    frame(uint16_t w, uint16_t h) : width(w), height(h), raw(size_t(w) * h, 0) {}
    uint16_t& at(uint32_t x, uint32_t y) { return raw[size_t(y) * width + x]; }
};

}  // namespace

TEST(BayerChannel, GivenChannelIsKeptWithoutReadingTheFrame) {
    for (uint16_t given = 1; given <= 4; ++given) {
        sensor_cfg cfg = blank_cfg(8, 4, 8, 8);
        cfg.bayer_channel = given;
        EXPECT_EQ(0, detect_bayer_channel(nullptr, cfg));
        EXPECT_EQ(0, detect_bayer_channel_vertical(nullptr, cfg));
        EXPECT_EQ(given, cfg.bayer_channel);
    }
}

TEST(BayerChannel, CellColumnIsTheFirstBrightestEvenColumn) {
    frame f(8, 4);  // middle row 2
    const uint16_t mid[] = {10, 90, 50, 7, 50, 3, 20, 1};
    for (uint32_t x = 0; x < 8; ++x) f.at(x, 2) = mid[x];
    f.at(2, 3) = 5;  // only column 2 gives phase 2 a positive sample
    sensor_cfg cfg = blank_cfg(8, 4, 8, 8);
    pd_at_phases(cfg, {0, 1, 3});
    for (uint16_t unset : {0, 5, 0xFFFF}) {
        cfg.bayer_channel = unset;
        EXPECT_EQ(0, detect_bayer_channel(f.raw.data(), cfg));
        EXPECT_EQ(3, cfg.bayer_channel);
    }
}

TEST(BayerChannel, BrighterOfTheAdmissiblePhasesWinsAndTiesGoLow) {
    frame f(4, 4);
    f.at(0, 2) = 50;  // bc = 0
    sensor_cfg cfg = blank_cfg(4, 4, 4, 4);
    set_pairs(cfg, {{0, 0, 1, 1}});  // phases 0 and 3 excluded
    struct {
        uint16_t right_of, below;
        uint16_t channel;
    } cases[] = {{30, 20, 2}, {20, 30, 3}, {25, 25, 2}};
    for (const auto& c : cases) {
        f.at(1, 2) = c.right_of;
        f.at(0, 3) = c.below;
        f.at(1, 3) = 1000;  // a PD phase, never chosen
        cfg.bayer_channel = 0;
        EXPECT_EQ(0, detect_bayer_channel(f.raw.data(), cfg));
        EXPECT_EQ(c.channel, cfg.bayer_channel);
    }
}

TEST(BayerChannel, NoPositiveEvenColumnUsesColumnZero) {
    frame f(6, 3);
    f.at(1, 1) = 4;
    f.at(3, 1) = 9;  // odd columns do not choose the cell
    sensor_cfg cfg = blank_cfg(6, 3, 8, 8);
    pd_at_phases(cfg, {2, 3});
    EXPECT_EQ(0, detect_bayer_channel(f.raw.data(), cfg));
    EXPECT_EQ(2, cfg.bayer_channel);
}

TEST(BayerChannel, NoChannelLeavesTheCopyUnchanged) {
    frame f(4, 4);
    for (auto& v : f.raw) v = 100;
    sensor_cfg cfg = blank_cfg(4, 4, 4, 4);
    pd_at_phases(cfg, {0, 1, 2, 3});
    cfg.bayer_channel = 9;
    EXPECT_EQ(-1, detect_bayer_channel(f.raw.data(), cfg));
    EXPECT_EQ(9, cfg.bayer_channel);

    // Admissible samples all zero.
    frame dark(4, 4);
    dark.at(0, 2) = 100;  // phase 0 is a PD phase
    pd_at_phases(cfg, {0});
    EXPECT_EQ(-1, detect_bayer_channel(dark.raw.data(), cfg));
    EXPECT_EQ(9, cfg.bayer_channel);
}

TEST(BayerChannel, OnlyTheFirstPairCountEntriesGiveThePdPhases) {
    frame f(4, 4);
    f.at(0, 2) = 10;
    sensor_cfg cfg = blank_cfg(4, 4, 4, 4);
    pd_at_phases(cfg, {1, 2, 3, 0});
    cfg.pair_count = 3;
    EXPECT_EQ(0, detect_bayer_channel(f.raw.data(), cfg));
    EXPECT_EQ(1, cfg.bayer_channel);
}

TEST(BayerChannel, FramesTooSmallToSearchOrOversizedCountFail) {
    sensor_cfg cfg = blank_cfg(4, 2, 4, 4);
    pd_at_phases(cfg, {0});
    std::vector<uint16_t> two_rows(8, 7);
    EXPECT_EQ(-1, detect_bayer_channel(two_rows.data(), cfg));
    cfg.image_width = 1;
    cfg.image_height = 8;
    std::vector<uint16_t> one_column(8, 7);
    EXPECT_EQ(-1, detect_bayer_channel(one_column.data(), cfg));
    EXPECT_EQ(0, cfg.bayer_channel);

    frame f(4, 4);
    for (auto& v : f.raw) v = 7;
    cfg = blank_cfg(4, 4, 4, 4);
    cfg.pair_count = 129;
    EXPECT_EQ(-1, detect_bayer_channel(f.raw.data(), cfg));
    EXPECT_EQ(-1, detect_bayer_channel_vertical(f.raw.data(), cfg));
}

TEST(BayerChannel, OddWidthNeverReadsPastTheFrame) {
    // 5 x 3 frame held in exactly 15 samples: a cell at column 4 would read
    // column 5 of the last row.
    frame f(5, 3);
    const uint16_t mid[] = {1, 0, 2, 0, 9};
    for (uint32_t x = 0; x < 5; ++x) f.at(x, 1) = mid[x];
    f.at(3, 2) = 7;
    sensor_cfg cfg = blank_cfg(5, 3, 4, 4);
    pd_at_phases(cfg, {0, 1, 2});
    EXPECT_EQ(0, detect_bayer_channel(f.raw.data(), cfg));
    EXPECT_EQ(4, cfg.bayer_channel);
}

TEST(BayerChannel, VerticalUsesTheVerticalTables) {
    frame f(4, 4);
    for (auto& v : f.raw) v = 5;
    f.at(1, 3) = 8;
    sensor_cfg cfg = blank_cfg(4, 4, 4, 4);
    pd_at_phases(cfg, {0, 1, 2, 3});  // horizontal tables cover every phase
    // Vertical tables all zero: only phase 0 holds PD pixels.
    EXPECT_EQ(0, detect_bayer_channel_vertical(f.raw.data(), cfg));
    EXPECT_EQ(4, cfg.bayer_channel);
    cfg.bayer_channel = 0;
    EXPECT_EQ(-1, detect_bayer_channel(f.raw.data(), cfg));
}
