// Every capacity and limit from both sides: the value at the limit is
// accepted, the next one refused. Tests that only ever refuse would let an
// off-by-one that refuses a legal input go unnoticed.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "context/context.h"
#include "entry_world.h"

namespace {

using entry_test::kHard;
using entry_test::world;

constexpr int64_t kLayout = ORVANE_LAYOUT_UNUSABLE;

// Dual-photodiode images large enough for every shape below, so a wrongly
// accepted shape would still stay inside them (and show as accepted).
constexpr size_t kBig = 20000004;  // 564 x 35461, the least product above 20,000,000
std::vector<uint16_t>& big(int which) {
    static std::vector<uint16_t> images[2];
    std::vector<uint16_t>& img = images[which];
    if (img.empty()) {
        img.resize(kBig);
        for (size_t i = 0; i < kBig; ++i)
            img[i] = static_cast<uint16_t>((i + which) / 6 % 2 ? 800 : 200);
    }
    return img;
}

int64_t add_2pd(world& w, int32_t frame, int32_t width, int32_t height, float lens = 10.0f) {
    return Orvane_add_raw_2pd(w.ctx, frame, 10, big(0).data(), big(1).data(), width, height, 64,
                              &w.map, lens);
}
int64_t read_2pd(world& w, int32_t width, int32_t height) {
    return Orvane_get_raw_pd_2pd(w.ctx, big(0).data(), big(1).data(), width, height, 64, &w.map,
                                 &w.pd_out);
}
int64_t add_raw(world& w, int32_t frame = 0) {
    return Orvane_add_raw(w.ctx, frame, 10, w.raw.data(), &w.cfg, &w.map);
}

// A raw layout with one PD sample per pixel column: 1 x 2 blocks, `groups`
// left pixels side by side in row 0, right pixels below them. The PD image
// is groups x (width - 2 margin) wide and 2 rows high.
void narrow_blocks(world& w, uint16_t width, uint16_t margin, uint16_t groups) {
    sensor_cfg& c = w.cfg;
    std::memset(&c, 0, sizeof c);
    c.image_width = width;
    c.image_height = 4;
    c.block_width = 1;
    c.block_height = 2;
    c.margin_x = margin;
    c.pair_count = groups;
    for (uint16_t i = 0; i < groups; ++i) {
        c.left_x[i] = c.right_x[i] = i;
        c.right_y[i] = 1;
    }
    c.bayer_channel = 1;
    w.raw.assign(static_cast<size_t>(width) * 4, 0);
    for (size_t i = 0; i < w.raw.size(); ++i)
        w.raw[i] = static_cast<uint16_t>(i / 7 % 2 ? 900 : 100);
}

// 16 x 16 blocks holding `pairs` pairs, 16 per row pair: left in even rows,
// right below; 16 groups, so a 32 x 32 frame gives a 32 x 2 PD image.
void dense_blocks(world& w, uint16_t pairs) {
    sensor_cfg& c = w.cfg;
    std::memset(&c, 0, sizeof c);
    c.image_width = 32;
    c.image_height = 32;
    c.block_width = 16;
    c.block_height = 16;
    c.pair_count = pairs;
    for (int i = 0; i < 128; ++i) {
        c.left_x[i] = c.right_x[i] = static_cast<uint16_t>(i % 16);
        c.left_y[i] = static_cast<uint16_t>(2 * (i / 16));
        c.right_y[i] = static_cast<uint16_t>(2 * (i / 16) + 1);
    }
    c.bayer_channel = 1;
    w.raw.assign(32 * 32, 0);
    for (size_t i = 0; i < w.raw.size(); ++i) w.raw[i] = static_cast<uint16_t>(i % 5 * 100 + 100);
}

struct limit_case {
    const char* name;
    // Sets the world up at the limit (beyond = false) or one past it and
    // makes the calls; every result must agree.
    std::function<std::vector<int64_t>(world&, bool beyond)> calls;
    // Status words refuse with the hard failure, the block writers with -1.
    std::function<bool(int64_t)> refused = [](int64_t r) { return r == kHard || r == -1; };
};

std::vector<int64_t> gain_cells_intake(world& w, bool beyond) {
    w.map.cols = beyond ? 257 : 16;
    w.map.rows = beyond ? 1 : 16;
    std::vector<int64_t> r;
    for (int frame : {0, 3}) {
        w.remake();
        r.push_back(add_raw(w, frame));
        r.push_back(Orvane_add_raw_vertical(w.ctx, frame, 0, w.raw.data(), &w.cfg, &w.map));
        r.push_back(add_2pd(w, frame, 40, 24));
    }
    r.push_back(Orvane_get_raw_pd(w.ctx, w.raw.data(), &w.cfg, &w.map, &w.pd_out));
    r.push_back(read_2pd(w, 40, 24));
    return r;
}

std::vector<int64_t> gain_cells_generation(world& w, bool beyond) {
    // 258 = 3 x 86 is the least grid above 256 cells that signed-byte sides allow.
    w.settings.gain_rows = beyond ? 3 : 4;
    w.settings.gain_cols = beyond ? 86 : 64;
    w.remake();
    return {Orvane_get_gainmap(w.ctx, w.raw.data(), &w.cfg, &w.map_out, &w.limits),
            Orvane_get_gainmap_vertical(w.ctx, w.raw.data(), &w.cfg, &w.map_out, &w.limits),
            Orvane_get_gainmap_2pd(w.ctx, w.left.data(), w.right.data(), 40, 24, 64, &w.map_out,
                                   &w.limits, 5.0f)};
}

std::vector<int64_t> windows_per_frame(world& w, bool beyond) {
    w.settings.win_rows = beyond ? 5 : 12;
    w.settings.win_cols = beyond ? 29 : 12;  // 145 and 144
    w.remake();
    return {add_raw(w), add_2pd(w, 1, 40, 24), read_2pd(w, 40, 24),
            Orvane_get_raw_pd(w.ctx, w.raw.data(), &w.cfg, &w.map, &w.pd_out)};
}

std::vector<int64_t> windows_per_dcc_map(world& w, bool beyond) {
    const uint16_t rows = beyond ? 7 : 6, cols = beyond ? 7 : 8;  // 49 and 48
    w.settings.win_rows = static_cast<int8_t>(rows);
    w.settings.win_cols = static_cast<int8_t>(cols);
    w.remake();
    std::vector<int64_t> r = {Orvane_get_dccmap(w.ctx, &w.dcc_out, nullptr)};
    w.ctx->state.win_rows = rows;
    w.ctx->state.win_cols = cols;
    r.push_back(Orvane_get_calibration_curve_of_field_block(w.ctx, w.block_out.data()));
    w.dcc.win_rows = rows;
    w.dcc.win_cols = cols;
    r.push_back(Orvane_get_calibration_block(&w.map, &w.dcc, w.block_out.data()));
    r.push_back(Orvane_get_calibration_block_vertical(&w.map, &w.dcc, w.block_out.data()));
    r.push_back(Orvane_get_calibration_block_horizontal_vertical(&w.map, &w.dcc, &w.map, &w.dcc,
                                                                 w.block_out.data()));
    r.push_back(Orvane_get_calibration_block_horizontal_vertical_without_dcc(
        &w.map, &w.dcc, &w.map, nullptr, w.block_out.data()));
    // A block of 48 windows read back; one of 49 is refused where it says so.
    w.dcc.win_rows = 6;
    w.dcc.win_cols = 8;
    Orvane_get_calibration_block(&w.map, &w.dcc, w.block_out.data());
    const size_t at = 6 + 4 * 4 + 4;  // win_rows of a 2 x 2 gain grid's block
    w.block_out[at + 1] = static_cast<uint8_t>(rows);
    w.block_out[at - 1] = static_cast<uint8_t>(cols);
    r.push_back(
        Orvane_read_calibration_block(&w.map_out, &w.dcc_out, w.block_out.data()) == 0 ? 0 : kHard);
    return r;
}

std::vector<int64_t> gain_cells_blocks(world& w, bool beyond) {
    w.map.cols = beyond ? 257 : 16;
    w.map.rows = beyond ? 1 : 16;
    std::vector<int64_t> r = {
        Orvane_get_calibration_block(&w.map, &w.dcc, w.block_out.data()),
        Orvane_get_calibration_block_vertical(&w.map, &w.dcc, w.block_out.data()),
        Orvane_get_calibration_block_horizontal_vertical(&w.map, &w.dcc, &w.map, &w.dcc,
                                                         w.block_out.data()),
        Orvane_get_calibration_block_horizontal_vertical_without_dcc(&w.map, &w.dcc, &w.map,
                                                                     nullptr, w.block_out.data())};
    // Read back a block of 256 cells; one claiming 257 is refused.
    w.map.cols = 16;
    w.map.rows = 16;
    Orvane_get_calibration_block(&w.map, &w.dcc, w.block_out.data());
    if (beyond) {
        w.block_out[3] = 1;  // cols 257 (0x0101), rows 1
        w.block_out[2] = 1;
        w.block_out[5] = 1;
    }
    r.push_back(
        Orvane_read_calibration_block(&w.map_out, &w.dcc_out, w.block_out.data()) == 0 ? 0 : kHard);
    return r;
}

std::vector<int64_t> frame_index_high(world& w, bool beyond) {
    const int32_t k = beyond ? 12 : 11;
    return {add_raw(w, k), Orvane_add_raw_vertical(w.ctx, k, 0, w.raw.data(), &w.cfg, &w.map),
            add_2pd(w, k, 40, 24)};
}

std::vector<int64_t> frame_index_low(world& w, bool beyond) {
    const int32_t k = beyond ? -1 : 0;
    return {add_raw(w, k), Orvane_add_raw_vertical(w.ctx, k, 0, w.raw.data(), &w.cfg, &w.map),
            add_2pd(w, k, 40, 24)};
}

std::vector<int64_t> filter_taps(world& w, bool beyond) {
    w.settings.filter_tap_count = beyond ? 32 : 31;
    w.remake();
    return {add_raw(w), add_2pd(w, 0, 40, 24), read_2pd(w, 40, 24)};
}

std::vector<int64_t> search_range(world& w, bool beyond) {
    std::vector<int64_t> r;
    // 50 PD samples at pitch 1 and at pitch 2; 51 beyond.
    for (int pitch : {1, 2}) {
        w.settings.pd_pitch_2pd = static_cast<int8_t>(pitch);
        w.settings.max_shift = static_cast<int8_t>(pitch * (beyond ? 51 : 50));
        w.remake();
        r.push_back(add_2pd(w, 0, 240, 4));
        r.push_back(read_2pd(w, 240, 4));
    }
    return r;
}

std::vector<int64_t> pd_pairs(world& w, bool beyond) {
    dense_blocks(w, beyond ? 129 : 128);
    return {Orvane_validate_sensor_cfg(w.raw.data(), &w.cfg, w.out_left.data(), w.out_right.data()),
            Orvane_get_gainmap(w.ctx, w.raw.data(), &w.cfg, &w.map_out, &w.limits), add_raw(w),
            Orvane_get_raw_pd(w.ctx, w.raw.data(), &w.cfg, &w.map, &w.pd_out)};
}

std::vector<int64_t> pd_image_width(world& w, bool beyond) {
    // 65,535 PD samples wide from one group; 65,536 from two groups of 32,768.
    if (beyond) {
        narrow_blocks(w, 32770, 1, 2);
    } else {
        narrow_blocks(w, 65535, 0, 1);
    }
    w.settings.win_rows = 1;
    w.settings.win_cols = 12;  // profiles of 5,461 samples
    w.remake();
    std::vector<uint16_t> first(65536 * 2 + 8), second(first.size());
    return {Orvane_validate_sensor_cfg(w.raw.data(), &w.cfg, first.data(), second.data()),
            Orvane_get_gainmap(w.ctx, w.raw.data(), &w.cfg, &w.map_out, &w.limits), add_raw(w),
            Orvane_get_raw_pd(w.ctx, w.raw.data(), &w.cfg, &w.map, &w.pd_out)};
}

std::vector<int64_t> image_capacity(world& w, bool beyond) {
    // 5,000 x 4,000 is exactly the capacity; 564 x 35,461 the least product above.
    const int32_t width = beyond ? 564 : 5000, height = beyond ? 35461 : 4000;
    w.settings.win_rows = 12;
    w.settings.win_cols = 12;
    w.remake();
    return {read_2pd(w, width, height), add_2pd(w, 2, width, height)};
}

std::vector<int64_t> cut_out_capacity(world& w, bool beyond) {
    // One window over the whole image: 2,000 x 1,000 samples, or
    // 101 x 19,802 = 2,000,002, the least product above.
    const int32_t width = beyond ? 101 : 2000, height = beyond ? 19802 : 1000;
    w.settings.win_rows = 1;
    w.settings.win_cols = 1;
    w.remake();
    return {read_2pd(w, width, height), add_2pd(w, 2, width, height)};
}

std::vector<int64_t> profile_capacity(world& w, bool beyond) {
    w.settings.win_rows = 1;
    w.settings.win_cols = 1;
    w.remake();
    const int32_t width = beyond ? 6001 : 6000;
    return {read_2pd(w, width, 3), add_2pd(w, 2, width, 3)};
}

std::vector<int64_t> sweep_frames(world& w, bool beyond) {
    w.settings.sweep_frames = beyond ? 13 : 12;
    w.remake();
    return {Orvane_get_dccmap(w.ctx, &w.dcc_out, nullptr)};
}

std::vector<int64_t> lens_range(world& w, bool beyond, bool upper) {
    w.settings.lens_min = 100.0f;
    w.settings.lens_max = 200.0f;
    w.remake();
    const float limit = upper ? 200.0f : 100.0f;
    const float lens = beyond ? std::nextafter(limit, upper ? 1e9f : -1e9f) : limit;
    return {add_2pd(w, 0, 40, 24, lens),
            Orvane_get_gainmap_2pd(w.ctx, w.left.data(), w.right.data(), 40, 24, 64, &w.map_out,
                                   &w.limits, lens)};
}

TEST(CapacityLimits, AcceptedAtTheLimitRefusedBeyond) {
    auto lens_flag = [](int64_t r) { return r != kHard && (r & ORVANE_LENS_OUT_OF_RANGE) != 0; };
    const limit_case cases[] = {
        {"gain cells in intake (256)", gain_cells_intake},
        {"gain cells in generation (256)", gain_cells_generation},
        {"gain cells in blocks (256)", gain_cells_blocks},
        {"windows per frame (144)", windows_per_frame},
        {"windows per DCC map (48)", windows_per_dcc_map},
        {"frame index (11)", frame_index_high},
        {"frame index (0)", frame_index_low},
        {"filter taps (31)", filter_taps},
        {"search range (50 PD samples)", search_range},
        {"PD pairs (128)", pd_pairs, [](int64_t r) { return r == kLayout; }},
        {"PD image width (65,535)", pd_image_width, [](int64_t r) { return r == kLayout; }},
        {"PD image samples (20,000,000)", image_capacity},
        {"cut-out samples (2,000,000)", cut_out_capacity},
        {"profile length (6,000)", profile_capacity},
        {"sweep frames (12)", sweep_frames},
        {"lens_min", [](world& w, bool b) { return lens_range(w, b, false); }, lens_flag},
        {"lens_max", [](world& w, bool b) { return lens_range(w, b, true); }, lens_flag},
    };
    for (const limit_case& c : cases) {
        for (bool beyond : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (beyond ? ", beyond" : ", at the limit"));
            world w;
            testing::internal::CaptureStdout();
            const std::vector<int64_t> results = c.calls(w, beyond);
            testing::internal::GetCapturedStdout();
            for (size_t i = 0; i < results.size(); ++i) {
                EXPECT_EQ(c.refused(results[i]), beyond) << "call " << i << " gave " << results[i];
            }
        }
    }
}

}  // namespace
