// Storage for column sums of window bands, kept in the context so that the
// pass that writes an image can sum it for the sweep that reads it next
// (src/pd/band_sums.h). Working memory only, never part of the state dump.
#pragma once

#include <cstdint>

namespace orvane {

constexpr int kMaxBands = 144;
constexpr uint32_t kBandStore = 1u << 18;

struct band_sums_store {
    // Image and grid the sums belong to; meaningful only while `ready`.
    uint32_t ready;
    const uint16_t* image;
    uint16_t width;
    uint16_t height;
    uint16_t rows;
    uint16_t cols;
    float margin;
    uint32_t row0[kMaxBands];
    uint32_t nrows[kMaxBands];
    uint32_t col_begin[kMaxBands];
    uint32_t ncols[kMaxBands];
    uint32_t offset[kMaxBands];
    int32_t sums[kBandStore];
};

}  // namespace orvane
