// A lens sweep whose bottom-right window has no texture: its disparity lands
// on the edge of the search range, so every frame's sweep reports 0x40. The
// focus values of all the other windows must still be measured, so that the
// DCC map places their focus peaks where the frames put them.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

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

}  // namespace
