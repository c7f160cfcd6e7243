#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "pd/pd.h"

namespace orvane {
namespace {

std::vector<int32_t> filtered(std::vector<int32_t> p, std::vector<float> taps) {
    filter_profile(p.data(), uint16_t(p.size()), taps.data(), int8_t(taps.size()));
    return p;
}

TEST(Profiles, ColumnAndRowSumsOfACutOut) {
    const uint16_t roi[2 * 3] = {1, 2, 3, 10, 20, 30};
    int32_t cols[3] = {-1, -1, -1};
    int32_t rows[2] = {-1, -1};
    column_sums(roi, 3, 2, cols);
    row_sums(roi, 3, 2, rows);
    EXPECT_EQ(std::vector<int32_t>(cols, cols + 3), (std::vector<int32_t>{11, 22, 33}));
    EXPECT_EQ(std::vector<int32_t>(rows, rows + 2), (std::vector<int32_t>{6, 60}));
}

TEST(Profiles, SumsBeyondTheInt32RangeWrap) {
    const std::vector<uint16_t> roi(65535, 0xFFFF);
    int32_t col = 0, row = 0;
    column_sums(roi.data(), 1, 65535, &col);
    EXPECT_EQ(col, -131071);  // 65535 * 65535 - 2^32
    row_sums(roi.data(), 65535, 1, &row);
    EXPECT_EQ(row, col);
}

TEST(FilterProfile, ReplicatesEdgesAndTruncates) {
    const std::vector<int32_t> p = {10, 20, 30, 40};
    EXPECT_EQ(filtered(p, {0.25f, 0.5f, 0.25f}), (std::vector<int32_t>{12, 20, 30, 37}));
    EXPECT_EQ(filtered(p, {-1.0f, 0.0f, 1.0f}), (std::vector<int32_t>{10, 20, 20, 10}));
    EXPECT_EQ(filtered(p, {0.5f, 0.5f}), (std::vector<int32_t>{10, 15, 25, 35}));
    EXPECT_EQ(filtered(p, {}), (std::vector<int32_t>{0, 0, 0, 0}));
}

TEST(FilterProfile, MatchesASequentialReferenceBitForBit) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 20; ++trial) {
        const int n = 1 + int(rng() % 6000);
        const int t = int(rng() % 32);
        std::vector<int32_t> p(static_cast<size_t>(n));
        for (auto& v : p) v = int32_t(rng() % 8000000) - 1000000;
        std::vector<float> taps(static_cast<size_t>(t));
        for (auto& v : taps) v = float(int(rng() % 2001) - 1000) / 997.0f;
        const int h = t / 2;
        std::vector<int32_t> expect(static_cast<size_t>(n));
        for (int j = 0; j < n; ++j) {
            float out = 0.0f;
            for (int k = 0; k < t; ++k) {
                const int src = std::min(std::max(j + k - h, 0), n - 1);
                out = out + float(p[size_t(src)]) * taps[size_t(k)];
            }
            expect[size_t(j)] = int32_t(out);
        }
        EXPECT_EQ(filtered(p, taps), expect) << "n " << n << " taps " << t;
    }
}

TEST(SadCurve, WorkedProfilePair) {
    const int32_t a[10] = {1, 2, 3, 10, 3, 2, 1, 1, 1, 1};
    const int32_t b[10] = {1, 1, 1, 2, 3, 10, 3, 2, 1, 1};
    float curve[5];
    compute_sad_curve(a, b, 10, curve, 2);
    EXPECT_EQ(std::vector<float>(curve, curve + 5), (std::vector<float>{24, 24, 21, 17, 0}));
}

TEST(SadCurve, TooShortProfilesGiveAnAllZeroCurve) {
    const int32_t a[4] = {1, 9, 3, 4};
    const int32_t b[4] = {5, 6, 7, 8};
    float curve[7] = {1, 1, 1, 1, 1, 1, 1};
    compute_sad_curve(a, b, 4, curve, 2);
    EXPECT_EQ(std::vector<float>(curve, curve + 5), std::vector<float>(5, 0.0f));
    EXPECT_EQ(curve[5], 1.0f);
}

TEST(SadCurve, DifferencesWrapAs32BitIntegers) {
    const int32_t a[1] = {INT32_MAX};
    const int32_t b[1] = {INT32_MIN};
    const int32_t c[1] = {0};
    float curve = 0.0f;
    compute_sad_curve(a, b, 1, &curve, 0);
    EXPECT_EQ(curve, 1.0f);
    compute_sad_curve(b, c, 1, &curve, 0);
    EXPECT_EQ(curve, -2147483648.0f);
}

TEST(SadCurve, MatchesAPlainShiftByShiftLoopBitForBit) {
    std::mt19937 rng(11);
    for (int trial = 0; trial < 40; ++trial) {
        const int n = 1 + int(rng() % 6000);
        const int s_range = int(rng() % 51);
        std::vector<int32_t> a(static_cast<size_t>(n)), b(static_cast<size_t>(n));
        for (auto& v : a) v = int32_t(rng() % 30000000);
        for (auto& v : b) v = int32_t(rng() % 30000000);
        float expect[101] = {};
        for (int s = 0; s <= 2 * s_range; ++s) {
            float sum = 0.0f;
            for (int k = s_range; k < n - s_range; ++k) {
                sum = sum + float(std::abs(a[size_t(k)] - b[size_t(k + s - s_range)]));
            }
            expect[s] = sum;
        }
        float curve[101];
        compute_sad_curve(a.data(), b.data(), uint16_t(n), curve, uint16_t(s_range));
        EXPECT_EQ(std::memcmp(curve, expect, sizeof(float) * size_t(2 * s_range + 1)), 0)
            << "n " << n << " S " << s_range;
    }
}

struct minimum_case {
    std::vector<float> curve;
    uint16_t pitch;
    int16_t m;
    float disparity;
    int16_t confidence;
};

TEST(SadMinimum, WorkedCurves) {
    const minimum_case cases[] = {
        {{10, 6, 2, 4, 9}, 2, 2, 0.33333349f, 1024},
        {{10, 9, 8, 9, 10}, 3, 2, 0.0f, 834},
        {{3, 1, 1, 4, 5}, 1, 1, -0.5f, -1},
        {{5, 5, 5}, 2, 0, -2.0f, 0},
        {{9, 7, 5, 3, 1}, 2, 4, 4.0f, 1024},
        {{7}, 3, 0, 0.0f, 0},
        {{0, 0, 0, 0, 0}, 3, 0, -6.0f, 0},
        {{20, 15, 11, 7, 3, 9, 12, 14, 16, 18, 20}, 4, 4, -4.3999996f, -1},
    };
    for (const minimum_case& c : cases) {
        const uint16_t s_range = uint16_t(c.curve.size() / 2);
        float d = 99.0f;
        int16_t m = -1;
        find_sad_minimum(c.curve.data(), s_range, c.pitch, &d, &m);
        EXPECT_EQ(m, c.m) << c.curve[0];
        EXPECT_EQ(d, c.disparity) << c.curve[0];
        if (c.confidence >= 0) {
            int16_t conf = -1;
            sad_confidence(c.curve.data(), s_range, uint16_t(m), &conf);
            EXPECT_EQ(conf, c.confidence) << c.curve[0];
        }
    }
}

TEST(SadConfidence, UsesAtMostSevenValuesAroundTheMinimum) {
    // Ratio 8 / (68 / 7) is below 0.84: full confidence; 9 / (69 / 7) lies on
    // the slope. The far entries 0 and 8 must not count.
    const float sharp[9] = {0.0f, 10.0f, 10.0f, 10.0f, 8.0f, 10.0f, 10.0f, 10.0f, 0.0f};
    const float soft[9] = {0.0f, 10.0f, 10.0f, 10.0f, 9.0f, 10.0f, 10.0f, 10.0f, 0.0f};
    int16_t conf = -1;
    sad_confidence(sharp, 4, 4, &conf);
    EXPECT_EQ(conf, 1024);
    sad_confidence(soft, 4, 4, &conf);
    EXPECT_EQ(conf, 556);
}

}  // namespace
}  // namespace orvane
