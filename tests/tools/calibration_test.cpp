// End-to-end: the synthetic sensor calibrated through the public interface must
// give back the truth it was rendered from.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

#include "pipeline/outputs.h"
#include "pipeline/calibration.h"
#include "sim.h"
#include "simulation/tuning.h"

namespace orvane_tool {
namespace {

constexpr uint32_t kWidth = 800;
constexpr uint32_t kHeight = 600;

struct calibrated {
    orvane_sim::rendering scene;
    calibration_result result;
};

// One rendering and calibration per layout and seed, shared by the tests.
const calibrated& calibrate(layout kind, uint64_t seed = 11) {
    static std::map<std::pair<layout, uint64_t>, calibrated> cache;
    auto it = cache.find({kind, seed});
    if (it == cache.end()) {
        const auto model = orvane_sim::default_model(kWidth, kHeight);
        calibrated c{orvane_sim::render(model, kind, seed, tuned_settings(model, kind),
                                        tuned_limits(model, kind)),
                     {}};
        c.result = run_calibration(c.scene.capture);
        it = cache.emplace(std::make_pair(kind, seed), std::move(c)).first;
    }
    return it->second;
}

class LayoutCalibration : public ::testing::TestWithParam<layout> {};

TEST_P(LayoutCalibration, RecoversTheTrueDccAndFocusWithinTargets) {
    const calibrated& c = calibrate(GetParam());
    const accuracy acc = assess(c.result, c.scene.truth);
    ASSERT_EQ(acc.windows, c.scene.truth.win_rows * c.scene.truth.win_cols);
    EXPECT_GE(acc.windows, 12);
    EXPECT_LE(acc.median_dcc_error, kDccErrorTarget);
    EXPECT_EQ(acc.sign_errors, 0);
    EXPECT_GE(acc.peak_fraction, 0.9);
}

TEST_P(LayoutCalibration, ZeroDisparitySitsWhereThePairGeometryPutsIt) {
    // The raw layouts' second pixel sits one pixel after the first along the
    // split, so disparity crosses zero one DCC beyond focus; dual photodiodes
    // share a pixel and cross at focus.
    const calibrated& c = calibrate(GetParam());
    const ground_truth& t = c.scene.truth;
    ASSERT_EQ(t.zero_pd_offset.size(), c.result.windows.size());
    std::vector<double> misses;
    for (size_t w = 0; w < c.result.windows.size(); ++w) {
        const double found = c.result.windows[w].zero_pd_lens - t.in_focus_lens[w];
        misses.push_back(found - t.zero_pd_offset[w]);
        EXPECT_FLOAT_EQ(t.zero_pd_offset[w], GetParam() == layout::dual ? 0.0f : t.dcc[w]);
    }
    std::sort(misses.begin(), misses.end());
    EXPECT_NEAR(misses[misses.size() / 2], 0.0, 3.0);
}

TEST_P(LayoutCalibration, OneShotFocusAndGainResidualMeetTheirTargets) {
    const calibrated& c = calibrate(GetParam());
    const accuracy acc = assess(c.result, c.scene.truth, &c.scene.capture);
    EXPECT_GT(acc.one_shot_frames, 0);
    EXPECT_TRUE(acc.one_shot_pass()) << acc.one_shot_within << " of " << acc.one_shot_frames;
    // Cells along the split keep the corrected flat field's phases within ~1%.
    const gain_residual g = measure_gain_residual(c.scene.capture, c.result.gains);
    ASSERT_EQ(g.windows.size(), c.result.windows.size());
    EXPECT_LT(g.median, 0.012);
    EXPECT_LT(std::fabs(g.worst), 0.02);
}

TEST_P(LayoutCalibration, RaisesNoStatusFlags) {
    const calibrated& c = calibrate(GetParam());
    EXPECT_EQ(c.result.gain_status, 0u);
    for (uint32_t s : c.result.frame_status) EXPECT_EQ(s, 0u);
    EXPECT_EQ(c.result.dcc_status, 0u);
    for (const window_state& w : c.result.windows) {
        EXPECT_EQ(w.frame_flags, 0u);
        EXPECT_EQ(w.fit_flags, 0u);
    }
}

TEST_P(LayoutCalibration, DisparityRisesThroughZeroOverTheSweep) {
    // Lens below focus: negative disparity; above: positive, in every window.
    const calibrated& c = calibrate(GetParam());
    for (const window_state& w : c.result.windows) {
        ASSERT_EQ(w.pd.size(), c.scene.capture.sweep.size());
        EXPECT_LT(w.pd.front(), -8.0f);
        EXPECT_GT(w.pd.back(), 8.0f);
    }
}

TEST_P(LayoutCalibration, BlockReadBackEqualsTheBlockWritten) {
    const calibration_result& r = calibrate(GetParam()).result;
    EXPECT_EQ(r.read_status, 0u);
    EXPECT_TRUE(r.read_back_equal);

    // The records read back hold the gain map and DCC map that went in.
    const bool vertical = GetParam() == layout::vertical;
    const uint16_t* first = vertical ? r.gains.left_v : r.gains.left;
    const uint16_t* second = vertical ? r.gains.right_v : r.gains.right;
    ASSERT_EQ(r.read_gains.cols, r.gains.cols);
    ASSERT_EQ(r.read_gains.rows, r.gains.rows);
    const int cells = r.gains.cols * r.gains.rows;
    for (int i = 0; i < cells; ++i) {
        EXPECT_EQ(r.read_gains.left[i], first[i]) << i;
        EXPECT_EQ(r.read_gains.right[i], second[i]) << i;
    }
    EXPECT_EQ(r.read_dcc.dcc_shift, r.dcc.dcc_shift);
    ASSERT_EQ(r.read_dcc.win_cols, r.dcc.win_cols);
    ASSERT_EQ(r.read_dcc.win_rows, r.dcc.win_rows);
    for (int w = 0; w < r.dcc.win_cols * r.dcc.win_rows; ++w) {
        EXPECT_EQ(r.read_dcc.dcc[w], r.dcc.dcc[w]) << w;
    }
    // Size: head, two tables, DCC head, DCC values, checksum.
    EXPECT_EQ(r.block.size(),
              static_cast<size_t>(12 + 4 * cells + 2 * r.dcc.win_cols * r.dcc.win_rows + 1));
}

TEST_P(LayoutCalibration, CurveOfFieldBlockMatchesTheStateDump) {
    const calibration_result& r = calibrate(GetParam()).result;
    const int windows = r.win_cols * r.win_rows;
    ASSERT_EQ(r.cof_block.size(), static_cast<size_t>(6 + 2 * windows + 1));
    calibration_result from_dump;
    read_state_dump(r.state_dump, calibrate(GetParam()).scene.capture.settings,
                    static_cast<int>(r.frame_status.size()), from_dump);
    ASSERT_EQ(from_dump.windows.size(), r.windows.size());
    for (size_t w = 0; w < r.windows.size(); ++w) {
        EXPECT_EQ(from_dump.windows[w].peak_lens, r.windows[w].peak_lens) << w;
        EXPECT_EQ(from_dump.windows[w].dcc, r.dcc.dcc[w]) << w;
    }
}

INSTANTIATE_TEST_SUITE_P(AllLayouts, LayoutCalibration,
                         ::testing::Values(layout::horizontal, layout::vertical, layout::dual),
                         [](const auto& info) { return std::string(layout_name(info.param)); });

TEST(Determinism, SameSeedGivesIdenticalFramesAndBlocks) {
    const auto model = orvane_sim::default_model(kWidth, kHeight);
    const auto settings = tuned_settings(model, layout::horizontal);
    const auto limits = tuned_limits(model, layout::horizontal);
    const auto again = orvane_sim::render(model, layout::horizontal, 11, settings, limits);
    const calibrated& first = calibrate(layout::horizontal, 11);
    EXPECT_EQ(again.capture.flat.raw, first.scene.capture.flat.raw);
    EXPECT_EQ(again.capture.sweep.back().raw, first.scene.capture.sweep.back().raw);

    const calibration_result r = run_calibration(again.capture);
    EXPECT_EQ(r.block, first.result.block);
    EXPECT_EQ(r.cof_block, first.result.cof_block);
    EXPECT_EQ(r.state_dump, first.result.state_dump);
}

TEST(Determinism, AnotherSeedChangesTheNoiseOnly) {
    const calibrated& a = calibrate(layout::dual, 11);
    const calibrated& b = calibrate(layout::dual, 12);
    EXPECT_NE(a.scene.capture.sweep[3].left, b.scene.capture.sweep[3].left);
    EXPECT_EQ(a.scene.truth.dcc, b.scene.truth.dcc);
    EXPECT_EQ(a.scene.truth.in_focus_lens, b.scene.truth.in_focus_lens);
    // The scene is the same, so the calibration agrees within the noise.
    for (size_t w = 0; w < a.result.windows.size(); ++w) {
        const double da = dcc_value(a.result.windows[w].dcc, a.result.dcc_shift);
        const double db = dcc_value(b.result.windows[w].dcc, b.result.dcc_shift);
        EXPECT_NEAR(da, db, 0.03 * da) << w;
    }
}

}  // namespace
}  // namespace orvane_tool
