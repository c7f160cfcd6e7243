// Sensor PD layout: configuration normalisation, PD pitch, extraction,
// black level and Bayer channel detection.
#pragma once

#include <cstdint>

#include "context/capacity.h"

namespace orvane {

// Copy the host's record and sort the tables of one layout.
void normalize_sensor_cfg(const sensor_cfg& in, sensor_cfg& out);
void normalize_sensor_cfg_vertical(const sensor_cfg& in, sensor_cfg& out);

uint16_t compute_pd_pitch(const sensor_cfg& cfg);
uint16_t compute_pd_pitch_vertical(const sensor_cfg& cfg);

// Size of the PD images a normalised record extracts, without touching any
// image: 0, or 4 when the layout is unusable or breaks a limit (margins
// wider than the frame, a PD pixel outside it, more than 128 pairs, more
// than 20,000,000 samples, nothing to extract).
uint32_t pd_layout_size(const sensor_cfg& cfg, bool vertical, uint16_t* width, uint16_t* height);

// Told after each block row of an extraction that the raw rows [0, end)
// have been read, so that a caller's own pass over those rows runs while
// they are in cache.
struct raw_rows_hook {
    void (*read)(void* user, uint32_t end);
    void* user;
};

// 0 or 4; on 4 nothing is written and the hook is not called.
uint32_t extract_pd(const uint16_t* raw, const sensor_cfg& cfg, uint16_t* left, uint16_t* right,
                    uint16_t* width, uint16_t* height, const raw_rows_hook* hook = nullptr);
uint32_t extract_pd_vertical(const uint16_t* raw, const sensor_cfg& cfg, uint16_t* first,
                             uint16_t* second, uint16_t* width, uint16_t* height,
                             const raw_rows_hook* hook = nullptr);

void subtract_black(uint16_t* image, uint16_t width, uint16_t height, uint16_t black);

// 0, or -1 when no channel can be chosen; writes cfg.bayer_channel.
int32_t detect_bayer_channel(const uint16_t* raw, sensor_cfg& cfg);
int32_t detect_bayer_channel_vertical(const uint16_t* raw, sensor_cfg& cfg);

}  // namespace orvane
