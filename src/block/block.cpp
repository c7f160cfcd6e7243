#include "context/context.h"

extern "C" {
ORVANE_API int32_t Orvane_get_calibration_block(const gainmap*, const dccmap*, uint8_t*) {
    return -1;
}
ORVANE_API int32_t Orvane_get_calibration_block_vertical(const gainmap*, const dccmap*, uint8_t*) {
    return -1;
}
ORVANE_API int32_t Orvane_get_calibration_block_horizontal_vertical(const gainmap*, const dccmap*,
                                                                    const gainmap*, const dccmap*,
                                                                    uint8_t*) {
    return -1;
}
ORVANE_API int32_t Orvane_get_calibration_block_horizontal_vertical_without_dcc(
    const gainmap*, const dccmap*, const gainmap*, const void*, uint8_t*) {
    return -1;
}
ORVANE_API int32_t Orvane_get_calibration_curve_of_field_block(const cal_context*, uint8_t*) {
    return -1;
}
ORVANE_API uint32_t Orvane_read_calibration_block(gainmap*, dccmap*, const uint8_t*) {
    return orvane::kHardFailure;
}
}
