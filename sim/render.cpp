// A module's capture set: the scene, then the flat field and the sweep frame by
// frame, each in its own noise stream.
#include <algorithm>
#include <cmath>
#include <vector>

#include "frame.h"
#include "random.h"

namespace orvane_sim {

using namespace detail;

namespace {

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

}  // namespace

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
