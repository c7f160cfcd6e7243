// A focus window walked in row-major order through the image, for the
// vector band-pass kernels. Internal linkage: each unit keeps the copy built
// for its own instruction set.
#pragma once

#include <cstdint>

#include "kernels/kernels.h"

namespace orvane {
namespace {

struct lane_cursor {
    // Address of the next sample, kept as an integer: it steps past the
    // image after the last row, where a pointer may not go.
    uintptr_t at;
    uintptr_t row_skip;  // bytes from a row's end to the next row's start
    uint32_t width;
    uint32_t first;      // summed columns [first, last)
    uint32_t last;
    uint32_t col;        // column of the next sample
    uint64_t remaining;  // samples still to read
    uintptr_t ahead;     // prefetch distance: two rows

    void start(const focus_lane& l) {
        at = reinterpret_cast<uintptr_t>(l.origin);
        row_skip = (l.stride - l.width) * sizeof(uint16_t);
        ahead = 2 * l.stride * sizeof(uint16_t);
        width = l.width;
        first = l.first;
        last = l.last;
        col = 0;
        remaining = static_cast<uint64_t>(l.width) * l.height;
    }
    // A lane without a window: nothing to read.
    void idle() {
        at = 0;
        width = 0;
        remaining = 0;
    }
    // Past n samples of the current row (n <= width - col).
    void advance(uint32_t n) {
        remaining -= n;
        col += n;
        at += n * sizeof(uint16_t);
        if (col == width) {
            col = 0;
            at += row_skip;
        }
    }
};

}  // namespace
}  // namespace orvane
