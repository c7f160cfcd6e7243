// Frames of a lens sweep over a bar chart, for the production benchmark and
// the kernels' whole-pipeline tests: vertical bars (a grid of bright blocks
// for vertical PD pairs), edges that soften with the defocus, the two phases
// shifted by the disparity, vignetting, noise, and optionally clipped and
// black pixels along the top rows.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "orvane.h"

namespace bar_chart {

struct style {
    double period;     // bar period in pixels
    double sharpness;  // edge steepness of a focused bar
    double shading;    // vignetting: 1 - shading * r^2 (r = 0.5 at the edge centres)
    int noise;         // noise amplitude: -noise .. noise
    uint16_t ceiling;  // brightest level
    bool defects;      // clipped and black pixels along the top rows
};

// What a frame shows.
enum class content { chart, flat_field, featureless };

class renderer {
public:
    static constexpr uint16_t kBlack = 64;

    renderer(uint32_t width, uint32_t height, const style& s, uint64_t seed)
        : w_(width), h_(height), style_(s) {
        reseed(seed);
    }

    void reseed(uint64_t seed) { state_ = seed * 0x9E3779B97F4A7C15ull + 1; }

    // Bars along t in [0, 1], softened by the defocus.
    double bars(double t, double defocus) const {
        const double sharp = style_.sharpness / (1.0 + std::fabs(defocus));
        return 0.5 + 0.5 * std::tanh(sharp * std::sin(2.0 * M_PI * t / style_.period));
    }

    // Scene value of one phase at (x, y); `shift` moves it along the PD axis.
    double scene(double x, double y, double shift, double defocus, bool vertical, content c) const {
        if (c == content::flat_field) return 0.7;
        if (c == content::featureless) return 0.5;
        if (vertical) return 0.15 + 0.7 * (0.3 + 0.7 * bars(x, 0.0)) * bars(y + shift, defocus);
        return 0.15 + 0.7 * bars(x + shift, defocus);
    }

    // Sensor level of scene value v at (x, y).
    uint16_t level(double v, uint32_t x, uint32_t y) {
        const double dx = (x - 0.5 * w_) / w_;
        const double dy = (y - 0.5 * h_) / h_;
        const double shade = 1.0 - style_.shading * (dx * dx + dy * dy);
        const double n = kBlack + 3000.0 * shade * v + next_noise();
        if (style_.defects && y < 6) {
            // Sparse enough to saturate gains without swamping any window's
            // column profile.
            if ((x * 7 + y * 13) % 97 == 0) return 65535;
            if ((x * 11 + y * 5) % 101 == 0) return 0;
        }
        return static_cast<uint16_t>(std::clamp(n, 0.0, static_cast<double>(style_.ceiling)));
    }

    // The scene of one phase over the whole frame: an offset plus the
    // product of a column term and a row term, each evaluated once.
    struct field {
        double offset;
        std::vector<double> cols;
        std::vector<double> rows;
        double at(uint32_t x, uint32_t y) const { return offset + cols[x] * rows[y]; }
    };
    field scene_field(double shift, double defocus, bool vertical, content c) const {
        field f{0.0, std::vector<double>(w_, 1.0), std::vector<double>(h_, 1.0)};
        for (uint32_t x = 0; x < w_; ++x) {
            if (c != content::chart) {
                f.cols[x] = scene(x, 0, shift, defocus, vertical, c);
            } else if (vertical) {
                f.cols[x] = 0.3 + 0.7 * bars(x, 0.0);
            } else {
                f.cols[x] = scene(x, 0, shift, defocus, false, c);
            }
        }
        if (c == content::chart && vertical) {
            f.offset = 0.15;
            for (uint32_t y = 0; y < h_; ++y) f.rows[y] = 0.7 * bars(y + shift, defocus);
        }
        return f;
    }

    // Dual-photodiode pair with disparity d (phases shifted by +-d/2 and
    // blurred by |d|); each phase falls off toward its far side.
    void dual(double d, content c, std::vector<uint16_t>& a, std::vector<uint16_t>& b) {
        a.resize(static_cast<size_t>(w_) * h_);
        b.resize(a.size());
        const field fa = scene_field(0.5 * d, d, false, c);
        const field fb = scene_field(-0.5 * d, d, false, c);
        for (uint32_t y = 0; y < h_; ++y) {
            for (uint32_t x = 0; x < w_; ++x) {
                const size_t i = static_cast<size_t>(y) * w_ + x;
                const double fall = 0.2 * x / w_;
                a[i] = level(fa.at(x, y) * (1.0 - fall), x, y);
                b[i] = level(fb.at(x, y) * (0.8 + fall), x, y);
            }
        }
    }

    // Raw Bayer frame with the PD pairs of `cfg` (horizontal or vertical
    // tables), the pairs seeing half the light of the phase they sample.
    void raw(double d, content c, const sensor_cfg& cfg, bool vertical, std::vector<uint16_t>& out) {
        out.resize(static_cast<size_t>(w_) * h_);
        const double bayer[4] = {1.0, 0.8, 0.55, 0.45};
        const field f = scene_field(0.0, d, vertical, c);
        for (uint32_t y = 0; y < h_; ++y) {
            for (uint32_t x = 0; x < w_; ++x) {
                out[static_cast<size_t>(y) * w_ + x] = level(bayer[(x & 1) + 2 * (y & 1)] * f.at(x, y), x, y);
            }
        }
        const uint16_t* ax = vertical ? cfg.v_left_x : cfg.left_x;
        const uint16_t* ay = vertical ? cfg.v_left_y : cfg.left_y;
        const uint16_t* bx = vertical ? cfg.v_right_x : cfg.right_x;
        const uint16_t* by = vertical ? cfg.v_right_y : cfg.right_y;
        const uint32_t bw = cfg.block_width;
        const uint32_t bh = cfg.block_height;
        if (bw == 0 || bh == 0) return;
        for (uint32_t y0 = cfg.margin_y; y0 + bh + cfg.margin_y <= h_; y0 += bh) {
            for (uint32_t x0 = cfg.margin_x; x0 + bw + cfg.margin_x <= w_; x0 += bw) {
                for (int p = 0; p < cfg.pair_count; ++p) {
                    const uint32_t x1 = x0 + ax[p], y1 = y0 + ay[p];
                    const uint32_t x2 = x0 + bx[p], y2 = y0 + by[p];
                    out[static_cast<size_t>(y1) * w_ + x1] =
                        level(0.5 * scene(x1, y1, 0.5 * d, d, vertical, c), x1, y1);
                    out[static_cast<size_t>(y2) * w_ + x2] =
                        level(0.5 * scene(x2, y2, -0.5 * d, d, vertical, c), x2, y2);
                }
            }
        }
    }

private:
    int next_noise() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        const int span = 2 * style_.noise + 1;
        return static_cast<int>((state_ >> 40) % static_cast<uint64_t>(span)) - style_.noise;
    }

    uint32_t w_;
    uint32_t h_;
    style style_;
    uint64_t state_ = 1;
};

}  // namespace bar_chart
