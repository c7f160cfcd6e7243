#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "frames.h"
#include "orvane.h"

using namespace sensor_test;

namespace {

std::vector<uint16_t> canaries() { return std::vector<uint16_t>(64, kCanary); }

}  // namespace

TEST(ValidateSensorCfg, NoPairsLeavesBothImagesUntouched) {
    sensor_cfg cfg = blank_cfg(16, 8, 4, 4);
    const auto raw = pattern_frame(16, 8);
    auto left = canaries(), right = canaries();
    EXPECT_EQ(ORVANE_LAYOUT_UNUSABLE,
              Orvane_validate_sensor_cfg(raw.data(), &cfg, left.data(), right.data()));
    EXPECT_EQ(canaries(), left);
    EXPECT_EQ(canaries(), right);
}

TEST(ValidateSensorCfg, ExtractsFromASortedCopyWithoutBlackLevel) {
    sensor_cfg cfg = blank_cfg(16, 8, 8, 8);
    cfg.black_level = 60000;
    // Out of order: sorted, the left pixels (2, 3) and (2, 5) form the first sample.
    set_pairs(cfg, {{6, 1, 7, 1}, {2, 5, 3, 5}, {2, 3, 3, 3}});
    const sensor_cfg host = cfg;
    const auto raw = pattern_frame(16, 8);
    auto left = canaries(), right = canaries();
    EXPECT_EQ(ORVANE_OK, Orvane_validate_sensor_cfg(raw.data(), &cfg, left.data(), right.data()));
    EXPECT_EQ(0, std::memcmp(&host, &cfg, sizeof cfg));

    const auto mean2 = [](uint16_t a, uint16_t b) { return static_cast<uint16_t>((a + b) >> 1); };
    for (uint32_t c = 0; c < 2; ++c) {
        const uint32_t x = 8 * c;
        EXPECT_EQ(mean2(pattern(x + 2, 3), pattern(x + 2, 5)), left[2 * c]);
        EXPECT_EQ(pattern(x + 6, 1), left[2 * c + 1]);
        EXPECT_EQ(mean2(pattern(x + 3, 3), pattern(x + 3, 5)), right[2 * c]);
        EXPECT_EQ(pattern(x + 7, 1), right[2 * c + 1]);
    }
    EXPECT_EQ(kCanary, left[4]);
    EXPECT_EQ(kCanary, right[4]);
}

TEST(ValidateSensorCfg, UnusableLayoutIsReportedBeforeWriting) {
    sensor_cfg cfg = blank_cfg(16, 8, 4, 4);
    set_pairs(cfg, {{0, 0, 9, 0}});  // right pixel of the last block beyond the frame
    const auto raw = pattern_frame(16, 8);
    auto left = canaries(), right = canaries();
    EXPECT_EQ(ORVANE_LAYOUT_UNUSABLE,
              Orvane_validate_sensor_cfg(raw.data(), &cfg, left.data(), right.data()));
    EXPECT_EQ(canaries(), left);
    EXPECT_EQ(canaries(), right);
}
