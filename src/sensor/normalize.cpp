#include <algorithm>

#include "sensor/sensor.h"

namespace orvane {

namespace {

// Entries beyond the tables' capacity are never looked at, whatever the
// record claims: a larger count is rejected by extraction.
uint32_t table_len(const sensor_cfg& cfg) {
    return std::min<uint32_t>(cfg.pair_count, static_cast<uint32_t>(kMaxPairs));
}

// Straight insertion sort of (key, second key) entries; x and y move together.
// An entry goes down past every earlier entry that is greater or equal, so the
// order is ascending by key, then by second key.
void sort_pairs(uint16_t* key, uint16_t* key2, uint32_t n) {
    for (uint32_t i = 1; i < n; ++i) {
        const uint16_t k = key[i];
        const uint16_t k2 = key2[i];
        uint32_t j = i;
        while (j > 0 && (key[j - 1] > k || (key[j - 1] == k && key2[j - 1] >= k2))) {
            key[j] = key[j - 1];
            key2[j] = key2[j - 1];
            --j;
        }
        key[j] = k;
        key2[j] = k2;
    }
}

void copy_cfg(const sensor_cfg& in, sensor_cfg& out) {
    if (&in != &out) out = in;
}

// Mean of the first two gaps between distinct values of a sorted table.
uint16_t pitch_of(const uint16_t* t, uint32_t n, uint16_t fallback) {
    if (n <= 1) return fallback;
    const int32_t f = t[0];
    uint32_t i = 1;
    while (i < n && t[i] == f) ++i;
    if (i == n) return fallback;
    const int32_t a = t[i];
    const int32_t d1 = a > f ? a - f : f - a;
    while (i < n && t[i] == a) ++i;
    if (i == n) return static_cast<uint16_t>(d1);
    const int32_t b = t[i];
    const int32_t d2 = b > a ? b - a : a - b;
    return static_cast<uint16_t>((d1 + d2) / 2);
}

}  // namespace

void normalize_sensor_cfg(const sensor_cfg& in, sensor_cfg& out) {
    copy_cfg(in, out);
    const uint32_t n = table_len(out);
    sort_pairs(out.left_x, out.left_y, n);
    sort_pairs(out.right_x, out.right_y, n);
}

void normalize_sensor_cfg_vertical(const sensor_cfg& in, sensor_cfg& out) {
    copy_cfg(in, out);
    const uint32_t n = table_len(out);
    sort_pairs(out.v_left_y, out.v_left_x, n);
    sort_pairs(out.v_right_y, out.v_right_x, n);
}

uint16_t compute_pd_pitch(const sensor_cfg& cfg) {
    return pitch_of(cfg.left_x, table_len(cfg), cfg.block_width);
}

uint16_t compute_pd_pitch_vertical(const sensor_cfg& cfg) {
    return pitch_of(cfg.v_left_y, table_len(cfg), cfg.block_height);
}

}  // namespace orvane
