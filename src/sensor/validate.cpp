#include "sensor/sensor.h"

// Lets a host try a sensor configuration on a raw frame and look at the two
// extracted images; no context, no black level.
extern "C" ORVANE_API uint32_t Orvane_validate_sensor_cfg(const uint16_t* raw,
                                                          const sensor_cfg* cfg, uint16_t* left,
                                                          uint16_t* right) {
    if (raw == nullptr || cfg == nullptr || left == nullptr || right == nullptr) {
        return orvane::kHardFailure;
    }
    sensor_cfg sorted;
    orvane::normalize_sensor_cfg(*cfg, sorted);
    if (sorted.pair_count == 0) return ORVANE_LAYOUT_UNUSABLE;
    uint16_t width = 0;
    uint16_t height = 0;
    return orvane::extract_pd(raw, sorted, left, right, &width, &height);
}
