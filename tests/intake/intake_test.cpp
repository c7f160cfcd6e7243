#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "gainmap/gainmap.h"
#include "intake/focus.h"
#include "intake_fixture.h"
#include "pd/pd.h"
#include "sensor/sensor.h"

namespace orvane {
namespace {

using intake_test::bar_value;
using intake_test::base_settings;
using intake_test::block_cfg;
using intake_test::context_ptr;
using intake_test::image;
using intake_test::make_context;
using intake_test::make_image;
using intake_test::state_bytes;
using intake_test::test_gainmap;

constexpr uint32_t kHard = 0xFFFFFFFFu;

// 64 x 48 frame of vertical bars 16 pixels wide (horizontal bars for the
// vertical layout).
image bar_frame(uint16_t w, uint16_t h, bool horizontal_bars = false) {
    return make_image(
        w, h, [&](uint32_t x, uint32_t y) { return bar_value(horizontal_bars ? y : x, x, y, 16); });
}

// Channel image of the raw frame by its defining index formula.
image channel_image(const image& raw, const sensor_cfg& cfg, int channel) {
    const uint32_t cb = static_cast<uint32_t>(channel - 1) & 1u;
    const uint32_t rb = (static_cast<uint32_t>(channel - 1) >> 1) & 1u;
    const auto w2 = static_cast<uint16_t>((cfg.image_width - 2 * cfg.margin_x) / 2);
    const auto h2 = static_cast<uint16_t>((cfg.image_height - 2 * cfg.margin_y) / 2);
    return make_image(w2, h2, [&](uint32_t s, uint32_t r) {
        return raw.at(cfg.margin_x + 2 * s + cb, cfg.margin_y + 2 * r + rb);
    });
}

void correct(cal_context& scratch, image& img, uint16_t black, const uint16_t* table,
             const gainmap& map) {
    subtract_black(img.px.data(), img.width, img.height, black);
    apply_gain_table(img.px.data(), img.width, img.height, table, map.cols, map.rows,
                     scratch.gain_cols);
}

std::vector<uint16_t> mean_table(const uint16_t* a, const uint16_t* b) {
    std::vector<uint16_t> t(256);
    for (int i = 0; i < 256; ++i) t[i] = static_cast<uint16_t>((a[i] + b[i]) / 2);
    return t;
}

// The raw-frame intake written out step by step, on a second context.
void reference_add_raw(cal_context& ref, int16_t frame, int32_t lens, const image& raw,
                       const sensor_cfg& host_cfg, const gainmap& map, bool vertical, int channel) {
    sensor_cfg cfg;
    image first{0, 0, std::vector<uint16_t>(20000)};
    image second = first;
    if (vertical) {
        normalize_sensor_cfg_vertical(host_cfg, cfg);
        ASSERT_EQ(extract_pd_vertical(raw.px.data(), cfg, first.px.data(), second.px.data(),
                                      &first.width, &first.height),
                  0u);
    } else {
        normalize_sensor_cfg(host_cfg, cfg);
        ASSERT_EQ(extract_pd(raw.px.data(), cfg, first.px.data(), second.px.data(), &first.width,
                             &first.height),
                  0u);
    }
    second.width = first.width;
    second.height = first.height;
    correct(ref, first, cfg.black_level, vertical ? map.left_v : map.left, map);
    correct(ref, second, cfg.black_level, vertical ? map.right_v : map.right, map);
    if (vertical) {
        pd_sweep_vertical(ref, frame, lens, first.px.data(), second.px.data(), first.width,
                          first.height, map, compute_pd_pitch_vertical(cfg));
    } else {
        pd_sweep(ref, frame, lens, first.px.data(), second.px.data(), first.width, first.height,
                 map, compute_pd_pitch(cfg));
    }
    if (channel == 0) return;
    image ch = channel_image(raw, cfg, channel);
    const std::vector<uint16_t> table =
        vertical ? mean_table(map.left_v, map.right_v) : mean_table(map.left, map.right);
    correct(ref, ch, cfg.black_level, table.data(), map);
    ref.state.bayer_channel = static_cast<uint8_t>(channel);
    focus_sweep(ref, frame, ch.px.data(), ch.width, ch.height);
}

class Intake : public ::testing::Test {
protected:
    void SetUp() override { settings = base_settings(); }
    void make() {
        ctx = make_context(settings);
        ref = make_context(settings);
    }
    void expect_same_state() const {
        EXPECT_TRUE(std::memcmp(&ctx->state, &ref->state, sizeof ctx->state) == 0);
    }
    cal_settings settings{};
    context_ptr ctx;
    context_ptr ref;
    gainmap map = test_gainmap();
};

// ---- raw frames -------------------------------------------------------------------

TEST_F(Intake, NoPairsReturns4AndChangesNothing) {
    make();
    const image raw = bar_frame(64, 48);
    sensor_cfg cfg = block_cfg(64, 48, 0, 0);
    cfg.pair_count = 0;
    const std::vector<uint8_t> before = state_bytes(*ctx);
    EXPECT_EQ(Orvane_add_raw(ctx.get(), 0, 10, raw.px.data(), &cfg, &map), 4u);
    EXPECT_EQ(Orvane_add_raw_vertical(ctx.get(), 0, 10, raw.px.data(), &cfg, &map), 4u);
    EXPECT_EQ(Orvane_get_raw_pd(ctx.get(), raw.px.data(), &cfg, &map, nullptr), kHard);
    pd_map out{};
    EXPECT_EQ(Orvane_get_raw_pd(ctx.get(), raw.px.data(), &cfg, &map, &out), 4u);
    cfg.pair_count = 2;
    cfg.block_width = 0;
    EXPECT_EQ(Orvane_add_raw(ctx.get(), 0, 10, raw.px.data(), &cfg, &map), 4u);
    EXPECT_EQ(state_bytes(*ctx), before);
    EXPECT_EQ(ctx->state.frames_added, 0);
}

TEST_F(Intake, GivenChannelTakesOddColumnsOfEvenRowsFromTheMargins) {
    make();
    const image raw = bar_frame(64, 48);
    sensor_cfg cfg = block_cfg(64, 48, 2, 4);
    cfg.bayer_channel = 2;
    const sensor_cfg host = cfg;
    ASSERT_EQ(Orvane_add_raw(ctx.get(), 0, 321, raw.px.data(), &cfg, &map), 0u);
    EXPECT_EQ(std::memcmp(&cfg, &host, sizeof cfg), 0);
    EXPECT_EQ(ctx->state.bayer_channel, 2);
    EXPECT_EQ(ctx->state.frames_added, 1);
    EXPECT_EQ(ctx->state.slots[0].lens_position, 321);
    EXPECT_EQ(ctx->state.gain_cols, 2);
    EXPECT_EQ(ctx->state.gain_left[1], map.left[1]);
    EXPECT_EQ(ctx->state.gain_right[3], map.right[3]);

    // The channel image, corrected with the mean of the two tables, replaced
    // the left PD image.
    image ch =
        make_image(30, 20, [&](uint32_t s, uint32_t r) { return raw.at(3 + 2 * s, 4 + 2 * r); });
    const std::vector<uint16_t> table = mean_table(map.left, map.right);
    correct(*ref, ch, 64, table.data(), map);
    EXPECT_TRUE(std::equal(ch.px.begin(), ch.px.end(), ctx->img_left));

    reference_add_raw(*ref, 0, 321, raw, cfg, map, false, 2);
    EXPECT_GT(ctx->state.slots[0].focus[0], 0.0f);
    expect_same_state();
}

TEST_F(Intake, DetectedChannelAvoidsPdPhasesAndIsNotRemembered) {
    settings.win_rows = 2;
    settings.win_cols = 2;
    make();
    const image raw = bar_frame(64, 48);
    const sensor_cfg cfg = block_cfg(64, 48, 0, 0);
    ASSERT_EQ(Orvane_add_raw(ctx.get(), 3, -5, raw.px.data(), &cfg, &map), 0u);
    EXPECT_EQ(ctx->state.bayer_channel, 4);
    EXPECT_EQ(cfg.bayer_channel, 0);
    EXPECT_EQ(ctx->state.slots[3].lens_position, -5);
    EXPECT_EQ(ctx->state.gain_cols, 0);  // only frame index 0 captures the gain map
    reference_add_raw(*ref, 3, -5, raw, cfg, map, false, 4);
    expect_same_state();
}

TEST_F(Intake, FailedDetectionReturnsHardFailureAfterThePdSweep) {
    make();
    image raw = bar_frame(64, 48);
    for (uint32_t x = 0; x < 64; ++x) raw.at(x, 24) = raw.at(x, 25) = 0;  // middle rows dark
    const sensor_cfg cfg = block_cfg(64, 48, 0, 0);
    ctx->state.slots[1].focus[0] = 7.0f;
    ref->state.slots[1].focus[0] = 7.0f;
    EXPECT_EQ(Orvane_add_raw(ctx.get(), 1, 40, raw.px.data(), &cfg, &map), kHard);
    EXPECT_EQ(ctx->state.frames_added, 1);
    EXPECT_EQ(ctx->state.slots[1].focus[0], 7.0f);
    EXPECT_EQ(ctx->state.bayer_channel, 0);
    reference_add_raw(*ref, 1, 40, raw, cfg, map, false, 0);
    expect_same_state();
}

// The sweep's flags are those of its last window only; they are returned
// but do not keep the focus measure from running.
TEST_F(Intake, EdgeFlagOfTheLastWindowStillRunsTheFocusMeasure) {
    settings.max_shift = 2;  // below the pitch of 4: no search range, every window at the edge
    make();
    const image raw = bar_frame(64, 48);
    sensor_cfg cfg = block_cfg(64, 48, 0, 0);
    cfg.bayer_channel = 1;
    for (cal_context* c : {ctx.get(), ref.get()}) {
        c->state.slots[2].focus[0] = 7.0f;
        c->state.slots[2].pd[0] = 7.0f;
    }
    EXPECT_EQ(Orvane_add_raw(ctx.get(), 2, 9, raw.px.data(), &cfg, &map), 0x40u);
    EXPECT_GT(ctx->state.slots[2].focus[0], 0.0f);
    EXPECT_NE(ctx->state.slots[2].focus[0], 7.0f);
    EXPECT_EQ(ctx->state.slots[2].pd[0], 0.0f);
    EXPECT_EQ(ctx->state.slots[2].flags[0], 0x40u);
    EXPECT_EQ(ctx->state.frames_added, 1);
    EXPECT_EQ(ctx->state.bayer_channel, 1);
    reference_add_raw(*ref, 2, 9, raw, cfg, map, false, 1);
    expect_same_state();
}

TEST_F(Intake, FocusFailureIsTheResultOfAnAcceptedFrame) {
    settings.focus_abs_sum = 0;  // line pattern: the bars of 8 fit a 32-column channel image
    make();
    const image raw = bar_frame(64, 48);
    sensor_cfg cfg = block_cfg(64, 48, 0, 0);
    cfg.bayer_channel = 3;
    ASSERT_EQ(Orvane_add_raw(ctx.get(), 0, 0, raw.px.data(), &cfg, &map), 0u);
    EXPECT_GT(ctx->state.slots[0].focus[0], 0.0f);

    // Same PD pixels, but the measured channel is flat.
    image flat = raw;
    for (uint32_t y = 1; y < 48; y += 2)
        for (uint32_t x = 0; x < 64; x += 2) flat.at(x, y) = 500;  // channel 3 only
    ctx->state.slots[5].focus[0] = 7.0f;
    EXPECT_EQ(Orvane_add_raw(ctx.get(), 5, 0, flat.px.data(), &cfg, &map), 0x1000u);
    EXPECT_LT(ctx->state.slots[5].focus[0], 0.0f);
    EXPECT_EQ(ctx->state.slots[5].flags[0], 0x1000u);
    EXPECT_EQ(ctx->state.bayer_channel, 3);
}

TEST_F(Intake, VerticalLayoutUsesItsOwnTablesAndBuffers) {
    make();
    const image raw = bar_frame(48, 64, true);
    const sensor_cfg cfg = block_cfg(48, 64, 0, 0);
    ASSERT_EQ(Orvane_add_raw_vertical(ctx.get(), 0, 77, raw.px.data(), &cfg, &map), 0u);
    EXPECT_EQ(ctx->state.bayer_channel, 4);  // phases 0 and 2 hold PD pixels
    EXPECT_EQ(ctx->state.gain_left[0], map.left_v[0]);
    EXPECT_EQ(ctx->state.gain_right[1], map.right_v[1]);

    image ch = channel_image(raw, cfg, 4);
    const std::vector<uint16_t> table = mean_table(map.left_v, map.right_v);
    correct(*ref, ch, 64, table.data(), map);
    EXPECT_TRUE(std::equal(ch.px.begin(), ch.px.end(), ctx->img_left_v));
    reference_add_raw(*ref, 0, 77, raw, cfg, map, true, 4);
    expect_same_state();
}

TEST_F(Intake, ChannelImageBuiltAlongTheExtractionMatchesTheStepByStepIntake) {
    // Frames whose last channel rows lie below the last block row, so part
    // of the channel image is corrected after the extraction's last block
    // row, with PD images of another width than the channel image.
    struct geometry {
        uint16_t width, height, margin_x, margin_y;
    };
    for (const geometry g : {geometry{64, 48, 2, 3}, geometry{66, 53, 1, 5}, geometry{40, 30, 0, 0}}) {
        for (const bool vertical : {false, true}) {
            for (int channel = 1; channel <= 4; ++channel) {
                SCOPED_TRACE(testing::Message() << g.width << " x " << g.height << " vertical "
                                                << vertical << " channel " << channel);
                make();
                const image raw = bar_frame(g.width, g.height, vertical);
                sensor_cfg cfg = block_cfg(g.width, g.height, g.margin_x, g.margin_y);
                cfg.bayer_channel = static_cast<uint16_t>(channel);
                const uint32_t status =
                    vertical ? Orvane_add_raw_vertical(ctx.get(), 1, 5, raw.px.data(), &cfg, &map)
                             : Orvane_add_raw(ctx.get(), 1, 5, raw.px.data(), &cfg, &map);
                ASSERT_NE(status, kHard);
                image ch = channel_image(raw, cfg, channel);
                const std::vector<uint16_t> table = vertical ? mean_table(map.left_v, map.right_v)
                                                             : mean_table(map.left, map.right);
                correct(*ref, ch, 64, table.data(), map);
                const uint16_t* own = vertical ? ctx->img_left_v : ctx->img_left;
                EXPECT_TRUE(std::equal(ch.px.begin(), ch.px.end(), own));
                reference_add_raw(*ref, 1, 5, raw, cfg, map, vertical, channel);
                expect_same_state();
            }
        }
    }
}

TEST_F(Intake, FrameIndexUsesItsLow16Bits) {
    make();
    const image raw = bar_frame(64, 48);
    sensor_cfg cfg = block_cfg(64, 48, 0, 0);
    cfg.bayer_channel = 4;
    ASSERT_EQ(Orvane_add_raw(ctx.get(), 0x10000 + 3, 0x10000 + 12, raw.px.data(), &cfg, &map), 0u);
    EXPECT_EQ(ctx->state.slots[3].lens_position, 12);
    EXPECT_GT(ctx->state.slots[3].focus[0], 0.0f);
}

// A one-pixel-wide active area still holds PD pixels, but its channel image
// has no column. Nothing is read from an empty image, so the frame is
// measured like any other, not refused.
TEST_F(Intake, ChannelImageWithoutColumnsIsMeasured) {
    make();
    const image raw = bar_frame(3, 256, true);
    sensor_cfg cfg;
    std::memset(&cfg, 0, sizeof cfg);
    cfg.image_width = 3;
    cfg.image_height = 256;
    cfg.black_level = 64;
    cfg.block_width = 1;
    cfg.block_height = 4;
    cfg.margin_x = 1;
    cfg.pair_count = 1;
    cfg.v_left_y[0] = 0;
    cfg.v_right_y[0] = 1;
    cfg.bayer_channel = 1;
    const uint32_t status = Orvane_add_raw_vertical(ctx.get(), 0, 7, raw.px.data(), &cfg, &map);
    EXPECT_NE(status, kHard);
    EXPECT_EQ(ctx->state.frames_added, 1);

    reference_add_raw(*ref, 0, 7, raw, cfg, map, true, 0);
    uint32_t expected = ref->state.slots[0].flags[0];
    if (expected == 0) {
        image ch = channel_image(raw, cfg, 1);
        EXPECT_EQ(ch.width, 0);
        EXPECT_EQ(ch.height, 128);
        ref->state.bayer_channel = 1;
        expected = focus_sweep(*ref, 0, ch.px.data(), ch.width, ch.height);
    }
    EXPECT_EQ(status, expected);
    expect_same_state();
}

// ---- dual photodiode -----------------------------------------------------------

struct dual_images {
    image left;
    image right;
};

dual_images dual_frame(uint16_t w, uint16_t h) {
    return {make_image(w, h, [](uint32_t x, uint32_t y) { return bar_value(x, x, y, 12); }),
            make_image(w, h, [](uint32_t x, uint32_t y) { return bar_value(x + 1, x, y, 12); })};
}

TEST_F(Intake, DualPhotodiodeLensLimitsAreInclusive) {
    make();
    dual_images d = dual_frame(40, 24);
    EXPECT_EQ(Orvane_add_raw_2pd(ctx.get(), 0, 1000, d.left.px.data(), d.right.px.data(), 40, 24,
                                 64, &map, 1000.0f) &
                  2u,
              0u);
    d = dual_frame(40, 24);
    const uint32_t above =
        Orvane_add_raw_2pd(ctx.get(), 1, 1001, d.left.px.data(), d.right.px.data(), 40, 24, 64,
                           &map, std::nextafter(1000.0f, 2000.0f));
    EXPECT_EQ(above & 2u, 2u);
    EXPECT_EQ(ctx->state.frames_added, 2);
    EXPECT_EQ(ctx->state.slots[1].lens_position, 1001);
    EXPECT_GT(ctx->state.slots[1].focus[0], 0.0f);

    d = dual_frame(40, 24);
    EXPECT_EQ(Orvane_add_raw_2pd(ctx.get(), 2, 0, d.left.px.data(), d.right.px.data(), 40, 24, 64,
                                 &map, -0.5f) &
                  2u,
              2u);
    d = dual_frame(40, 24);
    EXPECT_EQ(Orvane_add_raw_2pd(ctx.get(), 2, 0, d.left.px.data(), d.right.px.data(), 40, 24, 64,
                                 &map, std::nanf("")) &
                  2u,
              0u);
    EXPECT_EQ(ctx->state.bayer_channel, 0);
}

TEST_F(Intake, DualPhotodiodeLeftImageHoldsTheMeanAfterwards) {
    make();
    dual_images d = dual_frame(40, 24);
    image left = d.left;
    image right = d.right;
    const uint32_t status = Orvane_add_raw_2pd(ctx.get(), 0, 5, d.left.px.data(), d.right.px.data(),
                                               40, 24, 64, &map, 5.0f);

    correct(*ref, left, 64, map.left, map);
    correct(*ref, right, 64, map.right, map);
    EXPECT_EQ(d.right.px, right.px);
    const uint32_t swept = pd_sweep(*ref, 0, 5, left.px.data(), right.px.data(), 40, 24, map, 4);
    for (size_t i = 0; i < left.px.size(); ++i)
        left.px[i] = static_cast<uint16_t>((left.px[i] + right.px[i]) / 2);
    EXPECT_EQ(d.left.px, left.px);
    const uint32_t focus = focus_sweep(*ref, 0, left.px.data(), 40, 24);
    EXPECT_EQ(status, swept | focus);
    expect_same_state();
}

TEST_F(Intake, DualPhotodiodeOrsLensSweepAndFocusResults) {
    settings.focus_abs_sum = 0;  // flat images fail the line analysis
    make();
    std::vector<uint16_t> left(40 * 24, 300), right(40 * 24, 300);
    const uint32_t status =
        Orvane_add_raw_2pd(ctx.get(), 4, 0, left.data(), right.data(), 40, 24, 64, &map, 2000.0f);
    EXPECT_EQ(status, 2u | ctx->state.slots[4].flags[0] | 0x1000u);
    EXPECT_EQ(ctx->state.frames_added, 1);
}

// Images without a column or a row fit every buffer: the frame is measured
// (its windows are empty) and counted, nothing of the images is touched.
TEST_F(Intake, EmptyDualImagesAreMeasured) {
    settings.focus_abs_sum = 0;  // a window without columns fails the line analysis
    make();
    const std::vector<uint16_t> original(8, 300);
    std::vector<uint16_t> left = original, right = original;
    const uint32_t status =
        Orvane_add_raw_2pd(ctx.get(), 3, 9, left.data(), right.data(), 0x10000, 4, 64, &map, 9.0f);
    const uint32_t swept = pd_sweep(*ref, 3, 9, left.data(), right.data(), 0, 4, map, 4);
    EXPECT_EQ(status, swept | focus_sweep(*ref, 3, left.data(), 0, 4));
    EXPECT_EQ(status & 0x1000u, 0x1000u);
    EXPECT_EQ(ctx->state.frames_added, 1);
    EXPECT_EQ(left, original);
    EXPECT_EQ(right, original);
    expect_same_state();

    pd_map out{};
    EXPECT_EQ(Orvane_get_raw_pd_2pd(ctx.get(), left.data(), right.data(), 2, 0, 64, &map, &out),
              pd_sweep(*ref, 1, 0, left.data(), right.data(), 2, 0, map, 4));
    EXPECT_EQ(out.cols, 1);
    EXPECT_EQ(out.pd[0], ref->state.slots[1].pd[0]);
    EXPECT_EQ(ctx->state.frames_added, 2);
    EXPECT_EQ(left, original);
    expect_same_state();
}

// ---- readouts -----------------------------------------------------------------

TEST_F(Intake, ReadoutOnA3By4GridWritesTwelveValuesFromSlotOne) {
    settings.win_rows = 3;
    settings.win_cols = 4;
    make();
    const image raw = bar_frame(256, 96);
    const sensor_cfg cfg = block_cfg(256, 96, 0, 0);
    pd_map out;
    std::memset(&out, 0x7F, sizeof out);
    ctx->state.slots[1].lens_position = 55;
    const uint32_t status = Orvane_get_raw_pd(ctx.get(), raw.px.data(), &cfg, &map, &out);
    EXPECT_EQ(out.cols, 4);
    EXPECT_EQ(out.rows, 3);
    EXPECT_EQ(std::memcmp(out.pd, ctx->state.slots[1].pd, 12 * sizeof(float)), 0);
    float untouched;
    std::memset(&untouched, 0x7F, sizeof untouched);
    EXPECT_EQ(std::memcmp(&out.pd[12], &untouched, sizeof untouched), 0);
    EXPECT_EQ(status, ctx->state.slots[1].flags[11]);
    EXPECT_EQ(ctx->state.frames_added, 1);
    EXPECT_EQ(ctx->state.slots[1].lens_position, 0);
    EXPECT_EQ(ctx->state.gain_cols, 0);

    reference_add_raw(*ref, 1, 0, raw, cfg, map, false, 0);
    expect_same_state();
}

TEST_F(Intake, ReadoutOfAnEmptyGridGivesOnlyTheSize) {
    settings.win_rows = 0;
    settings.win_cols = 5;
    make();
    dual_images d = dual_frame(40, 24);
    pd_map out;
    std::memset(&out, 0x7F, sizeof out);
    EXPECT_EQ(Orvane_get_raw_pd_2pd(ctx.get(), d.left.px.data(), d.right.px.data(), 40, 24, 64,
                                    &map, &out),
              0u);
    EXPECT_EQ(out.cols, 5);
    EXPECT_EQ(out.rows, 0);
    EXPECT_EQ(out.pd[0], out.pd[1]);
    EXPECT_EQ(ctx->state.frames_added, 1);
}

TEST_F(Intake, DualReadoutCorrectsBothImagesInPlace) {
    make();
    dual_images d = dual_frame(40, 24);
    image left = d.left;
    image right = d.right;
    pd_map out{};
    const uint32_t status = Orvane_get_raw_pd_2pd(ctx.get(), d.left.px.data(), d.right.px.data(),
                                                  40, 24, 64, &map, &out);
    correct(*ref, left, 64, map.left, map);
    correct(*ref, right, 64, map.right, map);
    EXPECT_EQ(d.left.px, left.px);
    EXPECT_EQ(d.right.px, right.px);
    EXPECT_EQ(status, pd_sweep(*ref, 1, 0, left.px.data(), right.px.data(), 40, 24, map, 4));
    EXPECT_EQ(out.cols, 1);
    EXPECT_EQ(out.pd[0], ctx->state.slots[1].pd[0]);
    expect_same_state();
}

// ---- limits ------------------------------------------------------------------------

class IntakeLimits : public Intake {
protected:
    // Every call must be refused before it writes anything.
    void expect_refused(uint32_t status) {
        EXPECT_EQ(status, kHard);
        EXPECT_EQ(state_bytes(*ctx), before);
        EXPECT_EQ(d.left.px, left_before);
        EXPECT_EQ(d.right.px, right_before);
    }
    void make() {
        Intake::make();
        before = state_bytes(*ctx);
        d = dual_frame(40, 24);
        left_before = d.left.px;
        right_before = d.right.px;
    }
    uint32_t add_2pd(int32_t frame, int32_t w, int32_t h, const gainmap& m) {
        return Orvane_add_raw_2pd(ctx.get(), frame, 0, d.left.px.data(), d.right.px.data(), w, h,
                                  64, &m, 1.0f);
    }
    uint32_t read_2pd(int32_t w, int32_t h, const gainmap& m) {
        pd_map out{};
        return Orvane_get_raw_pd_2pd(ctx.get(), d.left.px.data(), d.right.px.data(), w, h, 64, &m,
                                     &out);
    }
    std::vector<uint8_t> before;
    dual_images d;
    std::vector<uint16_t> left_before, right_before;
    image raw = bar_frame(64, 48);
    sensor_cfg cfg = block_cfg(64, 48, 0, 0);
};

TEST_F(IntakeLimits, FrameIndexOutsideTheSlots) {
    make();
    expect_refused(Orvane_add_raw(ctx.get(), 12, 0, raw.px.data(), &cfg, &map));
    expect_refused(Orvane_add_raw(ctx.get(), -1, 0, raw.px.data(), &cfg, &map));
    expect_refused(Orvane_add_raw(ctx.get(), 0xFFFF, 0, raw.px.data(), &cfg, &map));
    expect_refused(Orvane_add_raw_vertical(ctx.get(), 12, 0, raw.px.data(), &cfg, &map));
    expect_refused(add_2pd(0x8000, 40, 24, map));
}

TEST_F(IntakeLimits, GainGridOutside1To256Cells) {
    make();
    gainmap m = map;
    m.cols = 0;
    expect_refused(Orvane_add_raw(ctx.get(), 0, 0, raw.px.data(), &cfg, &m));
    expect_refused(add_2pd(1, 40, 24, m));
    expect_refused(read_2pd(40, 24, m));
    m.cols = 257;
    m.rows = 1;
    expect_refused(Orvane_add_raw(ctx.get(), 1, 0, raw.px.data(), &cfg, &m));
    expect_refused(Orvane_add_raw_vertical(ctx.get(), 1, 0, raw.px.data(), &cfg, &m));
    pd_map out{};
    expect_refused(Orvane_get_raw_pd(ctx.get(), raw.px.data(), &cfg, &m, &out));
    m.cols = 16;
    m.rows = 17;
    expect_refused(add_2pd(3, 40, 24, m));
}

TEST_F(IntakeLimits, WindowGridAbove144) {
    settings.win_rows = 13;
    settings.win_cols = 12;
    make();
    expect_refused(Orvane_add_raw(ctx.get(), 0, 0, raw.px.data(), &cfg, &map));
    pd_map out{};
    expect_refused(Orvane_get_raw_pd(ctx.get(), raw.px.data(), &cfg, &map, &out));
    expect_refused(add_2pd(0, 40, 24, map));
    expect_refused(read_2pd(40, 24, map));
}

TEST_F(IntakeLimits, DualImageSizeAndPitch) {
    make();
    expect_refused(add_2pd(0, 5000, 4001, map));  // 20,005,000 samples
    expect_refused(add_2pd(0, 0x10000 + 5000, 4001, map));
    expect_refused(read_2pd(5000, 4001, map));
    settings.pd_pitch_2pd = 0;
    make();
    expect_refused(add_2pd(0, 40, 24, map));
    expect_refused(read_2pd(40, 24, map));
}

TEST_F(IntakeLimits, CutOutsBeyondTheirBuffer) {
    // One window over a 2000 x 1001 image: 2,002,000 samples.
    make();
    expect_refused(add_2pd(0, 2000, 1001, map));
    // The channel image of a 4000 x 2002 frame is 2000 x 1001; its PD images
    // (1000 x 250) are well within limits.
    raw = make_image(4000, 2002, [](uint32_t x, uint32_t y) { return bar_value(x, x, y, 16); });
    cfg = block_cfg(4000, 2002, 0, 0);
    expect_refused(Orvane_add_raw(ctx.get(), 0, 0, raw.px.data(), &cfg, &map));
    pd_map out{};
    EXPECT_EQ(Orvane_get_raw_pd(ctx.get(), raw.px.data(), &cfg, &map, &out) == kHard, false);
}

TEST_F(IntakeLimits, MissingRecords) {
    make();
    pd_map out{};
    expect_refused(Orvane_add_raw(nullptr, 0, 0, raw.px.data(), &cfg, &map));
    expect_refused(Orvane_add_raw(ctx.get(), 0, 0, nullptr, &cfg, &map));
    expect_refused(Orvane_add_raw_vertical(ctx.get(), 0, 0, raw.px.data(), nullptr, &map));
    expect_refused(Orvane_add_raw_2pd(ctx.get(), 0, 0, d.left.px.data(), d.right.px.data(), 40, 24,
                                      64, nullptr, 1.0f));
    expect_refused(Orvane_get_raw_pd(ctx.get(), raw.px.data(), &cfg, &map, nullptr));
    expect_refused(
        Orvane_get_raw_pd_2pd(ctx.get(), d.left.px.data(), nullptr, 40, 24, 64, &map, &out));
}

}  // namespace
}  // namespace orvane
