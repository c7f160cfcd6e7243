// The defocus blur: each phase sees the scene through its half of the exit
// pupil, a half disc integrated line by line over running sums of the scene.
#pragma once

#include <vector>

#include "chart.h"
#include "sim.h"

namespace orvane_sim::detail {

enum class split { horizontal, vertical };

inline split split_of(layout kind) {
    return kind == layout::vertical ? split::vertical : split::horizontal;
}

// A scene image in the orientation of the PD split: `na` samples along the
// split per line, `nb` lines, `pad` samples of border around the frame. Each
// line keeps its running sums, so the integral of the scene (piecewise
// constant over pixels) along the split between any two points is two lookups.
struct plane {
    int pad = 0, na = 0, nb = 0;
    std::vector<double> prefix;  // nb lines of na + 1 running sums

    const double* line(int b) const { return prefix.data() + static_cast<size_t>(b) * (na + 1); }
};

// The scene's running sums along the split.
plane make_plane(const sensor_model& m, const scene_image& s, split dir);

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

kernel make_kernel(const sensor_model& m, double disparity, int pad);

// The two phases. In front of focus (positive disparity) the first phase sees
// the scene displaced towards larger positions along the split, the second
// towards smaller ones; each also takes `crosstalk` of the other half.
struct phase_pair {
    double first, second;
};

// The two phases at sample i of line b (padded plane indices).
phase_pair phases_at(const sensor_model& m, const plane& p, const kernel& k, int i, int b);

// The whole aperture for n consecutive samples from i of line b.
void full_run(const plane& p, const kernel& k, int i, int n, int b, double* out);

// The two halves of the disc (towards larger and smaller positions along the
// split) for n consecutive samples from i of line b.
void halves_run(const plane& p, const kernel& k, int i, int n, int b, double* larger,
                double* smaller);

}  // namespace orvane_sim::detail
