// The chart the module looks at, as a scene image over the padded frame: the
// bar chart evaluated analytically, or the dead-leaves texture laid disc by disc.
#pragma once

#include <cstdint>
#include <vector>

#include "sim.h"

namespace orvane_sim::detail {

// Scene (reflectance x light) over the padded frame, row-major in image
// orientation: (width + 2 pad) x (height + 2 pad).
struct scene_image {
    int pad = 0, w = 0, h = 0;
    std::vector<float> v;
    float& at(int x, int y) { return v[static_cast<size_t>(y) * w + x]; }
};

// Separable Gaussian blur of the scene image, borders replicated.
void gaussian_blur(const sensor_model& m, scene_image& s, double sigma);

// The bar chart, evaluated analytically with the base blur: bars across the
// turned x axis, irregular stripes across the turned y axis.
void draw_bars(const sensor_model& m, scene_image& s);

// Dead leaves: opaque discs laid front to back until the frame is covered,
// radii with density ~ 1/r^3 (scale-invariant statistics, like natural
// scenes), edges anti-aliased by their coverage of each pixel; then the base
// blur and the light.
void draw_leaves(const sensor_model& m, uint64_t seed, scene_image& s);

}  // namespace orvane_sim::detail
