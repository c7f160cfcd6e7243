#include "gainmap/gainmap.h"

extern "C" {
ORVANE_API uint32_t Orvane_get_gainmap(cal_context*, const uint16_t*, const sensor_cfg*, gainmap*,
                                       const gain_limits*) {
    return orvane::kHardFailure;
}
ORVANE_API uint32_t Orvane_get_gainmap_vertical(cal_context*, const uint16_t*, const sensor_cfg*,
                                                gainmap*, const gain_limits*) {
    return orvane::kHardFailure;
}
ORVANE_API uint32_t Orvane_get_gainmap_2pd(cal_context*, const uint16_t*, const uint16_t*, int32_t,
                                           int32_t, int32_t, gainmap*, const gain_limits*, float) {
    return orvane::kHardFailure;
}
}
