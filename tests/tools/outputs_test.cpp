// Decoding the library's outputs for the demo's table and summary.
#include "pipeline/outputs.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "io/flags.h"
#include "pipeline/calibration.h"

namespace orvane_tool {
namespace {

TEST(FlagNames, DecodesEveryBitAndTheSharedOne) {
    EXPECT_EQ(flag_names(0, false), "none");
    EXPECT_EQ(flag_names(ORVANE_HARD_FAILURE, true), "hard_failure");
    EXPECT_EQ(flag_names(0x2040u, false), "pd_at_edge peak_at_end");
    EXPECT_EQ(flag_names(0x80u, false), "invalid_roi");
    EXPECT_EQ(flag_names(0x80u, true), "not_monotonic");
    EXPECT_EQ(flag_names(0x1u | 0x400u, true), "pd_range_low 0x1");
    // A word that ORs both kinds: 0x80 takes the scope's name, the rest their own.
    EXPECT_EQ(flag_list(0x2000u | 0x80u | 0x40u, ORVANE_FLAGS_DCC_MAP),
              (std::vector<std::string>{"pd_at_edge", "not_monotonic", "peak_at_end"}));
    EXPECT_EQ(flag_list(0x80u | 0x800u | 0x1u, ORVANE_FLAGS_FRAME),
              (std::vector<std::string>{"invalid_roi", "0x1", "0x800"}));
}

calibration_result synthetic_result(const std::vector<double>& dcc, const std::vector<int>& peaks) {
    calibration_result r;
    r.dcc_shift = 10;
    r.win_cols = static_cast<int>(dcc.size());
    r.win_rows = 1;
    r.read_back_equal = true;
    for (size_t w = 0; w < dcc.size(); ++w) {
        window_state ws;
        ws.dcc = static_cast<int16_t>(dcc[w] * 1024.0);
        ws.peak_lens = static_cast<int16_t>(peaks[w]);
        r.windows.push_back(ws);
    }
    return r;
}

TEST(Assess, MedianErrorSignAndPeakTargets) {
    ground_truth t;
    t.win_rows = 1;
    t.win_cols = 4;
    t.lens_step = 40;
    t.dcc = {10.0f, 10.0f, 10.0f, 10.0f};
    t.in_focus_lens = {500.0f, 500.0f, 500.0f, 500.0f};
    // Errors 1%, 2%, 4%, 30% -> median 3%; one peak 41 away.
    const accuracy a = assess(synthetic_result({10.1, 9.8, 10.4, 13.0}, {500, 540, 460, 541}), t);
    EXPECT_EQ(a.windows, 4);
    EXPECT_NEAR(a.median_dcc_error, 0.03, 1e-3);
    EXPECT_NEAR(a.max_dcc_error, 0.30, 1e-3);
    EXPECT_EQ(a.sign_errors, 0);
    EXPECT_EQ(a.peaks_within_step, 3);
    EXPECT_TRUE(a.dcc_pass());
    EXPECT_FALSE(a.peak_pass());
    EXPECT_TRUE(a.flags_pass());

    const accuracy b = assess(synthetic_result({10.0, -10.0, 10.0, 0.0}, {500, 500, 500, 500}), t);
    EXPECT_EQ(b.sign_errors, 2);
    EXPECT_FALSE(b.sign_pass());
}

TEST(Assess, FlagsPassOnlyWhenTheTableExplainsThem) {
    ground_truth t;
    t.win_cols = 2;
    t.win_rows = 1;
    t.lens_step = 40;
    t.dcc = {10.0f, 10.0f};
    t.in_focus_lens = {500.0f, 500.0f};
    calibration_result r = synthetic_result({10.0, 10.0}, {500, 500});
    r.dcc_status = ORVANE_PEAK_AT_END;
    r.frame_status = {0u, ORVANE_PD_AT_EDGE};
    EXPECT_FALSE(assess(r, t).flags_pass());
    r.windows[1].fit_flags = ORVANE_PEAK_AT_END;
    r.windows[0].frame_flags = ORVANE_PD_AT_EDGE;
    const accuracy a = assess(r, t);
    EXPECT_EQ(a.flags, ORVANE_PEAK_AT_END | ORVANE_PD_AT_EDGE);
    EXPECT_TRUE(a.flags_pass());
    r.gain_status = ORVANE_GAIN_TOO_HIGH;
    EXPECT_EQ(assess(r, t).unexplained, ORVANE_GAIN_TOO_HIGH);
    r.gain_status = 0;
    r.read_back_equal = false;
    EXPECT_FALSE(assess(r, t).flags_pass());
}

TEST(Assess, OneShotPredictionCountsFramesInsideTheSearchRange) {
    // One window, true DCC 10, in focus at 500, zero disparity 10 lens units
    // later (one pixel of pair geometry); the calibration found DCC 10 and a
    // zero-PD offset of 10. Search range 32 px of a 4-pixel pitch.
    ground_truth t;
    t.win_rows = 1;
    t.win_cols = 1;
    t.lens_step = 40;
    t.dcc = {10.0f};
    t.in_focus_lens = {500.0f};
    t.zero_pd_offset = {10.0f};
    calibration_result r = synthetic_result({10.0}, {500});
    r.windows[0].zero_pd_lens = 510;
    r.lens = {100, 300, 480, 510, 700, 900};
    // True disparities -41, -21, -3, 0, 19, 39 px; the frame at 480 is measured
    // 5 px off (a 50-unit miss), the two outside the range are garbage.
    r.windows[0].pd = {0.0f, -21.0f, 2.0f, 0.0f, 19.0f, 0.0f};
    capture_set cs;
    cs.kind = layout::horizontal;
    cs.settings.max_shift = 34;  // 8 samples of 4 px: 32 px
    cs.cfg.pair_count = 4;
    for (int i = 0; i < 4; ++i) cs.cfg.left_x[i] = static_cast<uint16_t>(1 + 4 * i);
    cs.cfg.block_width = 16;
    EXPECT_DOUBLE_EQ(search_range_px(cs), 32.0);

    const accuracy a = assess(r, t, &cs);
    EXPECT_TRUE(a.one_shot_checked);
    EXPECT_EQ(a.one_shot_frames, 4);
    EXPECT_EQ(a.one_shot_within, 3);
    EXPECT_NEAR(a.one_shot_fraction, 0.75, 1e-9);
    EXPECT_FALSE(a.one_shot_pass());
    EXPECT_FALSE(a.all_pass());

    // Dual photodiodes: no pair geometry, so the zero-PD offset is not applied.
    cs.kind = layout::dual;
    cs.settings.pd_pitch_2pd = 2;
    t.zero_pd_offset = {0.0f};
    r.windows[0].zero_pd_lens = 530;
    r.windows[0].pd = {0.0f, -20.0f, -2.0f, 1.0f, 20.0f, 0.0f};
    const accuracy b = assess(r, t, &cs);
    EXPECT_EQ(b.one_shot_frames, 4);  // 34 div 2 = 17 samples: 34 px
    EXPECT_EQ(b.one_shot_within, 4);
    EXPECT_TRUE(b.one_shot_pass());
    EXPECT_FALSE(assess(r, t).one_shot_checked);
}

}  // namespace
}  // namespace orvane_tool
