#include <cstddef>

#include "sensor/sensor.h"

namespace orvane {

namespace {

constexpr int32_t kNoChannel = -1;

uint32_t phase_of(uint16_t x, uint16_t y) { return (x & 1u) + 2u * (y & 1u); }

// Brightest Bayer phase of one 2x2 cell on the middle row, leaving out the
// phases that hold PD pixels.
int32_t detect_channel(const uint16_t* raw, sensor_cfg& cfg, const uint16_t* ax, const uint16_t* ay,
                       const uint16_t* bx, const uint16_t* by) {
    if (cfg.bayer_channel >= 1 && cfg.bayer_channel <= 4) return 0;
    if (cfg.pair_count > kMaxPairs) return kNoChannel;
    const uint32_t w = cfg.image_width;
    const uint32_t h = cfg.image_height;
    // The cell spans rows m, m + 1 and columns bc, bc + 1.
    if (h < 3 || w < 2) return kNoChannel;

    uint32_t pd_phases = 0;
    for (uint32_t i = 0; i < cfg.pair_count; ++i) {
        pd_phases |= 1u << phase_of(ax[i], ay[i]);
        pd_phases |= 1u << phase_of(bx[i], by[i]);
    }

    const uint32_t m = h >> 1;
    const uint16_t* row = raw + static_cast<size_t>(m) * w;
    // Only columns whose right neighbour is in the row, so an odd width never
    // reads past it; a row without a positive even sample keeps column 0.
    uint32_t bc = 0;
    uint16_t best = 0;
    for (uint32_t c = 0; c + 1 < w; c += 2) {
        if (row[c] > best) {
            best = row[c];
            bc = c;
        }
    }

    int32_t phase = kNoChannel;
    best = 0;
    for (uint32_t j = 0; j < 4; ++j) {
        if ((pd_phases >> j) & 1u) continue;
        const uint16_t v = row[static_cast<size_t>(j >> 1) * w + bc + (j & 1u)];
        if (v > best) {
            best = v;
            phase = static_cast<int32_t>(j);
        }
    }
    if (phase == kNoChannel) return kNoChannel;
    cfg.bayer_channel = static_cast<uint16_t>(phase + 1);
    return 0;
}

}  // namespace

int32_t detect_bayer_channel(const uint16_t* raw, sensor_cfg& cfg) {
    return detect_channel(raw, cfg, cfg.left_x, cfg.left_y, cfg.right_x, cfg.right_y);
}

int32_t detect_bayer_channel_vertical(const uint16_t* raw, sensor_cfg& cfg) {
    return detect_channel(raw, cfg, cfg.v_left_x, cfg.v_left_y, cfg.v_right_x, cfg.v_right_y);
}

}  // namespace orvane
