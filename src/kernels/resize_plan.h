// Plan of the resampler's column pass with output rows accumulated in
// registers, shared by the vector units (internal linkage: each unit keeps
// the copy built for its own instruction set).
//
// Each output row sums float(sample) * weight over its taps in tap order,
// and its tap rows never decrease. The pass walks the source rows once for
// a block of columns, keeping the sums of every open output row in
// registers: output row r lives in slot r mod K, which is free again when
// row r - K has taken its last tap. A slot without a tap on a source row
// adds float(sample) * -0 = -0, and x + -0 is x for every float x
// (including zeros, infinities and NaN), so each sum sees exactly its own
// terms in its own order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvane {
namespace {

constexpr int32_t kMaxOutRows = 256;
// Passes over source rows planned at once: their rows, whole, stay in the
// second-level cache while every block of columns replays them.
constexpr uint32_t kPlanEntries = 64;

// One pass over source row y (1-based): the weight of every slot, and the
// slots whose rows take their last tap with it.
template <int K>
struct row_pass {
    int32_t y;
    uint32_t closing;
    float w[K];
};

// Walks the taps of all output rows in source row order.
template <int K>
struct pass_planner {
    const float* weights;
    const int32_t* indices;
    int32_t taps;
    int32_t out_rows;
    int32_t next[kMaxOutRows];  // next tap of each output row
    int32_t y;                  // current source row
    int32_t y_last;
    int32_t lo;                 // lowest output row not yet closed
    int32_t pass;               // passes of row y already planned

    // Taps of output row r on source row y still to come.
    int32_t taps_on(int32_t r, int32_t row) const {
        const int32_t* idx = indices + static_cast<size_t>(r) * static_cast<size_t>(taps);
        int32_t n = 0;
        while (next[r] + n < taps && idx[next[r] + n] == row) ++n;
        return n;
    }

    // Plans up to kPlanEntries passes; returns how many (0 when done).
    uint32_t plan(row_pass<K>* out) {
        uint32_t n = 0;
        while (n < kPlanEntries && y <= y_last) {
            bool any = false;
            row_pass<K>& e = out[n];
            e.y = y;
            e.closing = 0;
            for (int k = 0; k < K; ++k) e.w[k] = -0.0f;
            bool more = false;  // another pass over row y is needed
            for (int32_t r = lo; r < out_rows && r < lo + K; ++r) {
                const int32_t* idx = indices + static_cast<size_t>(r) * static_cast<size_t>(taps);
                if (next[r] >= taps || idx[next[r]] != y) continue;
                any = true;
                e.w[r % K] = weights[static_cast<size_t>(r) * static_cast<size_t>(taps) +
                                     static_cast<size_t>(next[r])];
                ++next[r];
                if (next[r] == taps) {
                    e.closing |= 1u << (r % K);
                } else if (idx[next[r]] == y) {
                    more = true;
                }
            }
            while (lo < out_rows && next[lo] >= taps) ++lo;
            if (any) ++n;
            if (!more) ++y;
        }
        return n;
    }
};

// Whether the taps allow slots of K registers: every row's tap rows never
// decrease, first and last tap rows never decrease from one output row to
// the next, and row r + K starts after row r ends.
bool slots_suffice(const int32_t* indices, int32_t out_rows, int32_t taps, int32_t k) {
    for (int32_t r = 0; r < out_rows; ++r) {
        const int32_t* idx = indices + static_cast<size_t>(r) * static_cast<size_t>(taps);
        for (int32_t j = 1; j < taps; ++j) {
            if (idx[j] < idx[j - 1]) return false;
        }
        if (r > 0) {
            const int32_t* prev = idx - taps;
            if (idx[0] < prev[0] || idx[taps - 1] < prev[taps - 1]) return false;
        }
        if (r + k < out_rows) {
            const int32_t* later = idx + static_cast<size_t>(k) * static_cast<size_t>(taps);
            if (later[0] <= idx[taps - 1]) return false;
        }
    }
    return true;
}

// The lowest and highest source row any output row takes a tap from.
inline void tap_row_range(const int32_t* indices, int32_t taps, int32_t out_rows,
                          int32_t& first, int32_t& last) {
    first = indices[0];
    last = indices[taps - 1];
    for (int32_t r = 1; r < out_rows; ++r) {
        const int32_t* idx = indices + static_cast<size_t>(r) * static_cast<size_t>(taps);
        first = idx[0] < first ? idx[0] : first;
        last = idx[taps - 1] > last ? idx[taps - 1] : last;
    }
}

// The planner of a column pass over all output rows: from the lowest tap
// row of any output row to the highest.
template <int K>
pass_planner<K> planner_of(const float* weights, const int32_t* indices, int32_t taps,
                           int32_t out_rows) {
    int32_t y_first = 0, y_last = 0;
    tap_row_range(indices, taps, out_rows, y_first, y_last);
    return pass_planner<K>{weights, indices, taps, out_rows, {}, y_first, y_last, 0, 0};
}

}  // namespace
}  // namespace orvane
