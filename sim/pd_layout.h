// Where a raw layout puts its PD pixels: pairs per block, blocks inside the
// margins.
#pragma once

#include <cstdint>
#include <vector>

#include "sim.h"

namespace orvane_sim::detail {

// Where the PD pixels of a raw layout sit: block-relative pair coordinates.
struct pd_pair {
    uint16_t x1, y1, x2, y2;
};

std::vector<pd_pair> pd_pairs(const sensor_model& m, layout kind);

struct block_grid {
    uint32_t cols, rows;  // blocks
};

block_grid blocks_of(const sensor_model& m);

}  // namespace orvane_sim::detail
