// A lens sweep whose bottom-right window has no texture: its disparity lands
// on the edge of the search range, so every frame's sweep reports 0x40. The
// focus values of all the other windows must still be measured, so that the
// DCC map places their focus peaks where the frames put them.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "intake_fixture.h"

namespace {

using intake_test::block_cfg;
using intake_test::image;
using intake_test::make_context;
using intake_test::make_image;

constexpr int kFrames = 7;
constexpr int kSide = 96;                           // 3 x 3 windows of 32 x 32 raw pixels
constexpr int kCorner = 8;                          // the featureless window
constexpr int kPeak[8] = {1, 3, 5, 2, 4, 1, 3, 5};  // frame of best contrast per window

int lens_of(int k) {
    return 100 + 10 * k;
}

// Bars 16 pixels wide across the layout's measuring direction; window w has
// its strongest contrast at frame kPeak[w], symmetric about it, so the
// interpolated peak falls exactly on that frame's lens position.
image frame(int k, bool vertical) {
    return make_image(kSide, kSide, [&](uint32_t x, uint32_t y) {
        const uint32_t w = (y / 32) * 3 + x / 32;
        if (w == kCorner) return uint16_t{64};  // at the black level: zero after it
        const int amplitude = 360 - 60 * std::abs(k - kPeak[w]);
        const uint32_t along = vertical ? y : x;
        const int bar = (along % 16) < 8 ? -amplitude : amplitude;
        return static_cast<uint16_t>(564 + bar);
    });
}

struct layout_case {
    const char* name;
    bool vertical;
    uint32_t (*add)(cal_context*, int32_t, int32_t, const uint16_t*, const sensor_cfg*,
                    const gainmap*);
};

TEST(FeaturelessCorner, OtherWindowsKeepTheirFocusPeaks) {
    const layout_case cases[] = {
        {"horizontal", false, Orvane_add_raw},
        {"vertical", true, Orvane_add_raw_vertical},
    };
    for (const layout_case& c : cases) {
        SCOPED_TRACE(c.name);
        cal_settings s = intake_test::base_settings();
        s.win_rows = 3;
        s.win_cols = 3;
        s.sweep_frames = kFrames;
        s.dcc_shift = 4;
        for (float& limit : s.dcc_dev_limit) limit = 1e9f;
        auto ctx = make_context(s);
        ASSERT_TRUE(ctx);

        gainmap map;
        std::memset(&map, 0, sizeof map);
        map.cols = 1;
        map.rows = 1;
        map.left[0] = map.right[0] = map.left_v[0] = map.right_v[0] = 512;
        sensor_cfg cfg = block_cfg(kSide, kSide, 0, 0);
        cfg.bayer_channel = 4;

        for (int k = 0; k < kFrames; ++k) {
            const image raw = frame(k, c.vertical);
            EXPECT_EQ(c.add(ctx.get(), k, lens_of(k), raw.px.data(), &cfg, &map), 0x40u) << k;
            // The premise: only the corner window hits the edge.
            const uint32_t* flags = ctx->state.slots[k].flags;
            for (int w = 0; w < kCorner; ++w) EXPECT_EQ(flags[w] & 0x40u, 0u) << k << " " << w;
            EXPECT_EQ(flags[kCorner], 0x40u) << k;
        }
        dccmap dcc{};
        Orvane_get_dccmap(ctx.get(), &dcc, nullptr);
        for (int w = 0; w < kCorner; ++w) {
            EXPECT_EQ(ctx->state.peak_lens[w], lens_of(kPeak[w])) << w;
        }
    }
}

// The bar-pattern focus measure with an early window whose pattern has no
// bars (a ramp: its band-pass output is not zero, so its value is a real
// failure). Every other window is still measured, the failing one carries
// focus_failed in its own frame flags, and a context reused from another
// module ends exactly like a fresh one, on every kernel table.
constexpr int kRampWindow = 1;
constexpr int kLinePeaks[9] = {1, 3, 5, 2, 4, 1, 3, 5, 2};
constexpr int kLineSide = 192;  // 3 x 3 windows of 64 x 64 raw pixels

image line_frame(int k, const int* peaks, int ramp_window) {
    return make_image(kLineSide, kLineSide, [&](uint32_t x, uint32_t y) {
        const uint32_t w = (y / 64) * 3 + x / 64;
        if (static_cast<int>(w) == ramp_window) return static_cast<uint16_t>(200 + 8 * (x % 64));
        const int amplitude = 360 - 60 * std::abs(k - peaks[w]);
        const int bar = (x % 16) < 8 ? -amplitude : amplitude;
        return static_cast<uint16_t>(564 + bar);
    });
}

cal_settings line_settings() {
    cal_settings s = intake_test::base_settings();
    s.focus_abs_sum = 0;
    s.win_rows = 3;
    s.win_cols = 3;
    s.sweep_frames = kFrames;
    s.dcc_shift = 4;
    for (float& limit : s.dcc_dev_limit) limit = 1e9f;
    return s;
}

// One module's sweep and fit; the status of every intake call is returned.
std::vector<uint32_t> calibrate_module(cal_context* ctx, const int* peaks, int ramp_window) {
    gainmap map;
    std::memset(&map, 0, sizeof map);
    map.cols = 1;
    map.rows = 1;
    map.left[0] = map.right[0] = 512;
    sensor_cfg cfg = block_cfg(kLineSide, kLineSide, 0, 0);
    cfg.bayer_channel = 4;
    std::vector<uint32_t> statuses;
    for (int k = 0; k < kFrames; ++k) {
        const image raw = line_frame(k, peaks, ramp_window);
        statuses.push_back(Orvane_add_raw(ctx, k, lens_of(k), raw.px.data(), &cfg, &map));
    }
    dccmap dcc{};
    Orvane_get_dccmap(ctx, &dcc, nullptr);
    return statuses;
}

// A context on the kernel table `cpu` names (nullptr: the best one).
intake_test::context_ptr context_on(const char* cpu, const cal_settings& s) {
    if (cpu != nullptr) setenv("ORVANE_CPU", cpu, 1);
    auto ctx = make_context(s);
    unsetenv("ORVANE_CPU");
    return ctx;
}

TEST(FailingWindow, EveryOtherWindowIsMeasuredAndReuseMatchesAFreshContext) {
    constexpr int kOtherPeaks[9] = {5, 4, 3, 2, 1, 2, 3, 4, 5};
    for (const char* cpu : {"scalar", "avx2", static_cast<const char*>(nullptr)}) {
        SCOPED_TRACE(cpu == nullptr ? "best" : cpu);
        auto fresh = context_on(cpu, line_settings());
        ASSERT_TRUE(fresh);
        const std::vector<uint32_t> statuses = calibrate_module(fresh.get(), kLinePeaks, kRampWindow);
        for (int k = 0; k < kFrames; ++k) {
            EXPECT_NE(statuses[k] & ORVANE_FOCUS_FAILED, 0u) << k;
            const frame_slot& slot = fresh->state.slots[k];
            for (int w = 0; w < 9; ++w) {
                const bool failing = w == kRampWindow;
                EXPECT_EQ((slot.flags[w] & ORVANE_FOCUS_FAILED) != 0, failing) << k << " " << w;
                EXPECT_EQ(slot.focus[w] < 0.0f, failing) << k << " " << w;
            }
        }
        for (int w = 0; w < 9; ++w) {
            if (w == kRampWindow) continue;
            EXPECT_EQ(fresh->state.peak_lens[w], lens_of(kLinePeaks[w])) << w;
        }

        // The same module on a context that calibrated another one first,
        // whose failing window is a different one.
        auto reused = context_on(cpu, line_settings());
        ASSERT_TRUE(reused);
        calibrate_module(reused.get(), kOtherPeaks, 4);
        EXPECT_EQ(calibrate_module(reused.get(), kLinePeaks, kRampWindow), statuses);
        EXPECT_TRUE(intake_test::state_bytes(*reused) == intake_test::state_bytes(*fresh));
    }
}

}  // namespace
