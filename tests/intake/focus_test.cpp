#include "intake/focus.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "intake_fixture.h"

namespace orvane {
namespace {

using intake_test::base_settings;
using intake_test::make_context;
using ::testing::ElementsAre;

std::vector<int16_t> filtered(const std::vector<uint16_t>& src, uint16_t w, uint16_t h) {
    std::vector<int16_t> out(src.size());
    bandpass_filter(src.data(), out.data(), w, h, kBandpass);
    return out;
}

// Runs of `run` columns alternating between two levels, starting with `a`.
std::vector<int32_t> bars(int32_t n, int32_t run, int32_t a, int32_t b) {
    std::vector<int32_t> p(static_cast<size_t>(n));
    for (int32_t c = 0; c < n; ++c) p[static_cast<size_t>(c)] = (c / run) % 2 == 0 ? a : b;
    return p;
}

struct analysis {
    bool ok;
    line_result lines;
    std::string printed;
};

analysis analyse(const std::vector<int32_t>& profile) {
    std::vector<int32_t> widths(profile.size() + 1);
    analysis a{false, {-1, -1, -1}, {}};
    testing::internal::CaptureStdout();
    a.ok = line_analysis(profile.data(), static_cast<int32_t>(profile.size()), widths.data(),
                         &a.lines, nullptr);
    a.printed = testing::internal::GetCapturedStdout();
    return a;
}

// ---- band-pass filter ------------------------------------------------------

TEST(Bandpass, ConstantInputGivesTheStartUpResponse) {
    // 4 x 3: the state carries from one row into the next.
    const std::vector<uint16_t> src(12, 100);
    EXPECT_THAT(filtered(src, 4, 3),
                ElementsAre(50, 88, 28, -46, -57, -7, 38, 35, -3, -29, -20, 7));
}

TEST(Bandpass, PulsesFollowTheRecurrenceAcrossRows) {
    const std::vector<uint16_t> src = {0, 0, 100, 100, 0, 0, 100, 100, 0, 0};
    EXPECT_THAT(filtered(src, 5, 2), ElementsAre(0, 0, 50, 88, -21, -134, -35, 127, 74, -91));
}

TEST(Bandpass, BrightEdgesSaturateInsteadOfWrapping) {
    // A full-scale step up, settled, then down: the filter overshoots the
    // 16-bit range both ways (about 0.88 x 65535 on the second sample).
    std::vector<uint16_t> src(400, 65535);
    for (size_t i = 200; i < 400; ++i) src[i] = 0;
    const std::vector<int16_t> out = filtered(src, 400, 1);
    EXPECT_EQ(out[0], 32767);
    EXPECT_EQ(out[1], 32767);  // wrapped, it would have been negative
    EXPECT_EQ(out[199], 0);
    EXPECT_EQ(out[200], -32767);
    EXPECT_EQ(out[201], -32768);
}

TEST(Bandpass, SaturatingStoreMatchesTheReferenceConversion) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float specials[] = {0.0f,      -0.0f,     0.99f,    -0.99f,   1.5f,      -1.5f,
                              32766.9f,  32767.0f,  32767.5f, 32768.0f, -32767.9f, -32768.0f,
                              -32768.5f, -32769.0f, 1e9f,     -1e9f,    3.0e38f,   -3.0e38f,
                              inf,       -inf,      nan,      -nan};
    for (float v : specials) EXPECT_EQ(saturate16(v), trunc16_sat(v)) << v;
    EXPECT_EQ(saturate16(nan), 0);
    EXPECT_EQ(saturate16(40000.0f), 32767);
    EXPECT_EQ(saturate16(-40000.0f), -32768);
    for (float v = -70000.0f; v <= 70000.0f; v += 0.37f) {
        ASSERT_EQ(saturate16(v), trunc16_sat(v)) << v;
    }
}

// ---- sums -------------------------------------------------------------------

// Term by term, in the order the library adds them.
float plain_abs_sum(const std::vector<int16_t>& s, uint16_t first, uint16_t end, uint16_t w,
                    uint16_t h) {
    float sum = 0.0f;
    for (uint32_t r = 0; r < h; ++r)
        for (uint32_t c = first; c < end; ++c)
            sum += static_cast<float>(std::abs(static_cast<int32_t>(s[r * w + c])));
    return sum;
}

std::vector<int16_t> noise(size_t n, uint32_t seed) {
    std::vector<int16_t> s(n);
    uint32_t x = seed;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1664525u + 1013904223u;
        s[i] = static_cast<int16_t>(static_cast<uint16_t>(x >> 16));
    }
    return s;
}

TEST(AbsSum, CountsMinus32768As32768AndSkipsOtherColumns) {
    const std::vector<int16_t> s = {-32768, 5, -7, 1000, 3, -3};
    EXPECT_EQ(abs_sum(s.data(), 0, 3, 3, 2), 32768.0f + 5 + 7 + 1000 + 3 + 3);
    EXPECT_EQ(abs_sum(s.data(), 1, 2, 3, 2), 5.0f + 3.0f);
    EXPECT_EQ(abs_sum(s.data(), 2, 2, 3, 2), 0.0f);
    EXPECT_EQ(abs_sum(s.data(), 3, 1, 3, 2), 0.0f);
}

TEST(AbsSum, LargeSumsRoundExactlyLikeASequentialFloatSum) {
    // Totals far beyond 2^24, where every addition rounds.
    const uint16_t w = 700, h = 300;
    const std::vector<int16_t> s = noise(size_t(w) * h, 7);
    EXPECT_EQ(abs_sum(s.data(), 0, w, w, h), plain_abs_sum(s, 0, w, w, h));
    EXPECT_EQ(abs_sum(s.data(), 13, 611, w, h), plain_abs_sum(s, 13, 611, w, h));
    // Small samples: the total crosses 2^24 in the middle of a row.
    std::vector<int16_t> small(size_t(w) * h);
    for (size_t i = 0; i < small.size(); ++i) small[i] = static_cast<int16_t>(s[i] % 200);
    EXPECT_EQ(abs_sum(small.data(), 0, w, w, h), plain_abs_sum(small, 0, w, w, h));
}

TEST(TaperedSum, WeightsRiseAndFallOverAQuarterOfTheWidthEach) {
    std::vector<uint16_t> weights(16);
    tapered_weights(8, weights.data());
    EXPECT_THAT(std::vector<uint16_t>(weights.begin(), weights.begin() + 8),
                ElementsAre(0, 128, 256, 256, 256, 256, 256, 128));
    tapered_weights(13, weights.data());  // R = 3
    EXPECT_THAT(std::vector<uint16_t>(weights.begin(), weights.begin() + 13),
                ElementsAre(0, 85, 170, 256, 256, 256, 256, 256, 256, 256, 256, 170, 85));
    // Below 4 columns there is no ramp: the plain absolute sum.
    const std::vector<int16_t> s = {-32768, 17, -300, 4, 5, -6};
    EXPECT_EQ(tapered_sum(s.data(), 3, 2, weights.data()), abs_sum(s.data(), 0, 3, 3, 2));
    EXPECT_THAT(std::vector<uint16_t>(weights.begin(), weights.begin() + 3),
                ElementsAre(256, 256, 256));
}

TEST(TaperedSum, WeightedTermsTruncateBeforeTheFloatSum) {
    const std::vector<int16_t> s = {7, 7, 7, 7, 7, 7, 7, 7};
    std::vector<uint16_t> weights(8);
    // Terms (7 * w) / 256: 0, 3, 7, 7, 7, 7, 7, 3.
    EXPECT_EQ(tapered_sum(s.data(), 8, 1, weights.data()), 41.0f);

    const uint16_t w = 1500, h = 200;
    const std::vector<int16_t> big = noise(size_t(w) * h, 3);
    weights.resize(w);
    tapered_weights(w, weights.data());
    float expect = 0.0f;
    for (uint32_t r = 0; r < h; ++r)
        for (uint32_t c = 0; c < w; ++c)
            expect += static_cast<float>(
                (std::abs(static_cast<int32_t>(big[r * w + c])) * weights[c]) / 256);
    EXPECT_EQ(tapered_sum(big.data(), w, h, weights.data()), expect);
}

// ---- line analysis ------------------------------------------------------------

TEST(LineAnalysis, FindsTheBarCentresAndStepsOfARegularPattern) {
    const analysis a = analyse(bars(40, 5, 100, 900));
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(a.lines.first, 7);
    EXPECT_EQ(a.lines.last, 32);
    EXPECT_EQ(a.lines.steps, 5);
    EXPECT_EQ(a.printed, "");
}

TEST(LineAnalysis, BarsBrighterThan1024AreFound) {
    const analysis a = analyse(bars(40, 5, 2000, 3000));
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(a.lines.first, 7);
    EXPECT_EQ(a.lines.last, 32);
    EXPECT_EQ(a.lines.steps, 5);
    EXPECT_EQ(a.printed, "");
}

TEST(LineAnalysis, UnevenBarsAreReported) {
    // One dark bar three times as wide as the others.
    std::vector<int32_t> p = bars(40, 5, 100, 900);
    for (int c = 20; c < 30; ++c) p[c] = 100;
    const analysis a = analyse(p);
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.printed, "line width problem\n");
}

TEST(LineAnalysis, BarsThatLeaveWideMarginsAreReported) {
    // Bars only in the first half: the last centre lies far from the end.
    std::vector<int32_t> p = bars(80, 5, 100, 900);
    for (int c = 40; c < 80; ++c) p[c] = 500;
    const analysis a = analyse(p);
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.printed, "line width problem\n");
}

TEST(LineAnalysis, SilentFailures) {
    // Featureless: no bar at all.
    analysis a = analyse(std::vector<int32_t>(30, 100));
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.printed, "");
    // One bright bar that runs to the end of the profile.
    std::vector<int32_t> p(30, 100);
    for (int c = 10; c < 30; ++c) p[c] = 900;
    a = analyse(p);
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.printed, "");
}

TEST(LineAnalysis, ExtremeLevelsWrapLike32BitArithmetic) {
    // The mean, the levels and their halfway points wrap as 32-bit integer
    // arithmetic does; no step may overflow.
    const int32_t lowest = std::numeric_limits<int32_t>::min();
    const int32_t highest = std::numeric_limits<int32_t>::max();
    EXPECT_FALSE(analyse({lowest}).ok);
    EXPECT_FALSE(analyse({highest, lowest, highest}).ok);
    // The dark level wraps past the bright one, yet every bar still falls
    // on its side of the levels.
    const analysis a = analyse(bars(40, 5, lowest, highest));
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(a.lines.first, 7);
    EXPECT_EQ(a.lines.last, 32);
    EXPECT_EQ(a.lines.steps, 5);
}

TEST(LineAnalysis, ManyBarsFitTheWidthTable) {
    // 4000 columns of bars 4 wide: about a thousand widths.
    const analysis a = analyse(bars(4000, 4, 100, 900));
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(a.lines.first, 6);
    EXPECT_EQ(a.lines.last, 3993);
    EXPECT_EQ(a.lines.steps, 997);
}

// ---- window focus ---------------------------------------------------------------

struct focus_case {
    uint8_t abs_sum;
    uint8_t tapered;
};

class WindowFocus : public ::testing::Test {
protected:
    float focus(const std::vector<uint16_t>& roi, uint16_t w, uint16_t h, focus_case v) {
        cal_settings s = base_settings();
        s.focus_abs_sum = v.abs_sum;
        s.focus_tapered = v.tapered;
        auto ctx = make_context(s);
        testing::internal::CaptureStdout();
        const float value = window_focus(*ctx, roi.data(), w, h);
        printed = testing::internal::GetCapturedStdout();
        return value;
    }
    std::string printed;
};

// Two rows of bars whose column means alternate 200 / 800 in runs of 5.
std::vector<uint16_t> two_row_bars() {
    std::vector<uint16_t> roi(80);
    for (int c = 0; c < 40; ++c) {
        const bool dark = (c / 5) % 2 == 0;
        roi[c] = dark ? 100 : 900;
        roi[40 + c] = dark ? 300 : 700;
    }
    return roi;
}

TEST_F(WindowFocus, LinePatternSumsBetweenTheOuterBarCentresPerStep) {
    const std::vector<uint16_t> roi = two_row_bars();
    const float value = focus(roi, 40, 2, {0, 0});
    // Smoothed means give bar centres 7 and 32 with 5 steps.
    const std::vector<int16_t> f = filtered(roi, 40, 2);
    EXPECT_EQ(value, abs_sum(f.data(), 7, 32, 40, 2) / 5.0f);
    EXPECT_GT(value, 0.0f);
}

TEST_F(WindowFocus, FailedLineAnalysisNegatesTheWholeSum) {
    const std::vector<uint16_t> roi(20, 100);
    const float value = focus(roi, 10, 2, {0, 0});
    const std::vector<int16_t> f = filtered(roi, 10, 2);
    EXPECT_EQ(value, -abs_sum(f.data(), 0, 10, 10, 2));
    EXPECT_LT(value, 0.0f);
    EXPECT_EQ(printed, "");
}

TEST_F(WindowFocus, EmptyWindowFailsTheLineAnalysis) {
    const std::vector<uint16_t> roi(1, 0);
    EXPECT_LT(focus(roi, 0, 5, {0, 0}), 0.0f);
    EXPECT_LT(focus(roi, 5, 0, {0, 0}), 0.0f);
    EXPECT_EQ(focus(roi, 0, 5, {1, 0}), 0.0f);
    EXPECT_EQ(focus(roi, 5, 0, {0, 1}), 0.0f);
}

TEST_F(WindowFocus, VariantsAreChosenBySettings) {
    const std::vector<uint16_t> roi = two_row_bars();
    const std::vector<int16_t> f = filtered(roi, 40, 2);
    const float whole = abs_sum(f.data(), 0, 40, 40, 2);
    std::vector<uint16_t> weights(40);
    const float tapered = tapered_sum(f.data(), 40, 2, weights.data());
    ASSERT_NE(whole, tapered);
    EXPECT_EQ(focus(roi, 40, 2, {1, 0}), whole);
    EXPECT_EQ(focus(roi, 40, 2, {1, 1}), whole);
    EXPECT_EQ(focus(roi, 40, 2, {0, 1}), tapered);
    EXPECT_EQ(focus(roi, 40, 2, {2, 1}), tapered);
    EXPECT_NE(focus(roi, 40, 2, {2, 2}), whole);  // neither flag is 1: line pattern
}

TEST_F(WindowFocus, WideWindowsUseTheFullTables) {
    // 6000 columns: beyond any small fixed table, within the cut-out buffer.
    const uint16_t w = 6000, h = 3;
    std::vector<uint16_t> roi(size_t(w) * h);
    for (uint32_t r = 0; r < h; ++r)
        for (uint32_t c = 0; c < w; ++c) roi[r * w + c] = (c / 6) % 2 == 0 ? 150 : 850;
    EXPECT_GT(focus(roi, w, h, {0, 0}), 0.0f);
    EXPECT_EQ(printed, "");
    EXPECT_GT(focus(roi, w, h, {0, 1}), 0.0f);
}

// ---- focus sweep ------------------------------------------------------------------

class FocusSweep : public ::testing::Test {
protected:
    void make(int8_t rows, int8_t cols, uint8_t abs_sum_flag = 0) {
        cal_settings s = base_settings();
        s.win_rows = rows;
        s.win_cols = cols;
        s.focus_abs_sum = abs_sum_flag;
        ctx = make_context(s);
    }
    uint32_t sweep(int16_t frame, const std::vector<uint16_t>& img, uint16_t w, uint16_t h) {
        testing::internal::CaptureStdout();
        const uint32_t status = focus_sweep(*ctx, frame, img.data(), w, h);
        printed = testing::internal::GetCapturedStdout();
        return status;
    }
    intake_test::context_ptr ctx;
    std::string printed;
};

TEST_F(FocusSweep, EmptyGridStillRecordsItsSize) {
    make(0, 3);
    ctx->state.win_rows = 9;
    ctx->state.win_cols = 9;
    const std::vector<uint16_t> img(40 * 10, 100);
    EXPECT_EQ(sweep(2, img, 40, 10), 0u);
    EXPECT_EQ(ctx->state.win_rows, 0);
    EXPECT_EQ(ctx->state.win_cols, 3);
    EXPECT_EQ(ctx->state.slots[2].focus[0], 0.0f);
}

TEST_F(FocusSweep, FeaturelessWindowFails) {
    make(1, 1);
    const std::vector<uint16_t> img(40 * 10, 100);
    ctx->state.slots[4].focus[0] = 7.0f;
    EXPECT_EQ(sweep(4, img, 40, 10), 0x1000u);
    // The failed value is kept, negative, and the window is flagged.
    EXPECT_LT(ctx->state.slots[4].focus[0], 0.0f);
    EXPECT_EQ(ctx->state.slots[4].flags[0], 0x1000u);
}

TEST_F(FocusSweep, FlatZeroWindowStoresMinusZeroAndGoesOn) {
    make(1, 2);
    const std::vector<uint16_t> img(40 * 10, 0);
    ctx->state.slots[3].focus[0] = 7.0f;
    ctx->state.slots[3].focus[1] = 7.0f;
    EXPECT_EQ(sweep(3, img, 40, 10), 0u);
    for (int w = 0; w < 2; ++w) {
        EXPECT_EQ(ctx->state.slots[3].focus[w], 0.0f);
        EXPECT_TRUE(std::signbit(ctx->state.slots[3].focus[w]));
    }
}

TEST_F(FocusSweep, FlagsAFailingWindowAndMeasuresTheRest) {
    // Three windows side by side; the middle one is flat.
    make(1, 3);
    const uint16_t w = 120, h = 4;
    std::vector<uint16_t> img(size_t(w) * h);
    for (uint32_t r = 0; r < h; ++r)
        for (uint32_t c = 0; c < w; ++c)
            img[r * w + c] = (c >= 40 && c < 80) ? 500 : ((c / 5) % 2 == 0 ? 100 : 900);
    frame_slot& slot = ctx->state.slots[6];
    for (int k = 0; k < 3; ++k) {
        slot.focus[k] = 7.0f;
        slot.flags[k] = 0x40;
    }
    ctx->state.slots[5].focus[0] = 3.0f;
    EXPECT_EQ(sweep(6, img, w, h), 0x1000u);
    EXPECT_GT(slot.focus[0], 0.0f);
    EXPECT_NE(slot.focus[0], 7.0f);
    EXPECT_EQ(slot.flags[0], 0x40u);  // ORed into, not replaced
    EXPECT_LT(slot.focus[1], 0.0f);
    EXPECT_EQ(slot.flags[1], 0x1040u);
    EXPECT_GT(slot.focus[2], 0.0f);
    EXPECT_NE(slot.focus[2], 7.0f);
    EXPECT_EQ(slot.flags[2], 0x40u);
    EXPECT_EQ(ctx->state.slots[5].focus[0], 3.0f);
    EXPECT_EQ(printed, "");
}

TEST_F(FocusSweep, MeasuresEveryWindowInGridOrder) {
    // 2 x 2 windows of a 40 x 20 image; window w holds a level of 100 * (w + 1)
    // with the absolute-sum measure, so each value is the start-up response.
    make(2, 2, 1);
    const uint16_t w = 40, h = 20;
    std::vector<uint16_t> img(size_t(w) * h);
    for (uint32_t r = 0; r < h; ++r)
        for (uint32_t c = 0; c < w; ++c)
            img[r * w + c] = static_cast<uint16_t>(100 * (1 + (r / 10) * 2 + c / 20));
    EXPECT_EQ(sweep(0, img, w, h), 0u);
    for (int k = 0; k < 4; ++k) {
        const std::vector<uint16_t> roi(20 * 10, static_cast<uint16_t>(100 * (k + 1)));
        const std::vector<int16_t> f = filtered(roi, 20, 10);
        EXPECT_EQ(ctx->state.slots[0].focus[k], abs_sum(f.data(), 0, 20, 20, 10)) << k;
    }
    EXPECT_EQ(ctx->state.win_rows, 2);
    EXPECT_EQ(ctx->state.win_cols, 2);
}

TEST(FocusSweepFits, ChecksFrameIndexGridAndCutOutSize) {
    cal_settings s = base_settings();
    auto ctx = make_context(s);
    EXPECT_TRUE(focus_sweep_fits(*ctx, 0, 2000, 1000));
    EXPECT_TRUE(focus_sweep_fits(*ctx, 11, 10, 10));
    EXPECT_FALSE(focus_sweep_fits(*ctx, 12, 10, 10));
    EXPECT_FALSE(focus_sweep_fits(*ctx, -1, 10, 10));
    EXPECT_FALSE(focus_sweep_fits(*ctx, 0, 2000, 1001));  // one window of 2,002,000
    s.win_rows = 2;
    s.win_cols = 2;
    ctx = make_context(s);
    EXPECT_TRUE(focus_sweep_fits(*ctx, 0, 2000, 1001));
    s.win_rows = 12;
    s.win_cols = 13;
    ctx = make_context(s);
    EXPECT_FALSE(focus_sweep_fits(*ctx, 0, 100, 100));
    s.win_rows = -1;  // a count of 65535
    s.win_cols = 0;
    ctx = make_context(s);
    EXPECT_TRUE(focus_sweep_fits(*ctx, 0, 100, 100));
}

}  // namespace
}  // namespace orvane
