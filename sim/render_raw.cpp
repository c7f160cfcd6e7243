// The raw layouts: a Bayer frame whose PD pixels, in pairs split horizontally
// or vertically, replace image pixels in every block.
#include <algorithm>
#include <vector>

#include "frame.h"
#include "parallel.h"
#include "pd_layout.h"

namespace orvane_sim::detail {

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

}  // namespace orvane_sim::detail
