// Shared set-up of the gain map tests: a context with a small gain grid and
// snapshots that show whether a refused call wrote anything.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "context/context.h"
#include "gainmap/gainmap.h"

namespace orvane::test {

// While set, nothrow array allocations fail (alloc_refusal.cpp), so a
// test can starve the resampler of its scratch.
extern bool refuse_array_allocations;

struct RefuseAllocations {
    RefuseAllocations() { refuse_array_allocations = true; }
    ~RefuseAllocations() { refuse_array_allocations = false; }
};

struct ContextDeleter {
    void operator()(cal_context* ctx) const { Orvane_destroy(ctx); }
};
using context_ptr = std::unique_ptr<cal_context, ContextDeleter>;

inline cal_settings gain_settings(int8_t rows = 3, int8_t cols = 4, int8_t shift = 9) {
    cal_settings s{};
    s.gain_rows = rows;
    s.gain_cols = cols;
    s.gain_shift = shift;
    s.lens_min = 100.0f;
    s.lens_max = 200.0f;
    return s;
}

inline context_ptr make_context(const cal_settings& s) {
    context_ptr ctx(Orvane_create(&s));
    EXPECT_NE(ctx, nullptr);
    return ctx;
}

// A record whose every byte is a marker, to see what a call writes.
inline gainmap marked_map() {
    gainmap m;
    std::memset(&m, 0xAB, sizeof m);
    return m;
}

inline bool same_bytes(const gainmap& a, const gainmap& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

inline bool all_equal(const uint16_t* t, size_t n, uint16_t v) {
    for (size_t i = 0; i < n; ++i)
        if (t[i] != v) return false;
    return true;
}

// The calibration state, the part of the context a refused call must leave.
struct state_snapshot {
    std::vector<unsigned char> bytes;
    explicit state_snapshot(const cal_context& ctx)
        : bytes(reinterpret_cast<const unsigned char*>(&ctx.state),
                reinterpret_cast<const unsigned char*>(&ctx.state) + sizeof ctx.state) {}
    bool unchanged(const cal_context& ctx) const {
        return std::memcmp(bytes.data(), &ctx.state, bytes.size()) == 0;
    }
};

}  // namespace orvane::test
