// The dual-photodiode layout: every pixel split in two, read out as binned
// left and right images.
#include <algorithm>
#include <vector>

#include "frame.h"
#include "parallel.h"

namespace orvane_sim::detail {

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

}  // namespace orvane_sim::detail
