// The gain tables are measured where the application reads them: a flat
// field whose two phases are shaded in opposite directions comes out of its
// own map balanced, on every layout and on grids a sensor maker would choose.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "gainmap_fixture.h"
#include "sensor/sensor.h"

namespace orvane {
namespace {

using test::context_ptr;
using test::gain_settings;
using test::make_context;

// The re-registration as a plain loop over the nodes, written from the rule:
// cell centres (k + 0.5) * len / n - 0.5, nodes at i * (len - 1) / n.
std::vector<uint16_t> plain_registration(const std::vector<uint16_t>& g, int cols, int rows,
                                         int width, int height) {
    struct axis {
        int i0, i1;
        float f;
    };
    auto along = [](int i, int n, int len) -> axis {
        if (n == 1) return {0, 0, 0.0f};
        const float k = ((float)i * (float)(len - 1) + 0.5f * (float)n) / (float)len - 0.5f;
        int i0 = 0;
        if (!(k < 0.0f)) i0 = std::min((int)k, n - 2);
        return {i0, i0 + 1, k - (float)i0};
    };
    std::vector<uint16_t> out(g.size());
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            const axis x = along(c, cols, width);
            const axis y = along(r, rows, height);
            auto at = [&](int rr, int cc) { return (float)g[(size_t)rr * cols + cc]; };
            const float a = at(y.i0, x.i0) + (at(y.i0, x.i1) - at(y.i0, x.i0)) * x.f;
            const float b = at(y.i1, x.i0) + (at(y.i1, x.i1) - at(y.i1, x.i0)) * x.f;
            const float v = a + (b - a) * y.f;
            const double t = std::trunc((double)v + 0.5);
            out[(size_t)r * cols + c] = (uint16_t)(t > 65535.0 ? 65535.0 : (t < 0.0 ? 0.0 : t));
        }
    }
    return out;
}

TEST(GainRegistration, MatchesThePlainLoopBitForBit) {
    std::mt19937 rng(20261209);
    for (int trial = 0; trial < 4000; ++trial) {
        const int cols = 1 + (int)(rng() % 64);
        const int rows = 1 + (int)(rng() % (256 / cols));
        // Images from one sample to the largest PD image side.
        const int width = 1 + (int)(rng() % (trial % 3 == 0 ? 8 : 6000));
        const int height = 1 + (int)(rng() % (trial % 3 == 1 ? 8 : 6000));
        std::vector<uint16_t> table((size_t)cols * rows);
        const bool extremes = trial % 5 == 0;  // 0 and 65535 neighbours overshoot
        for (uint16_t& v : table) v = (uint16_t)(extremes ? (rng() % 2) * 65535u : rng() % 65536u);
        const std::vector<uint16_t> expected = plain_registration(table, cols, rows, width, height);
        uint16_t scratch[256];
        register_to_gain_nodes(table.data(), (uint16_t)cols, (uint16_t)rows, (uint16_t)width,
                               (uint16_t)height, scratch);
        ASSERT_EQ(table, expected)
            << cols << " x " << rows << " cells over " << width << " x " << height;
    }
}

// A flat field: the left phase falls linearly from 1.1 to 0.9 of the level
// along the layout's split axis and the right phase rises the same way.
constexpr uint16_t kBlack = 64;
constexpr float kLevel = 3000.0f;
uint16_t shaded(float t, bool first) {
    const float s = 0.1f - 0.2f * t;
    return (uint16_t)(kBlack + kLevel * (1.0f + (first ? s : -s)));
}

sensor_cfg block_layout(uint16_t width, uint16_t height) {
    sensor_cfg cfg;
    std::memset(&cfg, 0, sizeof cfg);
    cfg.image_width = width;
    cfg.image_height = height;
    cfg.black_level = kBlack;
    cfg.block_width = 8;
    cfg.block_height = 8;
    cfg.pair_count = 2;
    const uint16_t first[2] = {1, 5}, second[2] = {2, 6};
    for (int i = 0; i < 2; ++i) {
        cfg.left_x[i] = first[i];
        cfg.left_y[i] = 2;
        cfg.right_x[i] = second[i];
        cfg.right_y[i] = 2;
        cfg.v_left_x[i] = 2;
        cfg.v_left_y[i] = first[i];
        cfg.v_right_x[i] = 2;
        cfg.v_right_y[i] = second[i];
    }
    return cfg;
}

enum class layout { horizontal, vertical, dual };

struct corrected {
    std::vector<uint16_t> first, second;
    uint16_t width = 0, height = 0;
};

// The flat field through the layout's gain map entry point, then both PD
// images corrected by the library's own application of that map.
corrected correct_flat_field(layout kind, int8_t cols, int8_t rows) {
    context_ptr ctx = make_context(gain_settings(rows, cols));
    gainmap map{};
    const gain_limits limits{65535, 0, 65535, 0};
    corrected out;
    const uint16_t* table_first = map.left;
    const uint16_t* table_second = map.right;
    if (kind == layout::dual) {
        out.width = 2048;
        out.height = 128;
        const size_t n = (size_t)out.width * out.height;
        out.first.resize(n);
        out.second.resize(n);
        for (size_t i = 0; i < n; ++i) {
            const float t = (float)(i % out.width) / (float)(out.width - 1);
            out.first[i] = shaded(t, true);
            out.second[i] = shaded(t, false);
        }
        EXPECT_EQ(Orvane_get_gainmap_2pd(ctx.get(), out.first.data(), out.second.data(), out.width,
                                         out.height, kBlack, &map, &limits, 150.0f),
                  0u);
    } else {
        const bool vertical = kind == layout::vertical;
        // 1024 PD samples along the split: 16 per cell of the finest grid.
        const uint16_t width = vertical ? 256 : 4096, height = vertical ? 4096 : 256;
        const sensor_cfg cfg = block_layout(width, height);
        std::vector<uint16_t> raw((size_t)width * height);
        for (uint32_t y = 0; y < height; ++y) {
            for (uint32_t x = 0; x < width; ++x) {
                const uint32_t bx = x % 8, by = y % 8;
                const uint32_t along = vertical ? by : bx, across = vertical ? bx : by;
                const float t =
                    (float)(vertical ? y : x) / (float)((vertical ? height : width) - 1);
                uint16_t v = (uint16_t)(kBlack + kLevel);
                if (across == 2 && (along == 1 || along == 5)) v = shaded(t, true);
                if (across == 2 && (along == 2 || along == 6)) v = shaded(t, false);
                raw[(size_t)y * width + x] = v;
            }
        }
        const uint32_t status =
            vertical ? Orvane_get_gainmap_vertical(ctx.get(), raw.data(), &cfg, &map, &limits)
                     : Orvane_get_gainmap(ctx.get(), raw.data(), &cfg, &map, &limits);
        EXPECT_EQ(status, 0u);
        sensor_cfg sorted;
        (vertical ? normalize_sensor_cfg_vertical : normalize_sensor_cfg)(cfg, sorted);
        out.first.resize(raw.size());
        out.second.resize(raw.size());
        EXPECT_EQ(
            (vertical ? extract_pd_vertical : extract_pd)(
                raw.data(), sorted, out.first.data(), out.second.data(), &out.width, &out.height,
                nullptr),
            0u);
        if (vertical) {
            table_first = map.left_v;
            table_second = map.right_v;
        }
    }
    subtract_black(out.first.data(), out.width, out.height, kBlack);
    subtract_black(out.second.data(), out.width, out.height, kBlack);
    apply_gain_table(out.first.data(), out.width, out.height, table_first, map.cols, map.rows,
                     ctx->gain_cols);
    apply_gain_table(out.second.data(), out.width, out.height, table_second, map.cols, map.rows,
                     ctx->gain_cols);
    return out;
}

// Largest |first / second - 1| over the strips of one cell's span across
// the split axis (a strip averages away the 1/512 steps of the gains), up to
// the last cell's strip, where the application holds the last gain.
double worst_imbalance(const corrected& c, bool vertical, int cells) {
    const uint32_t along = vertical ? c.height : c.width;
    const uint32_t across = vertical ? c.width : c.height;
    double worst = 0.0;
    for (int cell = 0; cell + 1 < cells; ++cell) {
        const auto begin = (uint32_t)((double)cell * (along - 1) / cells);
        const auto end = (uint32_t)((double)(cell + 1) * (along - 1) / cells);
        double a = 0.0, b = 0.0;
        for (uint32_t i = begin; i < end; ++i) {
            for (uint32_t j = 0; j < across; ++j) {
                const size_t at = vertical ? (size_t)i * c.width + j : (size_t)j * c.width + i;
                a += c.first[at];
                b += c.second[at];
            }
        }
        worst = std::max(worst, std::fabs(a / b - 1.0));
    }
    return worst;
}

TEST(GainRegistration, OppositeShadingIsBalancedOnEveryLayout) {
    struct grid_case {
        layout kind;
        int8_t cols, rows;
        double limit;  // largest imbalance left by the map
    };
    const grid_case cases[] = {
        // 1.3% (16 cells) and 0.5% (64 cells) with the cell averages.
        {layout::horizontal, 16, 12, 0.002},
        {layout::horizontal, 64, 4, 0.002},
        {layout::dual, 16, 12, 0.002},
        {layout::dual, 64, 4, 0.002},
        {layout::vertical, 12, 16, 0.002},
        {layout::vertical, 4, 64, 0.002},
        // On a 2 x 2 grid the bilinear gains limit the balance (cell
        // averages read at the cell starts left 10.5% here).
        {layout::horizontal, 2, 2, 0.006},
        {layout::vertical, 2, 2, 0.006},
        {layout::dual, 2, 2, 0.006},
    };
    for (const grid_case& g : cases) {
        const bool vertical = g.kind == layout::vertical;
        SCOPED_TRACE(testing::Message()
                     << int(g.kind) << ": " << int(g.cols) << " x " << int(g.rows));
        const corrected c = correct_flat_field(g.kind, g.cols, g.rows);
        EXPECT_LT(worst_imbalance(c, vertical, vertical ? g.rows : g.cols), g.limit);
    }
}

}  // namespace
}  // namespace orvane
