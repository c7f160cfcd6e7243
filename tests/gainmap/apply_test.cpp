#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <vector>

#include "gainmap/gainmap.h"

namespace orvane {
namespace {

// The context's column scratch is 384 KB; tests keep their own.
struct ApplyGain : ::testing::Test {
    std::unique_ptr<gain_columns> columns = std::make_unique<gain_columns>();

    void apply(std::vector<uint16_t>& img, int w, int h, const std::vector<uint16_t>& table,
               int cols, int rows) {
        apply_gain_table(img.data(), static_cast<uint16_t>(w), static_cast<uint16_t>(h),
                         table.data(), static_cast<uint16_t>(cols), static_cast<uint16_t>(rows),
                         *columns);
    }
};

// Straight from the description, one pixel at a time: float positions and
// fractions, four separately truncated weights, a saturated product.
void reference_apply(std::vector<uint16_t>& img, int w, int h, const std::vector<uint16_t>& t,
                     int cols, int rows) {
    const float step_y = h > 1 ? static_cast<float>(rows) / static_cast<float>(h - 1) : 0.0f;
    const float step_x = w > 1 ? static_cast<float>(cols) / static_cast<float>(w - 1) : 0.0f;
    for (int i = 0; i < h; ++i) {
        const float pos_y = static_cast<float>(i) * step_y;
        const auto k = static_cast<uint16_t>(pos_y);
        const float frac_y = pos_y - static_cast<float>(k);
        const int r0 = std::min<int>(k, rows - 1);
        const int r1 = std::min<int>(k + 1, rows - 1);
        for (int j = 0; j < w; ++j) {
            const float pos_x = static_cast<float>(j) * step_x;
            const auto f = static_cast<uint16_t>(pos_x);
            const float frac_x = pos_x - static_cast<float>(f);
            const int c0 = std::min<int>(f, cols - 1);
            const int c1 = std::min<int>(f + 1, cols - 1);
            const int w11 = static_cast<int>(frac_y * frac_x * 256.0f);
            const int w10 = static_cast<int>((1.0f - frac_x) * frac_y * 256.0f);
            const int w00 = static_cast<int>((1.0f - frac_y) * (1.0f - frac_x) * 256.0f);
            const int w01 = static_cast<int>((1.0f - frac_y) * frac_x * 256.0f);
            const int sum = w11 * t[r1 * cols + c1] + w10 * t[r1 * cols + c0] +
                            w00 * t[r0 * cols + c0] + w01 * t[r0 * cols + c1];
            const auto gain = static_cast<uint16_t>(sum >> 8);
            const uint32_t v = (static_cast<uint32_t>(gain) * img[i * w + j]) >> 9;
            img[i * w + j] = static_cast<uint16_t>(v > 65535 ? 65535 : v);
        }
    }
}

TEST_F(ApplyGain, UnityTableLosesAFewUnitsBetweenCells) {
    // 11 x 11 image, 3 columns x 7 rows: at (1, 1) frac_x = 0.3, frac_y =
    // 0.7, the weights truncate to 53, 125, 53, 23 (sum 254), gain 508.
    std::vector<uint16_t> img(11 * 11, 1000);
    const std::vector<uint16_t> table(3 * 7, 512);
    apply(img, 11, 11, table, 3, 7);
    EXPECT_EQ(img[1 * 11 + 1], 992);
    EXPECT_EQ(img[0], 1000);             // both fractions 0: gain exactly 512
    EXPECT_EQ(img[10 * 11 + 10], 1000);  // last row and column: clamped cell
    EXPECT_EQ(img[0 * 11 + 10], 1000);
}

TEST_F(ApplyGain, FirstSampleTakesTheFirstGain) {
    std::vector<uint16_t> img(5 * 4, 1000);
    std::vector<uint16_t> table = {700, 9000, 9000, 9000};
    apply(img, 5, 4, table, 2, 2);
    EXPECT_EQ(img[0], 1000 * 700 / 512);
}

TEST_F(ApplyGain, OneStepPerColumnNeedsNoInterpolation) {
    // 11 columns over a 10-column table: step 1.0, column j uses min(j, 9).
    std::vector<uint16_t> table(10);
    for (int c = 0; c < 10; ++c) table[c] = static_cast<uint16_t>(300 + 50 * c);
    std::vector<uint16_t> img(11 * 2, 512);
    apply(img, 11, 2, table, 10, 1);
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 11; ++j) EXPECT_EQ(img[i * 11 + j], table[std::min(j, 9)]) << j;
}

TEST_F(ApplyGain, SingleCellTableAppliesOneGainLoweredByTruncation) {
    std::vector<uint16_t> img(11 * 11, 1000);
    apply(img, 11, 11, {1024}, 1, 1);
    EXPECT_EQ(img[0], 2000);
    EXPECT_EQ(img[1 * 11 + 1], 1992);  // weights 2 + 23 + 207 + 23 = 255
    for (uint16_t v : img) {
        EXPECT_LE(v, 2000);
        EXPECT_GE(v, 1976);  // at most 3 units of weight are lost
    }
}

TEST_F(ApplyGain, CorrectedSampleSaturates) {
    std::vector<uint16_t> img = {40000, 100, 65535, 1};
    apply(img, 2, 2, {1024}, 1, 1);
    EXPECT_EQ(img, (std::vector<uint16_t>{65535, 200, 65535, 2}));
}

TEST_F(ApplyGain, SingleRowOrColumnUsesTablePositionZero) {
    const std::vector<uint16_t> table = {1024, 64, 64, 64};  // 2 x 2
    std::vector<uint16_t> column(1 * 6, 1000);
    apply(column, 1, 6, table, 2, 2);
    EXPECT_EQ(column[0], 2000);  // row 0 at table row 0, column 0
    EXPECT_LT(column[5], 2000);  // rows still interpolate
    std::vector<uint16_t> row(6 * 1, 1000);
    apply(row, 6, 1, table, 2, 2);
    EXPECT_EQ(row[0], 2000);
    EXPECT_LT(row[5], 2000);
    std::vector<uint16_t> one = {1000};
    apply(one, 1, 1, table, 2, 2);
    EXPECT_EQ(one[0], 2000);
}

TEST_F(ApplyGain, EmptyTableLeavesTheImage) {
    std::vector<uint16_t> img(4 * 4, 1234);
    apply(img, 4, 4, {512}, 0, 1);
    apply(img, 4, 4, {512}, 1, 0);
    EXPECT_EQ(img, std::vector<uint16_t>(16, 1234));
}

TEST_F(ApplyGain, MatchesPerPixelReferenceOnRandomInput) {
    std::mt19937 rng(2024);
    std::uniform_int_distribution<int> sample(0, 65535);
    std::uniform_int_distribution<int> gain(0, 2048);
    for (int round = 0; round < 300; ++round) {
        const int w = std::uniform_int_distribution<int>(1, round < 250 ? 90 : 700)(rng);
        const int h = std::uniform_int_distribution<int>(1, 60)(rng);
        const int cols = std::uniform_int_distribution<int>(1, round % 3 == 0 ? 120 : 17)(rng);
        const int rows = std::uniform_int_distribution<int>(1, 16)(rng);
        std::vector<uint16_t> table(static_cast<size_t>(cols) * rows);
        for (auto& g : table) g = static_cast<uint16_t>(round % 7 == 0 ? sample(rng) : gain(rng));
        std::vector<uint16_t> img(static_cast<size_t>(w) * h);
        for (auto& v : img) v = static_cast<uint16_t>(sample(rng));
        std::vector<uint16_t> want = img;
        reference_apply(want, w, h, table, cols, rows);
        apply(img, w, h, table, cols, rows);
        ASSERT_EQ(img, want) << w << "x" << h << " table " << cols << "x" << rows;
    }
}

TEST_F(ApplyGain, TimingOfAFullPdImage) {
    const int w = 4000;
    const int h = 750;
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> d(0, 4095);
    std::vector<uint16_t> img(static_cast<size_t>(w) * h);
    for (auto& v : img) v = static_cast<uint16_t>(d(rng));
    std::vector<uint16_t> table(16 * 12);
    for (auto& g : table) g = static_cast<uint16_t>(480 + d(rng) % 100);
    std::vector<uint16_t> want = img;
    const auto r0 = std::chrono::steady_clock::now();
    reference_apply(want, w, h, table, 16, 12);
    const auto r1 = std::chrono::steady_clock::now();

    const int runs = 10;
    double best = 1e9;
    for (int r = 0; r < runs; ++r) {
        std::vector<uint16_t> work = img;
        const auto t0 = std::chrono::steady_clock::now();
        apply(work, w, h, table, 16, 12);
        const auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::milli>(t1 - t0).count());
        if (r == 0) {
            ASSERT_EQ(work, want);
        }
    }
    std::printf(
        "apply_gain_table 4000 x 750, 16 x 12 table: %.3f ms (best of %d); "
        "per-pixel reference %.3f ms\n",
        best, runs, std::chrono::duration<double, std::milli>(r1 - r0).count());
}

}  // namespace
}  // namespace orvane
