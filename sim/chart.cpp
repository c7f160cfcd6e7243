#include "chart.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "optics.h"
#include "parallel.h"
#include "random.h"

namespace orvane_sim::detail {
namespace {

// Standard normal CDF through the Abramowitz-Stegun 7.1.26 erf (|error| < 1.5e-7),
// written out so the rendering does not depend on the math library's erf.
double normal_cdf(double z) {
    const double x = std::fabs(z) * 0.7071067811865476;
    const double t = 1.0 / (1.0 + 0.3275911 * x);
    const double poly =
        t * (0.254829592 +
             t * (-0.284496736 + t * (1.421413741 + t * (-1.453152027 + t * 1.061405429))));
    const double erf_abs = 1.0 - poly * std::exp(-x * x);
    return z >= 0.0 ? 0.5 * (1.0 + erf_abs) : 0.5 * (1.0 - erf_abs);
}

// A two-level pattern along one axis (0 before the first edge or 1, alternating
// at every edge) and its Gaussian-blurred value.
class edge_pattern {
public:
    edge_pattern(std::vector<double> edges, int level_before)
        : edges_(std::move(edges)), before_(level_before) {}

    double blurred(double pos, double sigma) const {
        const double reach = 6.0 * sigma;
        auto it = std::upper_bound(edges_.begin(), edges_.end(), pos - reach);
        const auto passed = static_cast<size_t>(it - edges_.begin());
        double value = level_after(passed);
        for (; it != edges_.end() && *it <= pos + reach; ++it) {
            const auto k = static_cast<size_t>(it - edges_.begin());
            // Edge k steps from level_after(k) to level_after(k + 1).
            const double step = level_after(k + 1) - level_after(k);
            value += step * normal_cdf((pos - *it) / sigma);
        }
        return value;
    }

private:
    double level_after(size_t edges_passed) const {
        return static_cast<double>((edges_passed & 1) ? 1 - before_ : before_);
    }

    std::vector<double> edges_;
    int before_;
};

}  // namespace

void gaussian_blur(const sensor_model& m, scene_image& s, double sigma) {
    if (!(sigma > 0.0)) return;
    const int r = static_cast<int>(std::ceil(3.5 * sigma));
    std::vector<double> taps(static_cast<size_t>(2 * r + 1));
    double sum = 0.0;
    for (int i = -r; i <= r; ++i) {
        taps[static_cast<size_t>(i + r)] = std::exp(-0.5 * i * i / (sigma * sigma));
        sum += taps[static_cast<size_t>(i + r)];
    }
    for (double& t : taps) t /= sum;
    std::vector<float> tmp(s.v.size());
    const int w = s.w, h = s.h;
    parallel_for(m, h, [&](int y) {
        for (int x = 0; x < w; ++x) {
            double acc = 0.0;
            for (int i = -r; i <= r; ++i) {
                const int xx = std::clamp(x + i, 0, w - 1);
                acc += taps[static_cast<size_t>(i + r)] * s.v[static_cast<size_t>(y) * w + xx];
            }
            tmp[static_cast<size_t>(y) * w + x] = static_cast<float>(acc);
        }
    });
    parallel_for(m, h, [&](int y) {
        for (int x = 0; x < w; ++x) {
            double acc = 0.0;
            for (int i = -r; i <= r; ++i) {
                const int yy = std::clamp(y + i, 0, h - 1);
                acc += taps[static_cast<size_t>(i + r)] * tmp[static_cast<size_t>(yy) * w + x];
            }
            s.v[static_cast<size_t>(y) * w + x] = static_cast<float>(acc);
        }
    });
}

void draw_bars(const sensor_model& m, scene_image& s) {
    const double lo = -512.0;
    const double hi_x = static_cast<double>(m.width) + 512.0;
    const double hi_y = static_cast<double>(m.height) + 512.0;

    sequence seq(m.chart_seed);
    std::vector<double> bars;
    const double half = 0.5 * static_cast<double>(m.bar_period);
    // Edges from the bar phase outwards, so the phase stays an edge position.
    std::vector<double> before;
    for (double e = m.bar_phase; e > lo;) {
        e -= half * (1.0 + m.bar_jitter * (2.0 * seq.uniform() - 1.0));
        before.push_back(e);
    }
    bars.assign(before.rbegin(), before.rend());
    for (double e = m.bar_phase; e < hi_x;
         e += half * (1.0 + m.bar_jitter * (2.0 * seq.uniform() - 1.0))) {
        bars.push_back(e);
    }
    // The level before the first edge keeps the bar phase a rising edge.
    const int before_level = static_cast<int>(before.size() & 1);

    std::vector<double> stripes;
    const double span = static_cast<double>(m.stripe_max - m.stripe_min);
    for (double e = lo + seq.uniform() * span; e < hi_y;
         e += static_cast<double>(m.stripe_min) + seq.uniform() * span) {
        stripes.push_back(e);
    }
    const edge_pattern bar_edges(std::move(bars), before_level);
    const edge_pattern stripe_edges(std::move(stripes), 0);

    const field f(m);
    const double angle = static_cast<double>(m.chart_rotation) * kPi / 180.0;
    const double cs = std::cos(angle), sn = std::sin(angle);
    const double sigma = std::max(0.05, static_cast<double>(m.blur_base));
    parallel_for(m, s.h, [&](int iy) {
        const double y = iy - s.pad + 0.5;
        for (int ix = 0; ix < s.w; ++ix) {
            const double x = ix - s.pad + 0.5;
            const double xr = f.cx + (x - f.cx) * cs + (y - f.cy) * sn;
            const double yr = f.cy - (x - f.cx) * sn + (y - f.cy) * cs;
            const double reflectance = m.chart_base + m.chart_bar * bar_edges.blurred(xr, sigma) +
                                       m.chart_stripe * stripe_edges.blurred(yr, sigma);
            s.at(ix, iy) = static_cast<float>(reflectance * lighting(m, f, x, y));
        }
    });
}

void draw_leaves(const sensor_model& m, uint64_t seed, scene_image& s) {
    const int w = s.w, h = s.h;
    std::vector<float> value(s.v.size(), 0.0f);
    std::vector<float> open(s.v.size(), 1.0f);  // light still to come from behind
    size_t uncovered = s.v.size();
    sequence seq(mix64(m.chart_seed ^ mix64(seed)));
    const double rmin = m.leaf_min, rmax = m.leaf_max;
    const double lo = m.chart_base;
    const double range = m.chart_bar + m.chart_stripe;
    const double inv_r2 = 1.0 / (rmin * rmin) - 1.0 / (rmax * rmax);
    for (int leaf = 0; leaf < 2000000 && uncovered > 0; ++leaf) {
        // Inverse CDF of p(r) ~ 1/r^3 on [rmin, rmax].
        const double r = 1.0 / std::sqrt(1.0 / (rmin * rmin) - seq.uniform() * inv_r2);
        const double cx = -rmax + seq.uniform() * (w + 2 * rmax);
        const double cy = -rmax + seq.uniform() * (h + 2 * rmax);
        const double level = lo + range * seq.uniform();
        const int x0 = std::max(0, static_cast<int>(std::floor(cx - r - 1)));
        const int x1 = std::min(w - 1, static_cast<int>(std::ceil(cx + r + 1)));
        const int y0 = std::max(0, static_cast<int>(std::floor(cy - r - 1)));
        const int y1 = std::min(h - 1, static_cast<int>(std::ceil(cy + r + 1)));
        for (int y = y0; y <= y1; ++y) {
            const double dy = y + 0.5 - cy;
            for (int x = x0; x <= x1; ++x) {
                const size_t i = static_cast<size_t>(y) * w + x;
                if (open[i] <= 0.0f) continue;
                const double dx = x + 0.5 - cx;
                const double cover = std::clamp(r + 0.5 - std::sqrt(dx * dx + dy * dy), 0.0, 1.0);
                if (cover <= 0.0) continue;
                value[i] += static_cast<float>(open[i] * cover * level);
                open[i] = static_cast<float>(open[i] * (1.0 - cover));
                if (open[i] < 1e-3f) {
                    value[i] /= 1.0f - open[i];
                    open[i] = 0.0f;
                    --uncovered;
                }
            }
        }
    }
    const float mean = static_cast<float>(lo + 0.5 * range);
    for (size_t i = 0; i < value.size(); ++i) value[i] += open[i] * mean;
    s.v = std::move(value);
    gaussian_blur(m, s, m.blur_base);
    const field f(m);
    parallel_for(m, h, [&](int iy) {
        const double y = iy - s.pad + 0.5;
        for (int ix = 0; ix < w; ++ix) {
            s.at(ix, iy) *= static_cast<float>(lighting(m, f, ix - s.pad + 0.5, y));
        }
    });
}

}  // namespace orvane_sim::detail
