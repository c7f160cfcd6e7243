#include "sim.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "random.h"

namespace orvane_sim {
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

// The chart: regular vertical bars along x, irregular stripes along y.
struct chart {
    edge_pattern bars;
    edge_pattern stripes;
    double base, bar, stripe;

    double value(double x, double y, double sigma) const {
        return base + bar * bars.blurred(x, sigma) + stripe * stripes.blurred(y, sigma);
    }
};

chart make_chart(const sensor_model& m) {
    // The chart extends past the frame by more than any shift plus blur.
    const double lo = -256.0;
    const double hi_x = static_cast<double>(m.width) + 256.0;
    const double hi_y = static_cast<double>(m.height) + 256.0;

    std::vector<double> bars;
    const double half = 0.5 * static_cast<double>(m.bar_period);
    for (double e = static_cast<double>(m.bar_phase) + lo; e < hi_x; e += half) bars.push_back(e);

    std::vector<double> stripes;
    sequence seq(m.chart_seed);
    const double span = static_cast<double>(m.stripe_max - m.stripe_min);
    for (double e = lo + seq.uniform() * span; e < hi_y;
         e += static_cast<double>(m.stripe_min) + seq.uniform() * span) {
        stripes.push_back(e);
    }
    return chart{edge_pattern(std::move(bars), 0), edge_pattern(std::move(stripes), 0),
                 m.chart_base, m.chart_bar, m.chart_stripe};
}

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

// Defocus at one place for one lens position: the disparity between the phases
// (pixels, along the split) and the blur sigma of each phase.
struct defocus {
    double disparity;
    double sigma;
};

defocus defocus_at(const sensor_model& m, const field& f, double lens, double x, double y) {
    const double d = (lens - focus_at(m, f, x, y)) / dcc_at_field(m, f, x, y);
    const double k = m.blur_per_disparity * d;
    return {d, std::sqrt(static_cast<double>(m.blur_base) * m.blur_base + k * k)};
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

// Mean signal in DN to a noisy sample: shot noise on the collected electrons,
// read noise, rounding to whole DN, the black level and the 10-bit clip.
// `pixels` > 1 sums that many photodiodes and averages them (binning).
uint16_t to_sample(const sensor_model& m, double mean_dn, double z, int pixels = 1) {
    const double epd = m.electrons_per_dn;
    const double electrons = std::max(0.0, mean_dn) * epd * pixels;
    const double read_e = static_cast<double>(m.read_noise_dn) * epd;
    const double noisy = electrons + z * std::sqrt(electrons + pixels * read_e * read_e);
    const double dn = std::floor(noisy / (epd * pixels) + 0.5) + m.black_level;
    const double clipped = std::clamp(dn, 0.0, static_cast<double>(m.white_level));
    return static_cast<uint16_t>(clipped);
}

enum class split { horizontal, vertical };

split split_of(layout kind) {
    return kind == layout::vertical ? split::vertical : split::horizontal;
}

// Irradiance of the two phases at a point: the blurred chart shifted by half the
// disparity each way along the split. The right (second) phase shows the scene
// at larger coordinates when the disparity is positive.
struct phase_pair {
    double first, second;
};

phase_pair phases_at(const chart& c, split s, const defocus& d, double x, double y) {
    const double h = 0.5 * d.disparity;
    if (s == split::horizontal) {
        return {c.value(x + h, y, d.sigma), c.value(x - h, y, d.sigma)};
    }
    return {c.value(x, y + h, d.sigma), c.value(x, y - h, d.sigma)};
}

// PD sensitivity of the two phases: opposite ramps along the split direction.
phase_pair pd_sensitivity(const sensor_model& m, const field& f, split s, double sensitivity,
                          double x, double y) {
    const double w = s == split::horizontal ? f.u(x) : f.v(y);
    return {sensitivity * (1.0 - m.pd_shading * w), sensitivity * (1.0 + m.pd_shading * w)};
}

constexpr uint32_t kTile = 16;

// Scene irradiance per pixel of one tile, separable in x and y because the
// chart is: value = base + bar * bx[x] + stripe * by[y] for each phase.
struct tile_terms {
    double bx[2][kTile];
    double by[2][kTile];
};

void fill_tile(const chart& c, split s, const defocus& d, uint32_t x0, uint32_t y0, tile_terms& t) {
    const double h = 0.5 * d.disparity;
    const double hx = s == split::horizontal ? h : 0.0;
    const double hy = s == split::vertical ? h : 0.0;
    for (uint32_t i = 0; i < kTile; ++i) {
        const double x = x0 + i + 0.5;
        const double y = y0 + i + 0.5;
        t.bx[0][i] = c.bars.blurred(x + hx, d.sigma);
        t.bx[1][i] = c.bars.blurred(x - hx, d.sigma);
        t.by[0][i] = c.stripes.blurred(y + hy, d.sigma);
        t.by[1][i] = c.stripes.blurred(y - hy, d.sigma);
    }
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

// One raw Bayer frame with PD pairs: the chart at a lens position, or the flat field.
std::vector<uint16_t> render_raw(const sensor_model& m, layout kind, const chart& c, const field& f,
                                 bool flat, double lens, uint64_t key) {
    const uint32_t w = m.width;
    const uint32_t h = m.height;
    const split s = split_of(kind);
    std::vector<uint16_t> raw(static_cast<size_t>(w) * h);
    const double exposure = m.exposure_dn;
    const double flat_value = m.flat_level;

    tile_terms t{};
    for (uint32_t ty = 0; ty < h; ty += kTile) {
        for (uint32_t tx = 0; tx < w; tx += kTile) {
            if (!flat) {
                const double cx = tx + 0.5 * kTile;
                const double cy = ty + 0.5 * kTile;
                fill_tile(c, s, defocus_at(m, f, lens, cx, cy), tx, ty, t);
            }
            const uint32_t ye = std::min(h, ty + kTile);
            const uint32_t xe = std::min(w, tx + kTile);
            for (uint32_t y = ty; y < ye; ++y) {
                for (uint32_t x = tx; x < xe; ++x) {
                    double scene = flat_value;
                    if (!flat) {
                        const uint32_t i = x - tx;
                        const uint32_t j = y - ty;
                        scene = c.base + 0.5 * (c.bar * (t.bx[0][i] + t.bx[1][i]) +
                                                c.stripe * (t.by[0][j] + t.by[1][j]));
                    }
                    const double mean = exposure * scene * colour_response(m, x, y) *
                                        vignetting(m, f, x + 0.5, y + 0.5);
                    const size_t idx = static_cast<size_t>(y) * w + x;
                    raw[idx] = to_sample(m, mean, gaussian(key, idx));
                }
            }
        }
    }

    // The PD pixels replace the image pixels at their places. Both pixels of a
    // pair sit under one microlens and sample the scene at its centre.
    const block_grid g = blocks_of(m);
    const auto pairs = pd_pairs(m, kind);
    for (uint32_t br = 0; br < g.rows; ++br) {
        for (uint32_t bc = 0; bc < g.cols; ++bc) {
            const uint32_t bx = m.margin + bc * m.block_size;
            const uint32_t by = m.margin + br * m.block_size;
            for (const pd_pair& p : pairs) {
                const uint32_t x1 = bx + p.x1, y1 = by + p.y1;
                const uint32_t x2 = bx + p.x2, y2 = by + p.y2;
                const double px = 0.5 * (x1 + x2) + 0.5;
                const double py = 0.5 * (y1 + y2) + 0.5;
                const phase_pair sens = pd_sensitivity(m, f, s, m.pd_sensitivity, px, py);
                phase_pair scene{flat_value, flat_value};
                if (!flat) scene = phases_at(c, s, defocus_at(m, f, lens, px, py), px, py);
                const double v = exposure * vignetting(m, f, px, py);
                const size_t i1 = static_cast<size_t>(y1) * w + x1;
                const size_t i2 = static_cast<size_t>(y2) * w + x2;
                raw[i1] = to_sample(m, v * sens.first * scene.first, gaussian(key, i1));
                raw[i2] = to_sample(m, v * sens.second * scene.second, gaussian(key, i2));
            }
        }
    }
    return raw;
}

// The left and right images of a dual-photodiode sensor, binned 2x2 on chip:
// each sample averages the photodiodes of one Bayer cell.
void render_dual(const sensor_model& m, const chart& c, const field& f, bool flat, double lens,
                 uint64_t key, std::vector<uint16_t>& left, std::vector<uint16_t>& right) {
    const uint32_t bin = m.dual_binning;
    const uint32_t ow = m.width / bin;
    const uint32_t oh = m.height / bin;
    left.assign(static_cast<size_t>(ow) * oh, 0);
    right.assign(static_cast<size_t>(ow) * oh, 0);
    const double exposure = m.exposure_dn;
    const double flat_value = m.flat_level;
    const uint64_t half = static_cast<uint64_t>(ow) * oh;

    tile_terms t{};
    const uint32_t tile_w = kTile - kTile % bin;
    for (uint32_t ty = 0; ty + bin <= oh * bin; ty += tile_w) {
        for (uint32_t tx = 0; tx + bin <= ow * bin; tx += tile_w) {
            if (!flat) {
                const double cx = tx + 0.5 * tile_w;
                const double cy = ty + 0.5 * tile_w;
                fill_tile(c, split::horizontal, defocus_at(m, f, lens, cx, cy), tx, ty, t);
            }
            const uint32_t ye = std::min(oh * bin, ty + tile_w);
            const uint32_t xe = std::min(ow * bin, tx + tile_w);
            for (uint32_t y = ty; y < ye; y += bin) {
                for (uint32_t x = tx; x < xe; x += bin) {
                    double sum[2] = {0.0, 0.0};
                    for (uint32_t dy = 0; dy < bin; ++dy) {
                        for (uint32_t dx = 0; dx < bin; ++dx) {
                            const uint32_t px = x + dx, py = y + dy;
                            const double fx = px + 0.5, fy = py + 0.5;
                            const phase_pair sens =
                                pd_sensitivity(m, f, split::horizontal, 0.5, fx, fy);
                            const double g =
                                exposure * colour_response(m, px, py) * vignetting(m, f, fx, fy);
                            for (int p = 0; p < 2; ++p) {
                                double scene = flat_value;
                                if (!flat) {
                                    scene = c.base + c.bar * t.bx[p][px - tx] +
                                            c.stripe * t.by[p][py - ty];
                                }
                                sum[p] += g * (p == 0 ? sens.first : sens.second) * scene;
                            }
                        }
                    }
                    const int n = static_cast<int>(bin * bin);
                    const size_t idx = static_cast<size_t>(y / bin) * ow + x / bin;
                    left[idx] = to_sample(m, sum[0] / n, gaussian(key, idx), n);
                    right[idx] = to_sample(m, sum[1] / n, gaussian(key, half + idx), n);
                }
            }
        }
    }
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

    // Evenly spaced positions one third of a step wider apart than the
    // calibration's, centred on its span, so they reach past both ends.
    const int step = std::max(1, std::abs(m.lens_step));
    const int count = std::max(1, frames);
    const int spacing = std::max(2, step + step / 3);
    const int first = m.lens_first;
    const int centre = first + m.lens_step * (std::max(1, calibration_frames) - 1) / 2;
    int start = centre - spacing * (count - 1) / 2 + static_cast<int>(seq.uniform() * step / 4);
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
            truth.dcc.push_back(static_cast<float>(n / inv_sum));
            truth.in_focus_lens.push_back(static_cast<float>(focus_sum / inv_sum));
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

    const chart c = make_chart(m);
    const field f(m);
    const int frames = m.lens_positions.empty()
                           ? std::max(0, static_cast<int>(settings.sweep_frames))
                           : static_cast<int>(m.lens_positions.size());

    auto render_frame = [&](orvane_tool::frame& fr, bool flat, double lens, uint64_t stream) {
        const uint64_t key = stream_key(seed, stream);
        if (kind == layout::dual) {
            render_dual(m, c, f, flat, lens, key, fr.left, fr.right);
        } else {
            fr.raw = render_raw(m, kind, c, f, flat, lens, key);
        }
    };

    cs.flat.lens_position = m.flat_lens;
    render_frame(cs.flat, true, m.flat_lens, 0);
    cs.sweep.resize(static_cast<size_t>(frames));
    for (int k = 0; k < frames; ++k) {
        const int lens = m.lens_positions.empty() ? m.lens_first + k * m.lens_step
                                                  : m.lens_positions[static_cast<size_t>(k)];
        cs.sweep[static_cast<size_t>(k)].lens_position = lens;
        render_frame(cs.sweep[static_cast<size_t>(k)], false, lens, static_cast<uint64_t>(k) + 1);
    }
    out.truth = truth_for(m, kind, settings);
    return out;
}

}  // namespace orvane_sim
