// The synthetic sensor itself: layout, radiometry, noise and optics.
#include "sim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

#include "tuning.h"

namespace orvane_sim {
namespace {

using orvane_tool::tuned_limits;
using orvane_tool::tuned_settings;

constexpr uint32_t kWidth = 640;
constexpr uint32_t kHeight = 480;

rendering render_small(layout kind, int frames = 2) {
    const sensor_model m = default_model(kWidth, kHeight);
    cal_settings s = tuned_settings(m, kind);
    s.sweep_frames = static_cast<int8_t>(frames);
    return render(m, kind, 5, s, tuned_limits(m, kind));
}

struct context_deleter {
    void operator()(cal_context* c) const { Orvane_destroy(c); }
};
using context_ptr = std::unique_ptr<cal_context, context_deleter>;

TEST(SensorConfig, HorizontalPairsSitSideBySideInOneRowPerBlock) {
    const sensor_model m = default_model(kWidth, kHeight);
    const sensor_cfg cfg = make_sensor_cfg(m, layout::horizontal);
    EXPECT_EQ(cfg.image_width, kWidth);
    EXPECT_EQ(cfg.black_level, m.black_level);
    ASSERT_EQ(cfg.pair_count, 4);
    for (int i = 0; i < cfg.pair_count; ++i) {
        EXPECT_EQ(cfg.right_x[i], cfg.left_x[i] + 1);
        EXPECT_EQ(cfg.right_y[i], cfg.left_y[i]);
        EXPECT_EQ(cfg.left_y[i], cfg.left_y[0]);
        EXPECT_EQ(cfg.left_x[i], 1 + 4 * i);  // evenly spaced: PD pitch 4
    }
    EXPECT_EQ(cfg.v_left_x[0], 0);
}

TEST(SensorConfig, VerticalPairsSitOneAboveTheOtherInOneColumnPerBlock) {
    const sensor_cfg cfg = make_sensor_cfg(default_model(kWidth, kHeight), layout::vertical);
    ASSERT_EQ(cfg.pair_count, 4);
    for (int i = 0; i < cfg.pair_count; ++i) {
        EXPECT_EQ(cfg.v_right_x[i], cfg.v_left_x[i]);
        EXPECT_EQ(cfg.v_right_y[i], cfg.v_left_y[i] + 1);
        EXPECT_EQ(cfg.v_left_y[i], 2 + 4 * i);
    }
    EXPECT_EQ(cfg.left_x[0], 0);
}

TEST(SensorConfig, LibraryExtractsTheRenderedPdPixels) {
    const rendering r = render_small(layout::horizontal, 1);
    const capture_set& cs = r.capture;
    std::vector<uint16_t> left(cs.flat.raw.size()), right(cs.flat.raw.size());
    ASSERT_EQ(Orvane_validate_sensor_cfg(cs.flat.raw.data(), &cs.cfg, left.data(), right.data()),
              0u);
    // Sample 0 is pair 0 of block (0, 0); sample 5 is pair 1 of block (0, 1).
    const size_t row = static_cast<size_t>(cs.cfg.margin_y + cs.cfg.left_y[0]) * cs.width;
    EXPECT_EQ(left[0], cs.flat.raw[row + cs.cfg.margin_x + cs.cfg.left_x[0]]);
    EXPECT_EQ(right[0], cs.flat.raw[row + cs.cfg.margin_x + cs.cfg.right_x[0]]);
    EXPECT_EQ(left[5], cs.flat.raw[row + cs.cfg.margin_x + 16 + cs.cfg.left_x[1]]);
}

TEST(Radiometry, FlatFieldHasVignettingColourAndShotNoise) {
    const sensor_model m = default_model(kWidth, kHeight);
    const rendering r = render_small(layout::horizontal, 1);
    const auto& raw = r.capture.flat.raw;
    // Green pixels (odd column, even row) of a 32 x 32 patch at the centre,
    // avoiding the PD row of each block.
    double sum = 0, sum2 = 0, red = 0;
    int n = 0;
    for (uint32_t y = kHeight / 2 - 16; y < kHeight / 2 + 16; y += 2) {
        for (uint32_t x = kWidth / 2 - 15; x < kWidth / 2 + 16; x += 2) {
            const double v = raw[y * kWidth + x];
            sum += v;
            sum2 += v * v;
            red += raw[y * kWidth + x - 1];
            ++n;
        }
    }
    const double mean = sum / n;
    const double var = sum2 / n - mean * mean;
    const double signal = m.exposure_dn * m.flat_level;  // vignetting ~1 at the centre
    EXPECT_NEAR(mean - m.black_level, signal, 0.02 * signal);
    EXPECT_NEAR(red / n - m.black_level, signal * m.red_response, 0.03 * signal);
    const double expected_var = signal / m.electrons_per_dn + m.read_noise_dn * m.read_noise_dn;
    EXPECT_NEAR(var, expected_var, 0.25 * expected_var);

    // The corner is darker by the cos^4-like falloff.
    const double corner = raw[1] - m.black_level;  // green pixel (1, 0)
    const double falloff = 1.0 / ((1.0 + m.vignetting) * (1.0 + m.vignetting));
    EXPECT_NEAR(corner, signal * falloff, 0.1 * signal * falloff);
}

TEST(Radiometry, GainMapCorrectsOppositeShadingOfTheTwoPhases) {
    const rendering r = render_small(layout::horizontal, 1);
    const capture_set& cs = r.capture;
    context_ptr ctx(Orvane_create(&cs.settings));
    ASSERT_TRUE(ctx);
    gainmap g{};
    ASSERT_EQ(Orvane_get_gainmap(ctx.get(), cs.flat.raw.data(), &cs.cfg, &g, &cs.limits), 0u);
    const int mid = (g.rows / 2) * g.cols;
    const int last = g.cols - 1;
    // Left PD pixels lose light towards the right edge, right ones towards the left.
    EXPECT_GT(g.left[mid + last], g.left[mid] + 100);
    EXPECT_GT(g.right[mid], g.right[mid + last] + 100);
    // Both gain more in the corners than in the centre (vignetting).
    const int centre = mid + g.cols / 2;
    EXPECT_GT(g.left[0], g.left[centre]);
    EXPECT_GT(g.right[g.rows * g.cols - 1], g.right[centre]);
}

TEST(Optics, MeasuredDisparityFollowsDefocusOverDcc) {
    const sensor_model m = default_model(kWidth, kHeight);
    const rendering r = render_small(layout::dual, 12);
    const capture_set& cs = r.capture;
    context_ptr ctx(Orvane_create(&cs.settings));
    ASSERT_TRUE(ctx);
    gainmap g{};
    ASSERT_EQ(
        Orvane_get_gainmap_2pd(ctx.get(), cs.flat.left.data(), cs.flat.right.data(),
                               static_cast<int32_t>(cs.width), static_cast<int32_t>(cs.height),
                               cs.black_level, &g, &cs.limits, 512.0f),
        0u);
    const float lens_true = r.truth.in_focus_lens[0];
    const float dcc_true = r.truth.dcc[0];
    for (size_t k : {size_t{1}, size_t{5}, size_t{10}}) {
        auto left = cs.sweep[k].left, right = cs.sweep[k].right;
        pd_map pd{};
        Orvane_get_raw_pd_2pd(ctx.get(), left.data(), right.data(), static_cast<int32_t>(cs.width),
                              static_cast<int32_t>(cs.height), cs.black_level, &g, &pd);
        const float expected =
            (static_cast<float>(cs.sweep[k].lens_position) - lens_true) / dcc_true;
        EXPECT_NEAR(pd.pd[0], expected, 0.3f + 0.05f * std::fabs(expected)) << "frame " << k;
    }
    EXPECT_EQ(r.truth.lens_step, m.lens_step);
}

TEST(Optics, TruthFollowsTheFieldMaps) {
    const sensor_model m = default_model(1600, 1200);
    const cal_settings s = tuned_settings(m, layout::horizontal);
    const ground_truth t = truth_for(m, layout::horizontal, s);
    ASSERT_EQ(t.win_rows * t.win_cols, 48);
    ASSERT_EQ(t.dcc.size(), 48u);
    // Curve of field and DCC both grow towards the corners.
    const size_t centre = 2 * 8 + 3, corner = 0;
    EXPECT_GT(t.in_focus_lens[corner], t.in_focus_lens[centre] + 10.0f);
    EXPECT_GT(t.dcc[corner], t.dcc[centre] * 1.05f);
    // A window's truth lies within the range of the field it covers.
    EXPECT_NEAR(t.dcc[centre], dcc_at(m, 700.0f, 500.0f), 0.3f);
    EXPECT_NEAR(t.in_focus_lens[centre], in_focus_lens(m, 700.0f, 500.0f), 3.0f);
}

TEST(Optics, DualImagesAreBinnedTwoByTwo) {
    const rendering r = render_small(layout::dual, 1);
    EXPECT_EQ(r.capture.width, kWidth / 2);
    EXPECT_EQ(r.capture.height, kHeight / 2);
    EXPECT_EQ(r.capture.flat.left.size(), static_cast<size_t>(kWidth / 2) * (kHeight / 2));
    EXPECT_TRUE(r.capture.flat.raw.empty());
    EXPECT_EQ(r.capture.settings.pd_pitch_2pd, 2);
}

TEST(Verification, SameModuleWithTheChartMovedAndLensPositionsOffTheGridShuffled) {
    const sensor_model m = default_model(kWidth, kHeight);
    const sensor_model v = verification_model(m, 5, 12, 12);
    const int last = m.lens_first + 11 * m.lens_step;
    std::vector<int> lens = v.lens_positions;
    ASSERT_EQ(lens.size(), 12u);
    EXPECT_FALSE(std::is_sorted(lens.begin(), lens.end()));
    std::sort(lens.begin(), lens.end());
    EXPECT_LT(lens.front(), m.lens_first);  // past both ends of the calibration sweep
    EXPECT_GT(lens.back(), last);
    EXPECT_LT(lens.back() - lens.front(), 2 * (last - m.lens_first));
    for (size_t k = 0; k < lens.size(); ++k) {
        EXPECT_NE((lens[k] - m.lens_first) % m.lens_step, 0) << lens[k];
        if (k) EXPECT_EQ(lens[k] - lens[k - 1], lens[1] - lens[0]);  // evenly spaced
    }
    // Another chart, the same optics: the truth does not move.
    EXPECT_NE(v.bar_phase, m.bar_phase);
    EXPECT_NE(v.chart_seed, m.chart_seed);
    const cal_settings s = tuned_settings(m, layout::horizontal);
    const ground_truth a = truth_for(m, layout::horizontal, s);
    const ground_truth b = truth_for(v, layout::horizontal, s);
    EXPECT_EQ(a.dcc, b.dcc);
    EXPECT_EQ(a.in_focus_lens, b.in_focus_lens);
    EXPECT_EQ(a.lens_step, b.lens_step);
    // Deterministic for a seed; another seed, another set.
    EXPECT_EQ(verification_model(m, 5).lens_positions, v.lens_positions);
    EXPECT_NE(verification_model(m, 6).lens_positions, v.lens_positions);
}

TEST(Verification, RenderTakesTheLensPositionsInTheirOrder) {
    sensor_model m = default_model(kWidth, kHeight);
    const cal_settings s = tuned_settings(m, layout::horizontal);
    sensor_model v = verification_model(m, 5);
    v.lens_positions = {600, m.lens_first, 450};
    const rendering r = render(v, layout::horizontal, 5, s, tuned_limits(m, layout::horizontal));
    ASSERT_EQ(r.capture.sweep.size(), 3u);
    EXPECT_EQ(r.capture.sweep[0].lens_position, 600);
    EXPECT_EQ(r.capture.sweep[1].lens_position, m.lens_first);
    EXPECT_EQ(r.capture.sweep[2].lens_position, 450);
    // The moved chart: the frame at the calibration's first lens position differs.
    cal_settings one = s;
    one.sweep_frames = 1;
    const rendering c = render(m, layout::horizontal, 5, one, tuned_limits(m, layout::horizontal));
    const std::vector<uint16_t>& x = c.capture.sweep[0].raw;
    const std::vector<uint16_t>& y = r.capture.sweep[1].raw;
    ASSERT_EQ(x.size(), y.size());
    double diff = 0.0;
    for (size_t i = 0; i < x.size(); ++i) diff += std::abs(int{x[i]} - int{y[i]});
    EXPECT_GT(diff / static_cast<double>(x.size()), 20.0);
}

}  // namespace
}  // namespace orvane_sim
