#include <gtest/gtest.h>

#include <cstring>

#include "frames.h"
#include "sensor/sensor.h"

using namespace sensor_test;
using orvane::compute_pd_pitch;
using orvane::compute_pd_pitch_vertical;
using orvane::normalize_sensor_cfg;
using orvane::normalize_sensor_cfg_vertical;

namespace {

sensor_cfg with_vertical_noise(sensor_cfg cfg) {
    for (uint16_t i = 0; i < 4; ++i) {
        cfg.v_left_x[i] = static_cast<uint16_t>(9 - i);
        cfg.v_left_y[i] = static_cast<uint16_t>(5 - i);
        cfg.v_right_x[i] = static_cast<uint16_t>(20 - i);
        cfg.v_right_y[i] = static_cast<uint16_t>(30 - i);
    }
    cfg.bayer_channel = 7;
    return cfg;
}

}  // namespace

TEST(NormalizeSensorCfg, SortsHorizontalTablesByColumnThenRowAsPairs) {
    sensor_cfg in = with_vertical_noise(blank_cfg(64, 64, 8, 8));
    // The right table sorts to another order than the left one: tables sort independently.
    set_pairs(in, {{6, 1, 1, 0}, {2, 5, 9, 9}, {2, 3, 5, 4}});
    const sensor_cfg host = in;
    sensor_cfg out;
    normalize_sensor_cfg(in, out);

    EXPECT_EQ(0, std::memcmp(&in, &host, sizeof in));
    const uint16_t lx[] = {2, 2, 6}, ly[] = {3, 5, 1}, rx[] = {1, 5, 9}, ry[] = {0, 4, 9};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(lx[i], out.left_x[i]);
        EXPECT_EQ(ly[i], out.left_y[i]);
        EXPECT_EQ(rx[i], out.right_x[i]);
        EXPECT_EQ(ry[i], out.right_y[i]);
    }
    EXPECT_EQ(0, std::memcmp(in.v_left_x, out.v_left_x, 4 * 128 * sizeof(uint16_t)));
    EXPECT_EQ(7, out.bayer_channel);
}

TEST(NormalizeSensorCfg, VerticalSortsByRowThenColumnAndLeavesHorizontalTables) {
    sensor_cfg in = blank_cfg(64, 64, 8, 8);
    set_pairs(in, {{6, 2, 0, 0}, {2, 5, 0, 0}});  // horizontal: must stay as given
    set_pairs_vertical(in, {{3, 4, 1, 6}, {5, 1, 2, 6}, {0, 4, 9, 0}, {7, 1, 0, 6}});
    sensor_cfg out;
    normalize_sensor_cfg_vertical(in, out);

    const uint16_t lx[] = {5, 7, 0, 3}, ly[] = {1, 1, 4, 4};
    const uint16_t rx[] = {9, 0, 1, 2}, ry[] = {0, 6, 6, 6};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(lx[i], out.v_left_x[i]) << i;
        EXPECT_EQ(ly[i], out.v_left_y[i]) << i;
        EXPECT_EQ(rx[i], out.v_right_x[i]) << i;
        EXPECT_EQ(ry[i], out.v_right_y[i]) << i;
    }
    EXPECT_EQ(6, out.left_x[0]);
    EXPECT_EQ(2, out.left_x[1]);
}

TEST(NormalizeSensorCfg, OneOrNoPairCopiesByteForByte) {
    for (uint16_t n : {0, 1}) {
        sensor_cfg in = with_vertical_noise(blank_cfg(64, 64, 8, 8));
        set_pairs(in, {{6, 1, 7, 0}, {2, 5, 3, 9}});
        in.pair_count = n;
        sensor_cfg out;
        normalize_sensor_cfg(in, out);
        EXPECT_EQ(0, std::memcmp(&in, &out, sizeof in)) << n;
        normalize_sensor_cfg_vertical(in, out);
        EXPECT_EQ(0, std::memcmp(&in, &out, sizeof in)) << n;
    }
}

TEST(NormalizeSensorCfg, InPlaceAndOversizedCountStayInsideTheRecord) {
    sensor_cfg cfg = blank_cfg(64, 64, 8, 8);
    for (uint16_t i = 0; i < 128; ++i) cfg.left_x[i] = static_cast<uint16_t>(127 - i);
    cfg.pair_count = 0xFFFF;
    normalize_sensor_cfg(cfg, cfg);
    for (uint16_t i = 0; i < 128; ++i) ASSERT_EQ(i, cfg.left_x[i]);
    normalize_sensor_cfg_vertical(cfg, cfg);
    EXPECT_EQ(8, compute_pd_pitch_vertical(cfg));
}

TEST(PdPitch, FallsBackToBlockSizeWithoutTwoDistinctColumns) {
    sensor_cfg cfg = blank_cfg(64, 64, 16, 32);
    set_pairs(cfg, {{3, 0, 0, 0}, {3, 4, 0, 0}, {3, 8, 0, 0}});
    EXPECT_EQ(16, compute_pd_pitch(cfg));
    cfg.pair_count = 1;
    EXPECT_EQ(16, compute_pd_pitch(cfg));
    cfg.pair_count = 0;
    EXPECT_EQ(16, compute_pd_pitch(cfg));
    EXPECT_EQ(32, compute_pd_pitch_vertical(cfg));
}

TEST(PdPitch, TwoDistinctColumnsGiveTheirGap) {
    sensor_cfg cfg = blank_cfg(64, 64, 16, 16);
    set_pairs(cfg, {{0, 0, 0, 0}, {0, 1, 0, 0}, {4, 0, 0, 0}, {4, 1, 0, 0}});
    EXPECT_EQ(4, compute_pd_pitch(cfg));
}

TEST(PdPitch, MeanOfTheFirstTwoGapsOnly) {
    sensor_cfg cfg = blank_cfg(64, 64, 16, 16);
    set_pairs(cfg, {{0, 0, 0, 0}, {2, 0, 0, 0}, {6, 0, 0, 0}, {8, 0, 0, 0}});
    EXPECT_EQ(3, compute_pd_pitch(cfg));
    cfg.left_x[2] = 5;  // (2 + 3) / 2 truncates
    EXPECT_EQ(2, compute_pd_pitch(cfg));
}

TEST(PdPitch, VerticalUsesFirstPixelRows) {
    sensor_cfg cfg = blank_cfg(64, 64, 16, 16);
    set_pairs_vertical(cfg, {{0, 1, 0, 0}, {6, 1, 0, 0}, {12, 5, 0, 0}});
    EXPECT_EQ(4, compute_pd_pitch_vertical(cfg));
    EXPECT_EQ(16, compute_pd_pitch(cfg));  // horizontal tables are all zero
}
