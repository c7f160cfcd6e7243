// The synthetic sensor itself: layout, radiometry, noise and optics.
#include "sim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

#include "simulation/tuning.h"

namespace orvane_sim {
namespace {

using orvane_tool::tuned_limits;
using orvane_tool::tuned_settings;

constexpr uint32_t kWidth = 640;
constexpr uint32_t kHeight = 480;

rendering render_small(layout kind, int frames = 2,
                       const sensor_model& m = default_model(kWidth, kHeight)) {
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
    sensor_model m = default_model(kWidth, kHeight);
    m.hot_pixel_rate = m.dead_pixel_rate = 0.0f;  // outliers would swamp the variance
    const rendering r = render_small(layout::horizontal, 1, m);
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
    const double prnu = m.prnu * signal;
    const double expected_var = signal / m.electrons_per_dn + m.read_noise_dn * m.read_noise_dn +
                                prnu * prnu + m.row_noise_dn * m.row_noise_dn;
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
        // The correlation runs up to ~15% ahead of the centroid separation as
        // the half-disc blurs grow.
        EXPECT_NEAR(pd.pd[0], expected, 0.3f + 0.15f * std::fabs(expected)) << "frame " << k;
        EXPECT_GT(pd.pd[0] * expected, 0.0f) << "frame " << k;
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

// Centroid of a patch along the split (columns) and across it (rows), and its sum.
struct moments {
    double along = 0, across = 0, sum = 0;
};

moments moments_of(const std::vector<double>& v, int size) {
    moments m;
    for (int b = 0; b < size; ++b) {
        for (int a = 0; a < size; ++a) {
            const double w = v[static_cast<size_t>(b) * size + a];
            m.sum += w;
            m.along += w * (a - size / 2);
            m.across += w * (b - size / 2);
        }
    }
    m.along /= m.sum;
    m.across /= m.sum;
    return m;
}

TEST(Optics, PhaseBlursAreMirroredHalfDiscsWhoseCentroidsSeparateLinearly) {
    const sensor_model m = default_model(kWidth, kHeight);
    constexpr int kSize = 81;
    // Below a pixel of defocus the response to a one-pixel point is quantised
    // by the pixel grid; from one pixel on the centroids follow the defocus.
    for (double d : {-12.0, -3.0, 1.0, 2.5, 6.0, 15.0}) {
        const psf_pair p = phase_psfs(m, d, kSize);
        ASSERT_EQ(p.size, kSize);
        const moments first = moments_of(p.first, kSize), second = moments_of(p.second, kSize);
        EXPECT_NEAR(first.sum, 1.0, 1e-6) << d;
        EXPECT_NEAR(second.sum, 1.0, 1e-6) << d;
        // The centroids lie d apart along the split (the first phase's image of
        // a point towards smaller positions in front of focus), none across.
        EXPECT_NEAR(second.along - first.along, d, 0.01 * std::fabs(d) + 0.07) << d;
        EXPECT_NEAR(first.across, 0.0, 1e-9) << d;
        // Mirror images of each other across the split line.
        double worst = 0.0, peak = 0.0;
        for (int b = 0; b < kSize; ++b) {
            for (int a = 0; a < kSize; ++a) {
                const size_t i = static_cast<size_t>(b) * kSize + a;
                const size_t mirrored = static_cast<size_t>(b) * kSize + (kSize - 1 - a);
                worst = std::max(worst, std::fabs(p.first[i] - p.second[mirrored]));
                peak = std::max(peak, p.first[i]);
            }
        }
        EXPECT_LT(worst, 1e-9 * peak + 1e-15) << d;
        // Out of focus the first phase's light lies mostly on one side: its own
        // half plus the crosstalk, (1 + a) : a split beyond the base blur.
        if (std::fabs(d) >= 6.0) {
            double near = 0.0, far = 0.0;
            for (int b = 0; b < kSize; ++b) {
                for (int a = 0; a < kSize; ++a) {
                    const double w = p.first[static_cast<size_t>(b) * kSize + a];
                    if ((a - kSize / 2) * d < 0) near += w;
                    if ((a - kSize / 2) * d > 0) far += w;
                }
            }
            EXPECT_NEAR(far / near, m.crosstalk, 0.08) << d;
        }
    }
    // Linear: the slope between 6 and 15 pixels of defocus is one.
    const psf_pair p6 = phase_psfs(m, 6.0, kSize), p15 = phase_psfs(m, 15.0, kSize);
    const double sep6 = moments_of(p6.second, kSize).along - moments_of(p6.first, kSize).along;
    const double sep15 = moments_of(p15.second, kSize).along - moments_of(p15.first, kSize).along;
    EXPECT_NEAR((sep15 - sep6) / 9.0, 1.0, 0.01);
    // The blur at d is the other phase's blur at -d.
    const psf_pair ahead = phase_psfs(m, 4.0, 41), behind = phase_psfs(m, -4.0, 41);
    for (size_t i = 0; i < ahead.first.size(); ++i) {
        ASSERT_NEAR(ahead.first[i], behind.second[i], 1e-12) << i;
    }
}

TEST(Rendering, FramesDoNotDependOnTheThreadCount) {
    for (layout kind : {layout::vertical, layout::dual}) {
        sensor_model m = default_model(320, 240);
        m.chart = chart_kind::natural;
        cal_settings s = tuned_settings(m, kind);
        s.sweep_frames = 2;
        m.render_threads = 1;
        const rendering one = render(m, kind, 3, s, tuned_limits(m, kind));
        m.render_threads = 3;
        const rendering three = render(m, kind, 3, s, tuned_limits(m, kind));
        for (size_t k = 0; k < 2; ++k) {
            EXPECT_EQ(one.capture.sweep[k].raw, three.capture.sweep[k].raw);
            EXPECT_EQ(one.capture.sweep[k].left, three.capture.sweep[k].left);
            EXPECT_EQ(one.capture.sweep[k].right, three.capture.sweep[k].right);
        }
        EXPECT_EQ(one.capture.flat.raw, three.capture.flat.raw);
        EXPECT_EQ(one.capture.flat.left, three.capture.flat.left);
    }
}

TEST(Rendering, NaturalTextureFollowsTheSeedAndBarsDoNot) {
    sensor_model m = default_model(320, 240);
    m.prnu = 0.0f;
    m.hot_pixel_rate = m.dead_pixel_rate = 0.0f;
    m.read_noise_dn = 0.0f;
    m.row_noise_dn = 0.0f;
    m.electrons_per_dn = 1e6f;  // no shot noise to speak of
    cal_settings s = tuned_settings(m, layout::dual);
    s.sweep_frames = 1;
    // Fraction of samples that differ between seeds 1 and 2 (the faint shot
    // noise left flips a rounding now and then).
    auto changed = [&] {
        const auto a = render(m, layout::dual, 1, s, tuned_limits(m, layout::dual));
        const auto b = render(m, layout::dual, 2, s, tuned_limits(m, layout::dual));
        const auto& fa = a.capture.sweep[0].left;
        const auto& fb = b.capture.sweep[0].left;
        size_t n = 0;
        for (size_t i = 0; i < fa.size(); ++i) n += std::abs(fa[i] - fb[i]) > 1;
        return static_cast<double>(n) / static_cast<double>(fa.size());
    };
    EXPECT_LT(changed(), 1e-3);
    m.chart = chart_kind::natural;
    EXPECT_GT(changed(), 0.5);
}

TEST(Sensor, DefectsAreAFixedPatternAtTheirRates) {
    sensor_model m = default_model(kWidth, kHeight);
    m.hot_pixel_rate = 2e-3f;
    m.dead_pixel_rate = 1e-3f;
    cal_settings s = tuned_settings(m, layout::horizontal);
    s.sweep_frames = 1;
    const rendering r = render(m, layout::horizontal, 9, s, tuned_limits(m, layout::horizontal));
    const auto& flat = r.capture.flat.raw;
    const auto& sweep = r.capture.sweep[0].raw;
    // Dead: black level plus read noise in every frame. Hot: 80+ DN above any
    // neighbour of the same colour in the flat field. The PD rows (brighter
    // than their blue neighbours) stay out.
    int dead = 0, dead_in_both = 0, hot = 0;
    double pixels = 0;
    for (uint32_t y = 2; y + 2 < kHeight; ++y) {
        if ((y - m.margin) % m.block_size == 3) continue;
        for (uint32_t x = 2; x + 2 < kWidth; ++x) {
            ++pixels;
            const size_t i = static_cast<size_t>(y) * kWidth + x;
            if (flat[i] < m.black_level + 12) {
                ++dead;
                if (sweep[i] < m.black_level + 12) ++dead_in_both;
            }
            const int neighbours = std::max({flat[i - 2], flat[i + 2], flat[i - 2 * kWidth],
                                             flat[i + 2 * kWidth]});
            if (flat[i] > neighbours + 60) ++hot;
        }
    }
    EXPECT_NEAR(dead, pixels * m.dead_pixel_rate, 0.35 * pixels * m.dead_pixel_rate);
    EXPECT_EQ(dead_in_both, dead);
    EXPECT_NEAR(hot, pixels * m.hot_pixel_rate, 0.35 * pixels * m.hot_pixel_rate);
}

TEST(Optics, TruthRecordsThePairGeometrysZeroPdOffset) {
    const sensor_model m = default_model(kWidth, kHeight);
    EXPECT_DOUBLE_EQ(pair_offset(m, layout::horizontal), 1.0);
    EXPECT_DOUBLE_EQ(pair_offset(m, layout::vertical), 1.0);
    EXPECT_DOUBLE_EQ(pair_offset(m, layout::dual), 0.0);
    for (layout kind : {layout::horizontal, layout::dual}) {
        const ground_truth t = truth_for(m, kind, tuned_settings(m, kind));
        ASSERT_EQ(t.zero_pd_offset.size(), t.dcc.size());
        for (size_t w = 0; w < t.dcc.size(); ++w) {
            EXPECT_FLOAT_EQ(t.zero_pd_offset[w], kind == layout::dual ? 0.0f : t.dcc[w]) << w;
        }
    }
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
    EXPECT_GT(lens.front(), m.lens_first);  // between the calibration sweep's ends
    EXPECT_LT(lens.back(), last);
    EXPECT_GT(lens.back() - lens.front(), 3 * (last - m.lens_first) / 4);  // and over most of it
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
