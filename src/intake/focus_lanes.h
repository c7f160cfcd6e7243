// Focus sweep on a kernel table: every window is read in place and, on the
// vector tables, several windows' band-pass sequences run side by side.
#pragma once

#include <cstdint>

#include "context/context.h"
#include "kernels/kernels.h"

namespace orvane {

// Same results, prints and status as focus_sweep, for the absolute-sum and
// the line-pattern variants when every window lies inside the image. Returns
// false, having touched nothing, when it does not apply.
bool focus_sweep_lanes(const kernel_table& kernels, cal_context& ctx, int16_t frame_index,
                       const uint16_t* image, uint16_t width, uint16_t height, uint32_t* status);

}  // namespace orvane
