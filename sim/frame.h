// What rendering a frame shares between the raw layouts and the dual-photodiode
// layout: the frame's inputs, the plane index of a pixel, the defocus kernel
// of a tile and the PD pixels' shading.
#pragma once

#include <cstdint>
#include <vector>

#include "blur.h"
#include "optics.h"
#include "pixels.h"
#include "sim.h"

namespace orvane_sim::detail {

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

inline kernel kernel_at(const frame_setup& s, double lens, double x, double y) {
    return make_kernel(s.m, disparity_at(s.m, s.f, lens, x, y), s.scene->pad);
}

// PD sensitivity of the two phases: opposite ramps along the split direction.
inline phase_pair pd_sensitivity(const sensor_model& m, const field& f, split s,
                                 double sensitivity, double x, double y) {
    const double w = s == split::horizontal ? f.u(x) : f.v(y);
    return {sensitivity * (1.0 - m.pd_shading * w), sensitivity * (1.0 + m.pd_shading * w)};
}

// One raw Bayer frame with PD pairs: the chart at a lens position, or the flat field.
std::vector<uint16_t> render_raw(const frame_setup& s, layout kind, double lens, uint64_t key);

// The left and right images of a dual-photodiode sensor, binned 2x2 on chip:
// each sample averages the photodiodes of one Bayer cell.
void render_dual(const frame_setup& s, double lens, uint64_t key, std::vector<uint16_t>& left,
                 std::vector<uint16_t>& right);

}  // namespace orvane_sim::detail
