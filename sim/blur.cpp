#include "blur.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "optics.h"
#include "parallel.h"

namespace orvane_sim {
namespace detail {

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

namespace {

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

}  // namespace

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

phase_pair phases_at(const sensor_model& m, const plane& p, const kernel& k, int i, int b) {
    const halves h = halves_at(p, k, i, b);
    const double a = m.crosstalk;
    const double own = k.flip ? h.smaller : h.larger;
    const double other = k.flip ? h.larger : h.smaller;
    return {(own + a * other) / (1.0 + a), (other + a * own) / (1.0 + a)};
}

}  // namespace detail

using namespace detail;

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

}  // namespace orvane_sim
