// The sensor's pixels: fixed patterns and defects drawn from the seed, and the
// readout that turns a mean signal into a noisy 10-bit sample. Called per
// pixel, so everything here is inline.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "random.h"
#include "sim.h"

namespace orvane_sim::detail {

// Fixed per-pixel properties, drawn from the seed: response (PRNU, 0 for a
// dead pixel) and dark signal (hot pixels).
struct pixel_traits {
    uint64_t key;
    double prnu, hot, dead;

    void at(uint64_t index, double& gain, double& dark) const {
        const uint64_t r = mix64(key + index * 0x9E3779B97F4A7C15ull);
        const double u = static_cast<double>(r >> 11) * (1.0 / 9007199254740992.0);
        dark = 0.0;
        if (u < dead) {
            gain = 0.0;
            return;
        }
        gain = 1.0 + prnu * gaussian(key ^ 0x50524E55ull, index);
        if (u < dead + hot) dark = 80.0 + 600.0 * ((u - dead) / hot);
    }
};

inline pixel_traits traits_of(const sensor_model& m, uint64_t seed) {
    return {stream_key(seed, 0xDEFEC7ull), m.prnu, m.hot_pixel_rate, m.dead_pixel_rate};
}

// Mean signal in DN to a noisy sample: shot noise on the collected electrons,
// read noise, the row's offset, rounding to whole DN, the black level and the
// 10-bit clip. `pixels` > 1 sums that many photodiodes and averages them.
inline uint16_t to_sample(const sensor_model& m, double mean_dn, double z, double row_dn,
                          int pixels = 1) {
    const double epd = m.electrons_per_dn;
    const double electrons = std::max(0.0, mean_dn) * epd * pixels;
    const double read_e = static_cast<double>(m.read_noise_dn) * epd;
    const double noisy = electrons + z * std::sqrt(electrons + pixels * read_e * read_e);
    const double dn = std::floor(noisy / (epd * pixels) + row_dn + 0.5) + m.black_level;
    const double clipped = std::clamp(dn, 0.0, static_cast<double>(m.white_level));
    return static_cast<uint16_t>(clipped);
}

}  // namespace orvane_sim::detail
