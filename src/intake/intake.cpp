#include "intake/focus.h"

extern "C" {
ORVANE_API uint32_t Orvane_add_raw(cal_context*, int32_t, int32_t, const uint16_t*,
                                   const sensor_cfg*, const gainmap*) {
    return orvane::kHardFailure;
}
ORVANE_API uint32_t Orvane_add_raw_vertical(cal_context*, int32_t, int32_t, const uint16_t*,
                                            const sensor_cfg*, const gainmap*) {
    return orvane::kHardFailure;
}
ORVANE_API uint32_t Orvane_add_raw_2pd(cal_context*, int32_t, int32_t, uint16_t*, uint16_t*,
                                       int32_t, int32_t, int32_t, const gainmap*, float) {
    return orvane::kHardFailure;
}
ORVANE_API uint32_t Orvane_get_raw_pd(cal_context*, const uint16_t*, const sensor_cfg*,
                                      const gainmap*, pd_map*) {
    return orvane::kHardFailure;
}
ORVANE_API uint32_t Orvane_get_raw_pd_2pd(cal_context*, uint16_t*, uint16_t*, int32_t, int32_t,
                                          int32_t, const gainmap*, pd_map*) {
    return orvane::kHardFailure;
}
}
