// The module's optics and radiometry over the field: where each point is in
// focus, its DCC, the defocus disc, vignetting, the chart's light and the
// colour filters. Called per pixel, so everything here is inline.
#pragma once

#include <cmath>
#include <cstdint>

#include "sim.h"

namespace orvane_sim::detail {

constexpr double kPi = 3.14159265358979323846;

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

inline double focus_at(const sensor_model& m, const field& f, double x, double y) {
    return m.focus_centre + m.field_curvature * f.r2(x, y) + m.focus_tilt_x * f.u(x) +
           m.focus_tilt_y * f.v(y);
}

inline double dcc_at_field(const sensor_model& m, const field& f, double x, double y) {
    return m.dcc_centre * (1.0 + m.dcc_edge * f.r2(x, y) + m.dcc_tilt_x * f.u(x));
}

inline double vignetting(const sensor_model& m, const field& f, double x, double y) {
    const double s = 1.0 + m.vignetting * f.r2(x, y);
    return 1.0 / (s * s);
}

// Light on the chart: brighter on the left and in the middle.
inline double lighting(const sensor_model& m, const field& f, double x, double y) {
    return 1.0 - 0.5 * m.light_gradient * f.u(x) - m.light_falloff * f.r2(x, y);
}

// Defocus disparity (centroid separation of the two phases' blurs, pixels).
inline double disparity_at(const sensor_model& m, const field& f, double lens, double x,
                           double y) {
    return (lens - focus_at(m, f, x, y)) / dcc_at_field(m, f, x, y);
}

// Radius of the defocus disc for a disparity. The centroid of a half disc of
// radius R lies 4R / (3 pi) from the centre; with crosstalk a each phase's
// centroid moves back by the factor (1 - a) / (1 + a).
inline double disc_radius(const sensor_model& m, double disparity) {
    const double a = m.crosstalk;
    return std::fabs(disparity) * 3.0 * kPi * (1.0 + a) / (8.0 * (1.0 - a));
}

// Bayer phase (x & 1) + 2 (y & 1), RGGB: colour response to the grey chart.
inline double colour_response(const sensor_model& m, uint32_t x, uint32_t y) {
    switch ((x & 1u) + 2u * (y & 1u)) {
        case 0:
            return m.red_response;
        case 3:
            return m.blue_response;
        default:
            return 1.0;
    }
}

}  // namespace orvane_sim::detail
