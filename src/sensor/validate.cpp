#include "sensor/sensor.h"

extern "C" ORVANE_API uint32_t Orvane_validate_sensor_cfg(const uint16_t*, const sensor_cfg*,
                                                          uint16_t*, uint16_t*) {
    return orvane::kHardFailure;  // not built yet
}
