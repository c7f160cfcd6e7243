#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
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

constexpr uint32_t kGainHigh = ORVANE_GAIN_TOO_HIGH;
constexpr uint32_t kLevelHigh = ORVANE_LEVEL_TOO_HIGH;
constexpr uint32_t kLevelLow = ORVANE_LEVEL_TOO_LOW;
constexpr uint32_t kLens = ORVANE_LENS_OUT_OF_RANGE;

gain_limits lenient(uint16_t max_gain = 65535) { return {max_gain, 0, 65535, 0}; }

// Dual-photodiode flat fields: the two images come straight from the test.
struct GainGeneration : ::testing::Test {
    context_ptr ctx = make_context(gain_settings());
    gainmap map = marked_map();

    uint32_t run(const std::vector<uint16_t>& left, const std::vector<uint16_t>& right, int32_t w,
                 int32_t h, int32_t black, gain_limits limits, float lens = 150.0f) {
        return Orvane_get_gainmap_2pd(ctx.get(), left.data(), right.data(), w, h, black, &map,
                                      &limits, lens);
    }
    static std::vector<uint16_t> flat(int w, int h, uint16_t v) {
        return std::vector<uint16_t>(static_cast<size_t>(w) * h, v);
    }
};

TEST_F(GainGeneration, FlatFieldGivesUnityGainInEveryCell) {
    const auto img = flat(40, 30, 1000);
    EXPECT_EQ(run(img, img, 40, 30, 64, lenient(512)), 0u);
    EXPECT_TRUE(all_equal(map.left, 12, 512));
    EXPECT_TRUE(all_equal(map.right, 12, 512));
    EXPECT_EQ(map.version, 4);
    EXPECT_EQ(map.reserved, 0xAB);  // the version's second byte is the host's
    EXPECT_EQ(map.cols, 4);
    EXPECT_EQ(map.rows, 3);
    EXPECT_EQ(ctx->state.gain_cols, 4);
    EXPECT_EQ(ctx->state.gain_rows, 3);
    // Only the used cells of the horizontal pair are written.
    EXPECT_EQ(map.left[12], 0xABAB);
    EXPECT_EQ(map.right[12], 0xABAB);
    EXPECT_TRUE(all_equal(map.left_v, 256, 0xABAB));
    EXPECT_TRUE(all_equal(map.right_v, 256, 0xABAB));
}

TEST_F(GainGeneration, HalfLevelGetsDoubleGain) {
    // Peak 800 and a cell of 400 after the black level: 1024.
    const auto bright = flat(40, 30, 864);
    const auto dim = flat(40, 30, 464);
    EXPECT_EQ(run(bright, dim, 40, 30, 64, lenient(1024)), 0u);
    EXPECT_TRUE(all_equal(map.left, 12, 512));
    EXPECT_TRUE(all_equal(map.right, 12, 1024));
    EXPECT_EQ(run(bright, dim, 40, 30, 64, lenient(1023)), kGainHigh);
    // Only the low 16 bits of the black level count: 65,600 acts as 64.
    EXPECT_EQ(run(bright, dim, 40, 30, 65536 + 64, lenient()), 0u);
    EXPECT_TRUE(all_equal(map.right, 12, 1024));
}

TEST_F(GainGeneration, GainBeyondSixteenBitsSaturatesAndIsReported) {
    // Peak 1000, shift 9, cell 5: 102,400 does not fit; whatever max_gain.
    const auto bright = flat(8, 6, 1000);
    const auto dark = flat(8, 6, 5);
    EXPECT_EQ(run(bright, dark, 8, 6, 0, lenient(65535)), kGainHigh);
    EXPECT_TRUE(all_equal(map.left, 12, 512));
    EXPECT_TRUE(all_equal(map.right, 12, 65535));
}

TEST_F(GainGeneration, CellAtOrBelowBlackLevelGetsTheLargestGain) {
    const auto bright = flat(8, 6, 1064);
    const auto dark = flat(8, 6, 60);
    EXPECT_EQ(run(bright, dark, 8, 6, 64, lenient()), kGainHigh);
    EXPECT_TRUE(all_equal(map.left, 12, 512));
    EXPECT_TRUE(all_equal(map.right, 12, 65535));
    // Both tables black: the peak counts as 1 and nothing divides by zero.
    EXPECT_EQ(run(dark, dark, 8, 6, 64, lenient()), kGainHigh);
    EXPECT_TRUE(all_equal(map.left, 12, 65535));
}

TEST(GainShift, CountIsTakenModulo32) {
    std::vector<uint16_t> img(8 * 6, 1000);
    const gain_limits limits = lenient();
    for (auto [shift, want, flags] : {std::tuple{int8_t{41}, 512, 0u}, std::tuple{int8_t{0}, 1, 0u},
                                      std::tuple{int8_t{-1}, 65535, kGainHigh}}) {
        context_ptr ctx = make_context(gain_settings(3, 4, shift));
        gainmap map = marked_map();
        EXPECT_EQ(Orvane_get_gainmap_2pd(ctx.get(), img.data(), img.data(), 8, 6, 0, &map, &limits,
                                         150.0f),
                  flags)
            << int{shift};
        EXPECT_TRUE(all_equal(map.left, 12, static_cast<uint16_t>(want))) << int{shift};
    }
}

// Windows of the exposure check, on one row of six samples:
// 100 100 100 100 100 300. Two-sample windows see a mean of 200 at the end,
// three-sample windows at most 166.
TEST_F(GainGeneration, LevelWindowLengthAndItsFallback) {
    std::vector<uint16_t> row = {100, 100, 100, 100, 100, 300};
    std::vector<uint16_t> rows;
    for (int i = 0; i < 4; ++i) rows.insert(rows.end(), row.begin(), row.end());
    const auto quiet = flat(6, 4, 100);
    auto with_window = [&](uint16_t len) {
        return run(rows, quiet, 6, 4, 0, {65535, 0, 199, len}) & (kLevelHigh | kLevelLow);
    };
    EXPECT_EQ(with_window(2), kLevelHigh);
    EXPECT_EQ(with_window(3), 0u);
    EXPECT_EQ(with_window(5), 0u);
    EXPECT_EQ(with_window(0), kLevelHigh);  // 0 acts as 2
    EXPECT_EQ(with_window(6), kLevelHigh);  // the full width acts as 2
    EXPECT_EQ(with_window(7), kLevelHigh);
}

TEST_F(GainGeneration, WindowMeanIsTruncatedBeforeTheComparison) {
    // Every window of 199, 200 has the mean 199.
    std::vector<uint16_t> img;
    for (int i = 0; i < 5; ++i) img.insert(img.end(), {199, 200});
    auto flags = [&](uint16_t min_level, uint16_t max_level) {
        return run(img, img, 2, 5, 0, {65535, min_level, max_level, 2}) & (kLevelHigh | kLevelLow);
    };
    EXPECT_EQ(flags(199, 199), 0u);
    EXPECT_EQ(flags(200, 199), kLevelLow);
    EXPECT_EQ(flags(0, 198), kLevelHigh);
    EXPECT_EQ(flags(200, 198), kLevelHigh | kLevelLow);
}

TEST_F(GainGeneration, OneWindowAnywhereRaisesItsFlag) {
    const int w = 30;
    const int h = 20;
    const auto fine = flat(w, h, 500);
    auto hot = fine;
    hot.back() = 1500;  // last window of the last row of the second image
    auto cold = fine;
    cold[0] = 0;
    const gain_limits limits = {65535, 400, 700, 4};
    EXPECT_EQ(run(fine, fine, w, h, 0, limits), 0u);
    EXPECT_EQ(run(fine, hot, w, h, 0, limits) & (kLevelHigh | kLevelLow), kLevelHigh);
    EXPECT_EQ(run(cold, fine, w, h, 0, limits) & (kLevelHigh | kLevelLow), kLevelLow);
    EXPECT_EQ(run(cold, hot, w, h, 0, limits) & (kLevelHigh | kLevelLow), kLevelHigh | kLevelLow);
}

TEST_F(GainGeneration, ExposureIsJudgedBeforeTheBlackLevel) {
    const auto img = flat(10, 8, 300);
    EXPECT_EQ(run(img, img, 10, 8, 250, {65535, 300, 300, 0}), 0u);
    EXPECT_EQ(run(img, img, 10, 8, 250, {65535, 301, 65535, 0}), kLevelLow);
}

TEST_F(GainGeneration, SingleColumnImageHasNoWindow) {
    const auto img = flat(1, 5, 700);
    EXPECT_EQ(run(img, img, 1, 5, 0, {65535, 65535, 0, 0}), 0u);
    EXPECT_TRUE(all_equal(map.left, 12, 512));
}

TEST_F(GainGeneration, LensPositionIsCheckedWithInclusiveLimits) {
    const auto img = flat(8, 6, 1000);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (float lens : {100.0f, 150.0f, 200.0f, nan}) {
        map = marked_map();
        EXPECT_EQ(run(img, img, 8, 6, 0, lenient(), lens), 0u) << lens;
        EXPECT_EQ(map.version, 4);
    }
    for (float lens : {99.99f, 200.01f, -inf, inf}) {
        map = marked_map();
        EXPECT_EQ(run(img, img, 8, 6, 0, lenient(), lens), kLens) << lens;
        EXPECT_TRUE(all_equal(map.left, 12, 512));  // the map is written anyway
    }
    const auto dark = flat(8, 6, 0);
    EXPECT_EQ(run(img, dark, 8, 6, 0, lenient(), 300.0f), kLens | kGainHigh);
}

TEST(GainGrid, FitsOnlyOneToTwoHundredFiftySixCells) {
    for (auto [rows, cols, fits] :
         {std::tuple{1, 1, true}, std::tuple{16, 16, true}, std::tuple{1, 127, true},
          std::tuple{0, 4, false}, std::tuple{4, 0, false}, std::tuple{17, 16, false},
          std::tuple{-1, 1, false}, std::tuple{1, -128, false}}) {
        context_ptr ctx =
            make_context(gain_settings(static_cast<int8_t>(rows), static_cast<int8_t>(cols)));
        EXPECT_EQ(gain_grid_fits(*ctx), fits) << rows << " x " << cols;
    }
}

TEST(GainRefusals, BadGridWritesNothing) {
    std::vector<uint16_t> img(8 * 6, 1000);
    const gain_limits limits = lenient();
    for (auto [rows, cols] : {std::pair{0, 4}, std::pair{4, 0}, std::pair{17, 16}}) {
        context_ptr ctx =
            make_context(gain_settings(static_cast<int8_t>(rows), static_cast<int8_t>(cols)));
        const state_snapshot before(*ctx);
        gainmap map = marked_map();
        EXPECT_EQ(Orvane_get_gainmap_2pd(ctx.get(), img.data(), img.data(), 8, 6, 0, &map, &limits,
                                         999.0f),
                  kHardFailure);
        EXPECT_TRUE(same_bytes(map, marked_map()));
        EXPECT_TRUE(before.unchanged(*ctx));
    }
}

TEST_F(GainGeneration, ZeroWidthOrHeightWritesNothing) {
    const auto img = flat(40, 8, 1000);
    const state_snapshot before(*ctx);
    EXPECT_EQ(run(img, img, 0, 8, 0, lenient(), 999.0f), kHardFailure);
    EXPECT_EQ(run(img, img, 8, 0, 0, lenient()), kHardFailure);
    EXPECT_EQ(run(img, img, 65536, 8, 0, lenient()), kHardFailure);  // low 16 bits are 0
    EXPECT_TRUE(same_bytes(map, marked_map()));
    EXPECT_TRUE(before.unchanged(*ctx));
    EXPECT_EQ(run(img, img, 65536 + 40, 8, 0, lenient()), 0u);  // acts as 40
}

TEST_F(GainGeneration, MissingScratchWritesNothing) {
    const auto img = flat(40, 30, 1000);
    const state_snapshot before(*ctx);
    {
        test::RefuseAllocations refuse;
        EXPECT_EQ(run(img, img, 40, 30, 0, lenient(), 999.0f), kHardFailure);
    }
    EXPECT_TRUE(same_bytes(map, marked_map()));
    EXPECT_TRUE(before.unchanged(*ctx));
    EXPECT_EQ(run(img, img, 40, 30, 0, lenient()), 0u);
}

}  // namespace
}  // namespace orvane
