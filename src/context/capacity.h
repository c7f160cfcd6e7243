// Fixed capacities of the context and the failure value returned when a call
// would exceed one. The public ones come from orvane.h, so host and library
// cannot disagree.
#pragma once

#include <cstdint>

#include "orvane.h"

namespace orvane {

constexpr uint32_t kHardFailure = ORVANE_HARD_FAILURE;
constexpr int kFrameSlots = ORVANE_FRAME_SLOTS;
constexpr int kMaxWindows = ORVANE_MAX_WINDOWS;
constexpr int kMaxDccWindows = ORVANE_MAX_DCC_WINDOWS;
constexpr int kMaxGainCells = ORVANE_MAX_GAIN_CELLS;
constexpr int kMaxPairs = ORVANE_MAX_PD_PAIRS;
constexpr int kMaxTaps = ORVANE_MAX_FILTER_TAPS;
constexpr int kSadLen = ORVANE_SAD_CURVE_LEN;
constexpr int kMaxShiftRange = 50;  // SAD curves of 2 x 50 + 1 entries
constexpr uint32_t kImageCapacity = ORVANE_IMAGE_CAPACITY;
constexpr uint32_t kRoiCapacity = ORVANE_ROI_CAPACITY;
constexpr int kProfileCapacity = 6000;
// Longest row a window can have: image widths are 16-bit.
constexpr int kMaxRowLength = 65536;

static_assert(kFrameSlots == 12 && kMaxWindows == 144 && kMaxDccWindows == 48 &&
              kMaxGainCells == 256 && kMaxPairs == 128 && kMaxTaps == 31 && kSadLen == 101 &&
              kMaxShiftRange == 50 && kImageCapacity == 20000000u && kRoiCapacity == 2000000u);

}  // namespace orvane
