#include "sim.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "random.h"

namespace orvane_sim {
namespace {

constexpr double kPi = 3.14159265358979323846;

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

// Field geometry: normalised coordinates u, v in [-1, 1] and r^2 (1 at the corners).
struct field {
    double cx, cy, inv_cx, inv_cy, inv_diag2;

    explicit field(const sensor_model& m)
        : cx(0.5 * m.width),
          cy(0.5 * m.height),
          inv_cx(1.0 / cx),
          inv_cy(1.0 / cy),
          inv_diag2(1.0 / (cx * cx + cy * cy)) {}

    double u(double x) const { return (x - cx) * inv_cx; }
    double v(double y) const { return (y - cy) * inv_cy; }
    double r2(double x, double y) const {
        return ((x - cx) * (x - cx) + (y - cy) * (y - cy)) * inv_diag2;
    }
};

double focus_at(const sensor_model& m, const field& f, double x, double y) {
    return m.focus_centre + m.field_curvature * f.r2(x, y) + m.focus_tilt_x * f.u(x) +
           m.focus_tilt_y * f.v(y);
}

double dcc_at_field(const sensor_model& m, const field& f, double x, double y) {
    return m.dcc_centre * (1.0 + m.dcc_edge * f.r2(x, y) + m.dcc_tilt_x * f.u(x));
}

double vignetting(const sensor_model& m, const field& f, double x, double y) {
    const double s = 1.0 + m.vignetting * f.r2(x, y);
    return 1.0 / (s * s);
}

// Light on the chart: brighter on the left and in the middle.
double lighting(const sensor_model& m, const field& f, double x, double y) {
    return 1.0 - 0.5 * m.light_gradient * f.u(x) - m.light_falloff * f.r2(x, y);
}

// Defocus disparity (centroid separation of the two phases' blurs, pixels).
double disparity_at(const sensor_model& m, const field& f, double lens, double x, double y) {
    return (lens - focus_at(m, f, x, y)) / dcc_at_field(m, f, x, y);
}

// Radius of the defocus disc for a disparity. The centroid of a half disc of
// radius R lies 4R / (3 pi) from the centre; with crosstalk a each phase's
// centroid moves back by the factor (1 - a) / (1 + a).
double disc_radius(const sensor_model& m, double disparity) {
    const double a = m.crosstalk;
    return std::fabs(disparity) * 3.0 * kPi * (1.0 + a) / (8.0 * (1.0 - a));
}

// Bayer phase (x & 1) + 2 (y & 1), RGGB: colour response to the grey chart.
double colour_response(const sensor_model& m, uint32_t x, uint32_t y) {
    switch ((x & 1u) + 2u * (y & 1u)) {
        case 0:
            return m.red_response;
        case 3:
            return m.blue_response;
        default:
            return 1.0;
    }
}

// ---- threads ----------------------------------------------------------------------

// Runs fn(0 .. n-1) on the model's threads. Every item writes its own part of
// the output, so the result does not depend on the thread count or order.
template <class F>
void parallel_for(const sensor_model& m, int n, F&& fn) {
    unsigned threads = m.render_threads ? m.render_threads : std::thread::hardware_concurrency();
    threads = std::clamp<unsigned>(threads, 1, 64);
    if (threads == 1 || n <= 1) {
        for (int i = 0; i < n; ++i) fn(i);
        return;
    }
    std::atomic<int> next{0};
    auto work = [&] {
        for (int i = next++; i < n; i = next++) fn(i);
    };
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads && static_cast<int>(t) < n; ++t) pool.emplace_back(work);
    work();
    for (std::thread& t : pool) t.join();
}

// ---- the scene --------------------------------------------------------------------

// A scene image in the orientation of the PD split: `na` samples along the
// split per line, `nb` lines, `pad` samples of border around the frame. Each
// line keeps its running sums, so the integral of the scene (piecewise
// constant over pixels) along the split between any two points is two lookups.
struct plane {
    int pad = 0, na = 0, nb = 0;
    std::vector<double> prefix;  // nb lines of na + 1 running sums

    const double* line(int b) const { return prefix.data() + static_cast<size_t>(b) * (na + 1); }
};

// Scene (reflectance x light) over the padded frame, row-major in image
// orientation: (width + 2 pad) x (height + 2 pad).
struct scene_image {
    int pad = 0, w = 0, h = 0;
    std::vector<float> v;
    float& at(int x, int y) { return v[static_cast<size_t>(y) * w + x]; }
};

// Separable Gaussian blur of the scene image, borders replicated.
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

// The bar chart, evaluated analytically with the base blur: bars across the
// turned x axis, irregular stripes across the turned y axis.
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

// Dead leaves: opaque discs laid front to back until the frame is covered,
// radii with density ~ 1/r^3 (scale-invariant statistics, like natural
// scenes), edges anti-aliased by their coverage of each pixel.
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

enum class split { horizontal, vertical };

split split_of(layout kind) {
    return kind == layout::vertical ? split::vertical : split::horizontal;
}

// The scene's running sums along the split.
plane make_plane(const sensor_model& m, const scene_image& s, split dir) {
    plane p;
    p.pad = s.pad;
    p.na = dir == split::horizontal ? s.w : s.h;
    p.nb = dir == split::horizontal ? s.h : s.w;
    p.prefix.assign(static_cast<size_t>(p.nb) * (p.na + 1), 0.0);
    parallel_for(m, p.nb, [&](int b) {
        double* line = p.prefix.data() + static_cast<size_t>(b) * (p.na + 1);
        double acc = 0.0;
        line[0] = 0.0;
        for (int a = 0; a < p.na; ++a) {
            acc += dir == split::horizontal ? s.v[static_cast<size_t>(b) * s.w + a]
                                            : s.v[static_cast<size_t>(a) * s.w + b];
            line[a + 1] = acc;
        }
    });
    return p;
}

// ---- the defocus blur -------------------------------------------------------------

// The half disc of one phase as one box per line across the split: line j
// covers the strip [j - 1/2, j + 1/2] of the disc, and its box [0, len] along
// the split has that strip's area and first moment, so the blur keeps the
// disc's area and centroid exactly whatever the radius. `kp`/`fp` and
// `km`/`fm` locate the box ends a + len and a - len relative to the pixel
// centre a = i + 1/2 as index and fraction of the running sums.
struct strip {
    int line;
    int kp, km;
    double fp, fm;
    double height;
};

struct kernel {
    std::vector<strip> strips;
    double area = 1.0;   // of the half disc
    bool point = true;   // in focus: the pixel itself
    bool flip = false;   // behind focus: the phases swap halves
};

kernel make_kernel(const sensor_model& m, double disparity, int pad) {
    kernel k;
    k.flip = disparity < 0.0;
    const double r = std::min(disc_radius(m, disparity), pad - 3.0);
    if (!(r > 1e-4)) return k;
    k.point = false;
    const double r2 = r * r;
    auto F = [&](double y) {  // integral of the half chord sqrt(r^2 - y^2)
        const double t = std::clamp(y / r, -1.0, 1.0);
        return 0.5 * (y * std::sqrt(std::max(0.0, r2 - y * y)) + r2 * std::asin(t));
    };
    auto G = [&](double y) { return 0.5 * (r2 * y - y * y * y / 3.0); };  // first moment
    const int reach = static_cast<int>(std::ceil(r + 0.5)) - 1;
    k.area = 0.0;
    for (int j = -reach; j <= reach; ++j) {
        const double y0 = std::max(j - 0.5, -r), y1 = std::min(j + 0.5, r);
        if (!(y1 > y0)) continue;
        const double area = F(y1) - F(y0);
        if (!(area > 1e-12)) continue;
        const double len = 2.0 * (G(y1) - G(y0)) / area;
        strip s;
        s.line = j;
        s.height = area / len;
        const double up = 0.5 + len, down = 0.5 - len;
        s.kp = static_cast<int>(std::floor(up));
        s.fp = up - s.kp;
        s.km = static_cast<int>(std::floor(down));
        s.fm = down - s.km;
        k.strips.push_back(s);
        k.area += area;
    }
    return k;
}

inline double sum_at(const double* line, int i, double f) {
    return line[i] + f * (line[i + 1] - line[i]);
}

// The two halves of the disc at sample i of line b (padded plane indices):
// the scene averaged over the half towards larger and smaller positions.
struct halves {
    double larger, smaller;
};

halves halves_at(const plane& p, const kernel& k, int i, int b) {
    if (k.point) {
        const double* line = p.line(b);
        const double v = line[i + 1] - line[i];
        return {v, v};
    }
    double larger = 0.0, smaller = 0.0;
    for (const strip& s : k.strips) {
        const double* line = p.line(b + s.line);
        const double centre = line[i] + 0.5 * (line[i + 1] - line[i]);
        larger += s.height * (sum_at(line, i + s.kp, s.fp) - centre);
        smaller += s.height * (centre - sum_at(line, i + s.km, s.fm));
    }
    return {larger / k.area, smaller / k.area};
}

// The whole aperture and the two halves for n consecutive samples from i of
// line b, strip by strip (the inner loop runs along one line of running sums).
void full_run(const plane& p, const kernel& k, int i, int n, int b, double* out) {
    if (k.point) {
        const double* line = p.line(b);
        for (int t = 0; t < n; ++t) out[t] = line[i + t + 1] - line[i + t];
        return;
    }
    std::fill(out, out + n, 0.0);
    for (const strip& s : k.strips) {
        const double* line = p.line(b + s.line) + i;
        const double h = s.height;
        for (int t = 0; t < n; ++t) {
            out[t] += h * (sum_at(line, t + s.kp, s.fp) - sum_at(line, t + s.km, s.fm));
        }
    }
    const double scale = 1.0 / (2.0 * k.area);
    for (int t = 0; t < n; ++t) out[t] *= scale;
}

void halves_run(const plane& p, const kernel& k, int i, int n, int b, double* larger,
                double* smaller) {
    if (k.point) {
        const double* line = p.line(b);
        for (int t = 0; t < n; ++t) larger[t] = smaller[t] = line[i + t + 1] - line[i + t];
        return;
    }
    std::fill(larger, larger + n, 0.0);
    std::fill(smaller, smaller + n, 0.0);
    for (const strip& s : k.strips) {
        const double* line = p.line(b + s.line) + i;
        const double h = s.height;
        for (int t = 0; t < n; ++t) {
            const double centre = line[t] + 0.5 * (line[t + 1] - line[t]);
            larger[t] += h * (sum_at(line, t + s.kp, s.fp) - centre);
            smaller[t] += h * (centre - sum_at(line, t + s.km, s.fm));
        }
    }
    const double scale = 1.0 / k.area;
    for (int t = 0; t < n; ++t) {
        larger[t] *= scale;
        smaller[t] *= scale;
    }
}

// The two phases. In front of focus (positive disparity) the first phase sees
// the scene displaced towards larger positions along the split, the second
// towards smaller ones; each also takes `crosstalk` of the other half.
struct phase_pair {
    double first, second;
};

phase_pair phases_at(const sensor_model& m, const plane& p, const kernel& k, int i, int b) {
    const halves h = halves_at(p, k, i, b);
    const double a = m.crosstalk;
    const double own = k.flip ? h.smaller : h.larger;
    const double other = k.flip ? h.larger : h.smaller;
    return {(own + a * other) / (1.0 + a), (other + a * own) / (1.0 + a)};
}

// ---- the sensor -------------------------------------------------------------------

// Fixed per-pixel properties, drawn from the seed: response (PRNU, 0 for a
// dead pixel) and dark signal (hot pixels).
struct pixel_traits {
    uint64_t key;
    double prnu, hot, dead;

    void at(uint64_t index, double& gain, double& dark) const {
        const uint64_t r = mix64(key + index * 0x9E3779B97F4A7C15ull);
        const double u = static_cast<double>(r >> 11) * (1.0 / 9007199254740992.0);
        dark = 0.0;
        if (u < dead) {
            gain = 0.0;
            return;
        }
        gain = 1.0 + prnu * gaussian(key ^ 0x50524E55ull, index);
        if (u < dead + hot) dark = 80.0 + 600.0 * ((u - dead) / hot);
    }
};

pixel_traits traits_of(const sensor_model& m, uint64_t seed) {
    return {stream_key(seed, 0xDEFEC7ull), m.prnu, m.hot_pixel_rate, m.dead_pixel_rate};
}

// Mean signal in DN to a noisy sample: shot noise on the collected electrons,
// read noise, the row's offset, rounding to whole DN, the black level and the
// 10-bit clip. `pixels` > 1 sums that many photodiodes and averages them.
uint16_t to_sample(const sensor_model& m, double mean_dn, double z, double row_dn,
                   int pixels = 1) {
    const double epd = m.electrons_per_dn;
    const double electrons = std::max(0.0, mean_dn) * epd * pixels;
    const double read_e = static_cast<double>(m.read_noise_dn) * epd;
    const double noisy = electrons + z * std::sqrt(electrons + pixels * read_e * read_e);
    const double dn = std::floor(noisy / (epd * pixels) + row_dn + 0.5) + m.black_level;
    const double clipped = std::clamp(dn, 0.0, static_cast<double>(m.white_level));
    return static_cast<uint16_t>(clipped);
}

// PD sensitivity of the two phases: opposite ramps along the split direction.
phase_pair pd_sensitivity(const sensor_model& m, const field& f, split s, double sensitivity,
                          double x, double y) {
    const double w = s == split::horizontal ? f.u(x) : f.v(y);
    return {sensitivity * (1.0 - m.pd_shading * w), sensitivity * (1.0 + m.pd_shading * w)};
}

// Where the PD pixels of a raw layout sit: block-relative pair coordinates.
struct pd_pair {
    uint16_t x1, y1, x2, y2;
};

std::vector<pd_pair> pd_pairs(const sensor_model& m, layout kind) {
    std::vector<pd_pair> pairs;
    const uint16_t count = std::max<uint16_t>(1, m.pd_pairs);
    const uint16_t spacing = static_cast<uint16_t>(m.block_size / count);
    for (uint16_t k = 0; k < count; ++k) {
        const auto along = static_cast<uint16_t>(k * spacing);
        if (kind == layout::vertical) {
            // 1x2 microlens pairs in one column: first on an even row.
            pairs.push_back(
                {3, static_cast<uint16_t>(2 + along), 3, static_cast<uint16_t>(3 + along)});
        } else {
            // 2x1 microlens pairs in one row: left on an odd column.
            pairs.push_back(
                {static_cast<uint16_t>(1 + along), 3, static_cast<uint16_t>(2 + along), 3});
        }
    }
    return pairs;
}

struct block_grid {
    uint32_t cols, rows;  // blocks
};

block_grid blocks_of(const sensor_model& m) {
    const auto span_x = static_cast<int64_t>(m.width) - 2 * static_cast<int64_t>(m.margin);
    const auto span_y = static_cast<int64_t>(m.height) - 2 * static_cast<int64_t>(m.margin);
    return {static_cast<uint32_t>(std::max<int64_t>(0, span_x / m.block_size)),
            static_cast<uint32_t>(std::max<int64_t>(0, span_y / m.block_size))};
}

constexpr uint32_t kTile = 32;

// Everything a frame is rendered from.
struct frame_setup {
    const sensor_model& m;
    const field& f;
    const plane* scene;  // null: the flat field
    split dir;
    pixel_traits traits;
};

// Plane indices of the pixel (x, y).
inline void plane_index(const frame_setup& s, uint32_t x, uint32_t y, int& i, int& b) {
    const int pad = s.scene->pad;
    i = static_cast<int>(s.dir == split::horizontal ? x : y) + pad;
    b = static_cast<int>(s.dir == split::horizontal ? y : x) + pad;
}

kernel kernel_at(const frame_setup& s, double lens, double x, double y) {
    return make_kernel(s.m, disparity_at(s.m, s.f, lens, x, y), s.scene->pad);
}

// One raw Bayer frame with PD pairs: the chart at a lens position, or the flat field.
std::vector<uint16_t> render_raw(const frame_setup& s, layout kind, double lens, uint64_t key) {
    const sensor_model& m = s.m;
    const field& f = s.f;
    const uint32_t w = m.width;
    const uint32_t h = m.height;
    std::vector<uint16_t> raw(static_cast<size_t>(w) * h);
    const double exposure = m.exposure_dn;
    const double flat_value = m.flat_level;
    const uint64_t row_key = key ^ 0x524F57ull;

    const uint32_t tiles_x = (w + kTile - 1) / kTile;
    const uint32_t tiles_y = (h + kTile - 1) / kTile;
    parallel_for(m, static_cast<int>(tiles_x * tiles_y), [&](int t) {
        const uint32_t tx = (static_cast<uint32_t>(t) % tiles_x) * kTile;
        const uint32_t ty = (static_cast<uint32_t>(t) / tiles_x) * kTile;
        const uint32_t ye = std::min(h, ty + kTile);
        const uint32_t xe = std::min(w, tx + kTile);
        // The tile's scene through the whole aperture, in plane order (lines
        // across the split, samples along it).
        double tile[kTile * kTile];
        const bool along_x = s.dir == split::horizontal;
        const uint32_t n_along = along_x ? xe - tx : ye - ty;
        const uint32_t n_lines = along_x ? ye - ty : xe - tx;
        if (s.scene) {
            const kernel k = kernel_at(s, lens, tx + 0.5 * kTile, ty + 0.5 * kTile);
            int i0, b0;
            plane_index(s, tx, ty, i0, b0);
            for (uint32_t l = 0; l < n_lines; ++l) {
                full_run(*s.scene, k, i0, static_cast<int>(n_along), b0 + static_cast<int>(l),
                         tile + l * kTile);
            }
        }
        for (uint32_t y = ty; y < ye; ++y) {
            const double row_dn = m.row_noise_dn * gaussian(row_key, y);
            for (uint32_t x = tx; x < xe; ++x) {
                double scene = flat_value;
                if (s.scene) {
                    scene = along_x ? tile[(y - ty) * kTile + (x - tx)]
                                    : tile[(x - tx) * kTile + (y - ty)];
                }
                const size_t idx = static_cast<size_t>(y) * w + x;
                double gain, dark;
                s.traits.at(idx, gain, dark);
                const double mean = exposure * scene * colour_response(m, x, y) *
                                        vignetting(m, f, x + 0.5, y + 0.5) * gain +
                                    dark;
                raw[idx] = to_sample(m, mean, gaussian(key, idx), row_dn);
            }
        }
    });

    // The PD pixels replace the image pixels at their places, each seeing the
    // scene at its own position through its half of the pupil.
    const block_grid g = blocks_of(m);
    const auto pairs = pd_pairs(m, kind);
    parallel_for(m, static_cast<int>(g.rows), [&](int br) {
        for (uint32_t bc = 0; bc < g.cols; ++bc) {
            const uint32_t bx = m.margin + bc * m.block_size;
            const uint32_t by = m.margin + static_cast<uint32_t>(br) * m.block_size;
            kernel k;
            if (s.scene) k = kernel_at(s, lens, bx + 0.5 * m.block_size, by + 0.5 * m.block_size);
            for (const pd_pair& p : pairs) {
                const uint32_t xs[2] = {bx + p.x1, bx + p.x2};
                const uint32_t ys[2] = {by + p.y1, by + p.y2};
                for (int q = 0; q < 2; ++q) {
                    const uint32_t x = xs[q], y = ys[q];
                    const double px = x + 0.5, py = y + 0.5;
                    const phase_pair sens = pd_sensitivity(m, f, s.dir, m.pd_sensitivity, px, py);
                    double scene = flat_value;
                    if (s.scene) {
                        int i, b;
                        plane_index(s, x, y, i, b);
                        const phase_pair ph = phases_at(m, *s.scene, k, i, b);
                        scene = q == 0 ? ph.first : ph.second;
                    }
                    const size_t idx = static_cast<size_t>(y) * w + x;
                    double gain, dark;
                    s.traits.at(idx, gain, dark);
                    const double mean = exposure * vignetting(m, f, px, py) *
                                            (q == 0 ? sens.first : sens.second) * scene * gain +
                                        dark;
                    const double row_dn = m.row_noise_dn * gaussian(row_key, y);
                    raw[idx] = to_sample(m, mean, gaussian(key, idx), row_dn);
                }
            }
        }
    });
    return raw;
}

// The left and right images of a dual-photodiode sensor, binned 2x2 on chip:
// each sample averages the photodiodes of one Bayer cell.
void render_dual(const frame_setup& s, double lens, uint64_t key, std::vector<uint16_t>& left,
                 std::vector<uint16_t>& right) {
    const sensor_model& m = s.m;
    const field& f = s.f;
    const uint32_t bin = std::max<uint32_t>(1, m.dual_binning);
    const uint32_t ow = m.width / bin;
    const uint32_t oh = m.height / bin;
    left.assign(static_cast<size_t>(ow) * oh, 0);
    right.assign(static_cast<size_t>(ow) * oh, 0);
    const double exposure = m.exposure_dn;
    const double flat_value = m.flat_level;
    const uint64_t half = static_cast<uint64_t>(ow) * oh;
    const uint64_t row_key = key ^ 0x524F57ull;

    const uint32_t tile = std::max<uint32_t>(1, kTile / bin);  // output samples per tile side
    const uint32_t tiles_x = (ow + tile - 1) / tile;
    const uint32_t tiles_y = (oh + tile - 1) / tile;
    parallel_for(m, static_cast<int>(tiles_x * tiles_y), [&](int t) {
        const uint32_t ox0 = (static_cast<uint32_t>(t) % tiles_x) * tile;
        const uint32_t oy0 = (static_cast<uint32_t>(t) / tiles_x) * tile;
        const uint32_t oye = std::min(oh, oy0 + tile);
        const uint32_t oxe = std::min(ow, ox0 + tile);
        // The two halves of the tile's pixels, row by row.
        const uint32_t px0 = ox0 * bin, py0 = oy0 * bin;
        const uint32_t nx = (oxe - ox0) * bin, ny = (oye - oy0) * bin;
        std::vector<double> larger(static_cast<size_t>(nx) * ny), smaller(larger.size());
        const double a = m.crosstalk;
        kernel k;
        if (s.scene) {
            k = kernel_at(s, lens, (ox0 + 0.5 * tile) * bin, (oy0 + 0.5 * tile) * bin);
            int i0, b0;
            plane_index(s, px0, py0, i0, b0);
            for (uint32_t r = 0; r < ny; ++r) {
                halves_run(*s.scene, k, i0, static_cast<int>(nx), b0 + static_cast<int>(r),
                           larger.data() + r * nx, smaller.data() + r * nx);
            }
        }
        for (uint32_t oy = oy0; oy < oye; ++oy) {
            for (uint32_t ox = ox0; ox < oxe; ++ox) {
                double sum[2] = {0.0, 0.0};
                for (uint32_t dy = 0; dy < bin; ++dy) {
                    for (uint32_t dx = 0; dx < bin; ++dx) {
                        const uint32_t px = ox * bin + dx, py = oy * bin + dy;
                        const double fx = px + 0.5, fy = py + 0.5;
                        const phase_pair sens = pd_sensitivity(m, f, split::horizontal, 0.5, fx, fy);
                        phase_pair scene{flat_value, flat_value};
                        if (s.scene) {
                            const size_t t = static_cast<size_t>(py - py0) * nx + (px - px0);
                            const double own = k.flip ? smaller[t] : larger[t];
                            const double other = k.flip ? larger[t] : smaller[t];
                            scene = {(own + a * other) / (1.0 + a), (other + a * own) / (1.0 + a)};
                        }
                        const double g =
                            exposure * colour_response(m, px, py) * vignetting(m, f, fx, fy);
                        const uint64_t pixel = static_cast<uint64_t>(py) * m.width + px;
                        for (int p = 0; p < 2; ++p) {
                            double gain, dark;
                            s.traits.at(2 * pixel + static_cast<uint64_t>(p), gain, dark);
                            sum[p] += g * (p == 0 ? sens.first * scene.first
                                                  : sens.second * scene.second) *
                                          gain +
                                      dark;
                        }
                    }
                }
                const int n = static_cast<int>(bin * bin);
                const size_t idx = static_cast<size_t>(oy) * ow + ox;
                left[idx] = to_sample(m, sum[0] / n, gaussian(key, idx),
                                      m.row_noise_dn * gaussian(row_key, oy), n);
                right[idx] = to_sample(m, sum[1] / n, gaussian(key, half + idx),
                                       m.row_noise_dn * gaussian(row_key, oh + oy), n);
            }
        }
    });
}

// Border the scene needs around the frame so that no blur of the given lens
// positions reaches past it.
int scene_pad(const sensor_model& m, const std::vector<double>& lenses) {
    const field f(m);
    double worst = 0.0;
    const double xs[3] = {0.0, 0.5 * m.width, static_cast<double>(m.width)};
    const double ys[3] = {0.0, 0.5 * m.height, static_cast<double>(m.height)};
    for (double lens : lenses)
        for (double x : xs)
            for (double y : ys)
                worst = std::max(worst, disc_radius(m, disparity_at(m, f, lens, x, y)));
    return static_cast<int>(std::ceil(1.1 * worst)) + 8;
}

plane scene_plane(const sensor_model& m, layout kind, uint64_t seed, int pad) {
    scene_image s;
    s.pad = pad;
    s.w = static_cast<int>(m.width) + 2 * pad;
    s.h = static_cast<int>(m.height) + 2 * pad;
    s.v.assign(static_cast<size_t>(s.w) * s.h, 0.0f);
    if (m.chart == chart_kind::natural) {
        draw_leaves(m, seed, s);
    } else {
        draw_bars(m, s);
    }
    return make_plane(m, s, split_of(kind));
}

// The window rectangle the library lays over an image, as fractions.
struct fractions {
    float top, left, height, width;
};

float clamp01(float x) {
    if (x > 0.0f && x < 1.0f) return x;
    return x >= 1.0f ? 1.0f : 0.0f;
}

fractions window_fractions(int i, int j, int rows, int cols, float margin) {
    const float fr = static_cast<float>(rows), fc = static_cast<float>(cols);
    const float mr = margin / fr, mc = margin / fc;
    const float top = clamp01(static_cast<float>(i) / fr - mr);
    const float bottom = clamp01(static_cast<float>(i + 1) / fr + mr);
    const float left = clamp01(static_cast<float>(j) / fc - mc);
    const float right = clamp01(static_cast<float>(j + 1) / fc + mc);
    return {top, left, clamp01(bottom - top), clamp01(right - left)};
}

}  // namespace

const char* chart_name(chart_kind kind) {
    return kind == chart_kind::natural ? "natural" : "bars";
}

double pair_offset(const sensor_model& m, layout kind) {
    if (kind == layout::dual) return 0.0;
    const auto pairs = pd_pairs(m, kind);
    double sum = 0.0;
    for (const pd_pair& p : pairs) {
        sum += kind == layout::vertical ? static_cast<double>(p.y2) - p.y1
                                        : static_cast<double>(p.x2) - p.x1;
    }
    return pairs.empty() ? 0.0 : sum / static_cast<double>(pairs.size());
}

psf_pair phase_psfs(const sensor_model& model, double disparity, int size) {
    sensor_model m = model;
    m.render_threads = 1;
    const int half = std::max(0, size / 2);
    psf_pair out;
    out.size = 2 * half + 1;
    const int pad = static_cast<int>(std::ceil(disc_radius(m, disparity))) + 8;
    scene_image s;
    s.pad = pad;
    s.w = s.h = out.size + 2 * pad;
    s.v.assign(static_cast<size_t>(s.w) * s.h, 0.0f);
    s.at(s.w / 2, s.h / 2) = 1.0f;
    gaussian_blur(m, s, m.blur_base);
    const plane p = make_plane(m, s, split::horizontal);
    const kernel k = make_kernel(m, disparity, pad);
    for (int b = 0; b < out.size; ++b) {
        for (int a = 0; a < out.size; ++a) {
            const phase_pair v = phases_at(m, p, k, s.w / 2 - half + a, s.h / 2 - half + b);
            out.first.push_back(v.first);
            out.second.push_back(v.second);
        }
    }
    return out;
}

sensor_model default_model(uint32_t width, uint32_t height) {
    sensor_model m;
    m.width = width;
    m.height = height;
    return m;
}

sensor_model verification_model(const sensor_model& m, uint64_t seed, int calibration_frames,
                                int frames) {
    sensor_model v = m;
    sequence seq(mix64(seed ^ 0x766572696679ull));
    // Move the chart: the bars by a quarter to three quarters of a period, new stripes.
    const double period = m.bar_period;
    v.bar_phase =
        static_cast<float>(std::fmod(m.bar_phase + period * (0.25 + 0.5 * seq.uniform()), period));
    v.chart_seed = mix64(m.chart_seed ^ seq.next());

    // Evenly spaced positions between the calibration's lens positions and
    // inside its span: the DCC is a fit over that span, and far beyond it the
    // disparity no longer grows in proportion to the defocus.
    const int step = std::max(1, std::abs(m.lens_step));
    const int count = std::max(1, frames);
    const int span = step * (std::max(1, calibration_frames) - 1);
    const int spacing = std::max(2, span / count);
    const int first = m.lens_first;
    int start = first + spacing / 2 + static_cast<int>(seq.uniform() * spacing / 4);
    auto on_grid = [&](int lens) { return ((lens - first) % step + step) % step == 0; };
    for (int tries = 0; tries < step; ++tries, ++start) {
        bool clear = true;
        for (int k = 0; k < count && clear; ++k) clear = !on_grid(start + k * spacing);
        if (clear) break;
    }
    v.lens_positions.resize(static_cast<size_t>(count));
    for (int k = 0; k < count; ++k) v.lens_positions[static_cast<size_t>(k)] = start + k * spacing;
    // Shuffled, and never left rising.
    do {
        for (size_t i = v.lens_positions.size(); i > 1; --i) {
            const auto j = static_cast<size_t>(seq.next() % i);
            std::swap(v.lens_positions[i - 1], v.lens_positions[j]);
        }
    } while (count > 2 && std::is_sorted(v.lens_positions.begin(), v.lens_positions.end()));
    return v;
}

sensor_cfg make_sensor_cfg(const sensor_model& m, layout kind) {
    sensor_cfg cfg{};
    cfg.image_width = static_cast<uint16_t>(m.width);
    cfg.image_height = static_cast<uint16_t>(m.height);
    cfg.black_level = m.black_level;
    if (kind == layout::dual) return cfg;
    cfg.block_width = m.block_size;
    cfg.block_height = m.block_size;
    cfg.margin_x = m.margin;
    cfg.margin_y = m.margin;
    const auto pairs = pd_pairs(m, kind);
    cfg.pair_count = static_cast<uint16_t>(pairs.size());
    for (size_t i = 0; i < pairs.size(); ++i) {
        if (kind == layout::vertical) {
            cfg.v_left_x[i] = pairs[i].x1;
            cfg.v_left_y[i] = pairs[i].y1;
            cfg.v_right_x[i] = pairs[i].x2;
            cfg.v_right_y[i] = pairs[i].y2;
        } else {
            cfg.left_x[i] = pairs[i].x1;
            cfg.left_y[i] = pairs[i].y1;
            cfg.right_x[i] = pairs[i].x2;
            cfg.right_y[i] = pairs[i].y2;
        }
    }
    cfg.bayer_channel = 0;  // found from the frame
    return cfg;
}

void image_size(const sensor_model& m, layout kind, uint32_t& width, uint32_t& height) {
    if (kind == layout::dual) {
        width = m.width / m.dual_binning;
        height = m.height / m.dual_binning;
    } else {
        width = m.width;
        height = m.height;
    }
}

float in_focus_lens(const sensor_model& m, float x, float y) {
    return static_cast<float>(focus_at(m, field(m), x, y));
}

float dcc_at(const sensor_model& m, float x, float y) {
    return static_cast<float>(dcc_at_field(m, field(m), x, y));
}

ground_truth truth_for(const sensor_model& m, layout kind, const cal_settings& settings) {
    ground_truth truth;
    const int rows = std::max(0, static_cast<int>(settings.win_rows));
    const int cols = std::max(0, static_cast<int>(settings.win_cols));
    truth.win_rows = rows;
    truth.win_cols = cols;
    truth.lens_step = m.lens_step;

    // The part of the sensor the measured images cover.
    double x0 = 0.0, y0 = 0.0, span_x = m.width, span_y = m.height;
    if (kind == layout::dual) {
        span_x = static_cast<double>(m.width / m.dual_binning * m.dual_binning);
        span_y = static_cast<double>(m.height / m.dual_binning * m.dual_binning);
    } else {
        const block_grid g = blocks_of(m);
        x0 = m.margin;
        y0 = m.margin;
        span_x = static_cast<double>(g.cols) * m.block_size;
        span_y = static_cast<double>(g.rows) * m.block_size;
    }

    const field f(m);
    const double offset = pair_offset(m, kind);
    constexpr int kSamples = 24;
    for (int i = 0; i < rows; ++i) {
        for (int j = 0; j < cols; ++j) {
            const fractions r = window_fractions(i, j, rows, cols, settings.win_margin);
            // The measured disparity is the window's mean of (lens - focus) / dcc,
            // so the line it follows has slope 1 / mean(1 / dcc) and crosses zero
            // at mean(focus / dcc) / mean(1 / dcc).
            double inv_sum = 0.0, focus_sum = 0.0;
            for (int a = 0; a < kSamples; ++a) {
                const double y = y0 + (r.top + r.height * (a + 0.5) / kSamples) * span_y;
                for (int b = 0; b < kSamples; ++b) {
                    const double x = x0 + (r.left + r.width * (b + 0.5) / kSamples) * span_x;
                    const double inv = 1.0 / dcc_at_field(m, f, x, y);
                    inv_sum += inv;
                    focus_sum += focus_at(m, f, x, y) * inv;
                }
            }
            const double n = static_cast<double>(kSamples) * kSamples;
            const double dcc = n / inv_sum;
            truth.dcc.push_back(static_cast<float>(dcc));
            truth.in_focus_lens.push_back(static_cast<float>(focus_sum / inv_sum));
            truth.zero_pd_offset.push_back(static_cast<float>(dcc * offset));
        }
    }
    return truth;
}

rendering render(const sensor_model& m, layout kind, uint64_t seed, const cal_settings& settings,
                 const gain_limits& limits) {
    rendering out;
    capture_set& cs = out.capture;
    cs.kind = kind;
    cs.settings = settings;
    cs.cfg = make_sensor_cfg(m, kind);
    cs.limits = limits;
    image_size(m, kind, cs.width, cs.height);
    cs.black_level = m.black_level;

    const field f(m);
    const int frames = m.lens_positions.empty()
                           ? std::max(0, static_cast<int>(settings.sweep_frames))
                           : static_cast<int>(m.lens_positions.size());
    auto lens_of = [&](int k) {
        return m.lens_positions.empty() ? m.lens_first + k * m.lens_step
                                        : m.lens_positions[static_cast<size_t>(k)];
    };
    std::vector<double> lenses = {static_cast<double>(m.flat_lens)};
    for (int k = 0; k < frames; ++k) lenses.push_back(lens_of(k));
    const plane scene = scene_plane(m, kind, seed, scene_pad(m, lenses));

    auto render_frame = [&](orvane_tool::frame& fr, bool flat, double lens, uint64_t stream) {
        const uint64_t key = stream_key(seed, stream);
        const frame_setup setup{m, f, flat ? nullptr : &scene, split_of(kind), traits_of(m, seed)};
        if (kind == layout::dual) {
            render_dual(setup, lens, key, fr.left, fr.right);
        } else {
            fr.raw = render_raw(setup, kind, lens, key);
        }
    };

    cs.flat.lens_position = m.flat_lens;
    render_frame(cs.flat, true, m.flat_lens, 0);
    cs.sweep.resize(static_cast<size_t>(frames));
    for (int k = 0; k < frames; ++k) {
        const int lens = lens_of(k);
        cs.sweep[static_cast<size_t>(k)].lens_position = lens;
        render_frame(cs.sweep[static_cast<size_t>(k)], false, lens, static_cast<uint64_t>(k) + 1);
    }
    out.truth = truth_for(m, kind, settings);
    return out;
}

}  // namespace orvane_sim
