#include <cstdint>

#include "dcc_fixture.h"

namespace orvane_test {
namespace {

// Five fitted frames: disparities -2..2 at lens positions 80..120, focus
// peaking symmetrically on the middle frame.
class FiveFrameSweep : public DccFit {
protected:
    void SetUp() override {
        make(dcc_settings(1, 1, 5, 0));
        lens({80, 90, 100, 110, 120});
        pd(0, {-2, -1, 0, 1, 2});
        focus(0, {1, 5, 9, 5, 1});
    }
};

TEST_F(FiveFrameSweep, FitsSlopeTenAndZeroPdAtHundred) {
    EXPECT_EQ(fit(5), 0u);
    EXPECT_EQ(map_.version, 4);
    EXPECT_EQ(map_.dcc_shift, 4);
    EXPECT_EQ(map_.win_cols, 1);
    EXPECT_EQ(map_.win_rows, 1);
    EXPECT_EQ(map_.dcc[0], 160);
    EXPECT_EQ(state().dcc[0], 160);
    EXPECT_EQ(state().zero_pd_lens[0], 100);
    EXPECT_EQ(state().peak_lens[0], 100);
    EXPECT_EQ(state().zero_pd_offset[0], 0);
    EXPECT_EQ(state().zero_pd_offset_norm[0], 0.0f);
    EXPECT_EQ(state().fit_residual[0], 0.0f);
}

TEST_F(FiveFrameSweep, LeavesTheSummaryInTheStateAndResetsTheFrameCount) {
    fit(5);
    EXPECT_EQ(state().dcc_shift, 4);
    EXPECT_EQ(state().win_cols, 1);
    EXPECT_EQ(state().win_rows, 1);
    EXPECT_EQ(state().frames_fitted, 5);
    EXPECT_EQ(state().max_shift, 9);
    EXPECT_EQ(state().win_margin, 0.25f);
    EXPECT_EQ(state().dcc_dev_limit[0], 10.0f);
    EXPECT_EQ(state().dcc_dev_limit[1], 0.0f);  // only the grid's limits are copied
    EXPECT_EQ(state().dcc_flags, 0u);
    EXPECT_EQ(state().frames_added, 0);
}

TEST_F(FiveFrameSweep, SecondCallWithoutNewFramesHasTooFewFrames) {
    EXPECT_EQ(fit(5), 0u);
    EXPECT_EQ(Orvane_get_dccmap(ctx_.get(), &map_, nullptr), ORVANE_TOO_FEW_FRAMES);
    EXPECT_EQ(state().dcc_flags, ORVANE_TOO_FEW_FRAMES);
}

TEST_F(FiveFrameSweep, TooFewFramesStillWritesEveryOutput) {
    // Four frames added: the span runs to slot 3, |80 - 110| = 30.
    state().peak_lens[0] = 77;
    map_.dcc[0] = 77;
    EXPECT_EQ(fit(4), ORVANE_TOO_FEW_FRAMES);
    EXPECT_EQ(map_.dcc[0], 160);
    EXPECT_EQ(state().peak_lens[0], 100);
    EXPECT_EQ(state().dcc_flags, ORVANE_TOO_FEW_FRAMES);
    EXPECT_EQ(state().frames_added, 0);
}

TEST_F(FiveFrameSweep, SpanRunsToTheLastFrameAdded) {
    focus(0, {0, 1, 5, 9, 5});  // peak 110, offset -10
    slot(5).lens_position = 200;
    fit(6);
    EXPECT_EQ(state().zero_pd_offset[0], -10);
    EXPECT_EQ(state().zero_pd_offset_norm[0], -10.0f / 120.0f);
}

TEST_F(FiveFrameSweep, SpanOfMoreThanTwelveFramesEndsAtTheLastSlot) {
    focus(0, {0, 1, 5, 9, 5});
    slot(11).lens_position = 180;
    fit(15);
    EXPECT_EQ(state().zero_pd_offset_norm[0], -10.0f / 100.0f);
}

TEST_F(FiveFrameSweep, NoFrameAddedGivesAZeroSpan) {
    focus(0, {0, 1, 5, 9, 5});
    EXPECT_EQ(fit(0), ORVANE_TOO_FEW_FRAMES | ORVANE_DCC_DEVIATION);  // -10 / 0 = -inf
    EXPECT_TRUE(std::isinf(state().zero_pd_offset_norm[0]));
    EXPECT_TRUE(std::isnan(state().fit_residual[0]));  // 0 / 5 / 0
}

TEST_F(FiveFrameSweep, ZeroPdOffsetBeyondTheWindowLimitIsFlagged) {
    focus(0, {0, 1, 5, 9, 5});  // offset -10 over a span of 40: -0.25
    ctx().settings.dcc_dev_limit[0] = 0.25f;
    EXPECT_EQ(fit(5), 0u);
    EXPECT_EQ(state().zero_pd_offset_norm[0], -0.25f);
    ctx().settings.dcc_dev_limit[0] = 0.24f;
    EXPECT_EQ(fit(5), ORVANE_DCC_DEVIATION);
}

TEST_F(FiveFrameSweep, SpreadBelowTheMinimumIsFlagged) {
    ctx().settings.min_pd_range = 4;  // spread is exactly 4
    EXPECT_EQ(fit(5), 0u);
    ctx().settings.min_pd_range = 5;
    EXPECT_EQ(fit(5), ORVANE_PD_RANGE_LOW);
}

TEST_F(FiveFrameSweep, ShiftCountBeyondTheWidthStaysDefined) {
    ctx().settings.dcc_shift = 36;  // taken modulo 32: 2^4
    fit(5);
    EXPECT_EQ(map_.dcc_shift, 36);
    EXPECT_EQ(map_.dcc[0], 160);
}

TEST_F(DccFit, TrimmedFramesStayOutOfTheFit) {
    make(dcc_settings(1, 1, 7, 1));
    lens({70, 80, 90, 100, 110, 120, 130});
    pd(0, {50, -2, -1, 0, 1, 2, -50});
    focus(0, {0, 1, 5, 9, 5, 1, 0});
    EXPECT_EQ(fit(7), 0u);
    EXPECT_EQ(map_.dcc[0], 160);
    EXPECT_EQ(state().zero_pd_lens[0], 100);
    EXPECT_EQ(state().frames_fitted, 5);
    EXPECT_EQ(state().fit_residual[0], 0.0f);
}

TEST_F(DccFit, MonotonicityStartsFromTheFirstFrameOfTheSweep) {
    make(dcc_settings(1, 1, 7, 1));
    lens({70, 80, 90, 100, 110, 120, 130});
    pd(0, {50, -2, -1, 0, 1, 2, -50});  // slot 0 lies above the first fitted frame
    focus(0, {0, 1, 5, 9, 5, 1, 0});
    ctx().settings.residual_limit = -1.0f;  // a perfect fit still counts as high
    EXPECT_EQ(fit(7), ORVANE_NOT_MONOTONIC);
    pd(0, {-50});
    EXPECT_EQ(fit(7), 0u);
}

TEST_F(DccFit, StepAgainstTheDirectionNeedsAHighResidual) {
    struct sweep_case {
        std::initializer_list<float> pd;
        float residual_limit;
        uint32_t flags;
    };
    const sweep_case cases[] = {
        {{-2, 0.5f, 0, 1, 2}, 0.0f, ORVANE_NOT_MONOTONIC},    // rising, one step back
        {{-2, 0.5f, 0, 1, 2}, 1000.0f, 0},                    // residual within the limit
        {{-2, -1, -1, 1, 2}, 0.0f, 0},                        // equal neighbours
        {{2, -0.5f, 0, -1, -2}, 0.0f, ORVANE_NOT_MONOTONIC},  // falling, one step back
        {{2, 1, 0, -1, -2}, -1.0f, 0},                        // falling throughout
    };
    for (const sweep_case& c : cases) {
        make(dcc_settings(1, 1, 5, 0));
        lens({80, 90, 100, 110, 120});
        focus(0, {1, 5, 9, 5, 1});
        pd(0, c.pd);
        ctx().settings.residual_limit = c.residual_limit;
        EXPECT_EQ(fit(5), c.flags) << "residual limit " << c.residual_limit;
    }
}

TEST_F(DccFit, TwoFrameSweepTakesItsDirectionFromSlotsOneAndTwo) {
    make(dcc_settings(1, 1, 2, 0));
    lens({80, 120, 0});
    focus(0, {1, 1});
    ctx().settings.residual_limit = -1.0f;
    pd(0, {0, 1, 5});  // a rising earlier sweep in slot 2
    EXPECT_EQ(fit(2) & ORVANE_NOT_MONOTONIC, 0u);
    pd(0, {0, 1, -5});  // a falling one: the sweep's own rise is a step back
    EXPECT_EQ(fit(2) & ORVANE_NOT_MONOTONIC, ORVANE_NOT_MONOTONIC);
}

TEST_F(DccFit, TooFewFittedFramesAfterTrimming) {
    make(dcc_settings(1, 1, 5, 2));  // K = 1
    lens({80, 90, 100, 110, 120});
    pd(0, {-2, -1, 0, 1, 2});
    focus(0, {1, 5, 9, 5, 1});
    // The single fitted disparity has no spread either.
    EXPECT_EQ(fit(5), ORVANE_TOO_FEW_FRAMES | ORVANE_PD_RANGE_LOW);
    EXPECT_EQ(state().frames_fitted, 1);
}

TEST_F(DccFit, NoFittedFrameGivesZeroDccAndNanResidual) {
    make(dcc_settings(1, 1, 4, 2));  // K = 0
    lens({80, 90, 100, 110});
    pd(0, {-2, -1, 0, 1});
    focus(0, {1, 9, 5, 1});
    state().dcc[0] = 5;
    state().zero_pd_lens[0] = 5;
    EXPECT_EQ(fit(4) & ORVANE_TOO_FEW_FRAMES, ORVANE_TOO_FEW_FRAMES);
    EXPECT_EQ(map_.dcc[0], 0);
    EXPECT_EQ(state().zero_pd_lens[0], 0);
    EXPECT_TRUE(std::isnan(state().fit_residual[0]));
}

TEST_F(DccFit, FlatDisparityGivesZeroDccAndLowSpread) {
    make(dcc_settings(1, 1, 5, 0));
    lens({80, 90, 100, 110, 120});
    pd(0, {0, 0, 0, 0, 0});  // D = 0
    focus(0, {1, 5, 9, 5, 1});
    ctx().settings.residual_limit = -1.0f;
    EXPECT_EQ(fit(5), ORVANE_PD_RANGE_LOW);
    EXPECT_EQ(map_.dcc[0], 0);
    EXPECT_EQ(state().zero_pd_lens[0], 0);
    EXPECT_TRUE(std::isnan(state().fit_residual[0]));
}

TEST_F(DccFit, WindowsAreFittedInRowMajorOrder) {
    make(dcc_settings(2, 3, 5, 0));
    lens({80, 90, 100, 110, 120});
    for (int w = 0; w < 6; ++w) {
        const float g = static_cast<float>(w + 1);  // slope 10 / g
        pd(w, {-2 * g, -g, 0, g, 2 * g});
        focus(w, {1, 5, 9, 5, 1});
    }
    EXPECT_EQ(fit(5), 0u);
    EXPECT_EQ(map_.win_cols, 3);
    EXPECT_EQ(map_.win_rows, 2);
    const int16_t expected[6] = {160, 80, 53, 40, 32, 26};
    for (int w = 0; w < 6; ++w) {
        EXPECT_EQ(map_.dcc[w], expected[w]) << w;
        EXPECT_EQ(state().dcc[w], expected[w]) << w;
        EXPECT_EQ(state().dcc_dev_limit[w], 10.0f) << w;
    }
    EXPECT_EQ(state().dcc_dev_limit[6], 0.0f);
}

// Reference fit in single precision, sums in frame order.
TEST_F(DccFit, FitIsSinglePrecisionInFrameOrder) {
    make(dcc_settings(1, 1, 6, 0));
    lens({-301, -177, -52, 71, 203, 330});
    const float x[6] = {-3.317f, -1.9021f, -0.6133f, 0.7507f, 2.1101f, 3.40021f};
    pd(0, {x[0], x[1], x[2], x[3], x[4], x[5]});
    focus(0, {1, 2, 3, 2.5f, 1, 0.5f});
    fit(6);

    float sx = 0, sxx = 0, sy = 0, sxy = 0;
    for (int k = 0; k < 6; ++k) {
        const float y = static_cast<float>(slot(k).lens_position);
        sx += x[k];
        sxx += x[k] * x[k];
        sy += y;
        sxy += x[k] * y;
    }
    const float d = 6.0f * sxx - sx * sx;
    const float slope = (6.0f * sxy - sy * sx) / d;
    const float intercept = (sy * sxx - sxy * sx) / d;
    float r = 0;
    for (int k = 0; k < 6; ++k) {
        r += std::fabs(slope * x[k] + intercept - static_cast<float>(slot(k).lens_position));
    }
    const float span = 631.0f;
    EXPECT_EQ(map_.dcc[0], static_cast<int16_t>(slope * 16.0f));
    EXPECT_EQ(state().zero_pd_lens[0], static_cast<int16_t>(intercept));
    EXPECT_EQ(state().fit_residual[0], r / 6.0f / span);
    // Peak on slot 2 with step |-301 - -177| = 124.
    const float vertex = (2.0f - 2.5f) / ((2.5f + 2.0f) * 2.0f - 3.0f * 4.0f);
    const int16_t peak = static_cast<int16_t>(vertex * 124.0f + -52.0f);
    EXPECT_EQ(state().peak_lens[0], peak);
    const int16_t offset = static_cast<int16_t>(state().zero_pd_lens[0] - peak);
    EXPECT_EQ(state().zero_pd_offset_norm[0], static_cast<float>(offset) / span);
}

}  // namespace
}  // namespace orvane_test
