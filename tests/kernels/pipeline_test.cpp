// Whole-pipeline comparison: every entry point, on rendered lens sweeps of
// all three layouts, gives the same statuses, outputs, printed diagnostics
// and calibration state with the vector kernels as with ORVANE_CPU=scalar.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "bench/bar_chart.h"
#include "context/context.h"
#include "kernels/kernels.h"

namespace {

struct context_deleter {
    void operator()(cal_context* ctx) const { Orvane_destroy(ctx); }
};
using context_ptr = std::unique_ptr<cal_context, context_deleter>;

// A context on the kernels ORVANE_CPU=cpu chooses (the best ones for
// nullptr), whatever the caller's environment says; the environment is
// restored afterwards.
context_ptr create(const cal_settings& s, const char* cpu) {
    const char* before = std::getenv("ORVANE_CPU");
    const std::string saved = before != nullptr ? before : "";
    if (cpu != nullptr) {
        setenv("ORVANE_CPU", cpu, 1);
    } else {
        unsetenv("ORVANE_CPU");
    }
    context_ptr ctx(Orvane_create(&s));
    if (before != nullptr) {
        setenv("ORVANE_CPU", saved.c_str(), 1);
    } else {
        unsetenv("ORVANE_CPU");
    }
    return ctx;
}

enum class layout { dual, horizontal, vertical };

struct variant {
    const char* name;
    uint8_t abs_sum;
    uint8_t tapered;
    int8_t rows;
    int8_t cols;
    float margin;
};

cal_settings settings_of(const variant& v) {
    cal_settings s{};
    s.focus_abs_sum = v.abs_sum;
    s.focus_tapered = v.tapered;
    s.gain_rows = 13;
    s.gain_cols = 17;
    s.gain_shift = 9;
    s.win_rows = v.rows;
    s.win_cols = v.cols;
    s.win_margin = v.margin;
    s.dcc_shift = 10;
    const float taps[5] = {1.0f / 16, 4.0f / 16, 6.0f / 16, 4.0f / 16, 1.0f / 16};
    std::memcpy(s.filter_taps, taps, sizeof taps);
    s.filter_tap_count = 5;
    s.sweep_frames = 12;
    s.max_shift = 16;
    s.trim_frames = 1;
    s.min_pd_range = 4;
    for (float& l : s.dcc_dev_limit) l = 0.05f;
    s.residual_limit = 0.02f;
    s.pd_pitch_2pd = 1;
    s.lens_min = 0.0f;
    s.lens_max = 1023.0f;
    return s;
}

// 16-bit levels, bars 48 pixels apart, clipped and black pixels.
constexpr bar_chart::style kChart = {48.0, 5.0, 0.6, 16, 65535, true};

struct sweep_output {
    std::vector<uint32_t> statuses;
    std::vector<std::vector<uint16_t>> images;  // host images after dual calls
    std::vector<uint8_t> records;               // gain map, pd maps, DCC map
    std::vector<uint8_t> state;
    std::string printed;
};

template <typename T>
void append(std::vector<uint8_t>& out, const T& rec) {
    const auto* p = reinterpret_cast<const uint8_t*>(&rec);
    out.insert(out.end(), p, p + sizeof rec);
}

// Every kernel table this machine runs, each with the ORVANE_CPU value that
// chooses it.
struct table_choice {
    const char* cpu;
    const orvane::kernel_table* table;
};

std::vector<table_choice> vector_choices() {
    std::vector<table_choice> c;
    if (const auto* t = orvane::avx2_kernels()) c.push_back({"avx2", t});
    if (const auto* t = orvane::avx512_kernels()) c.push_back({nullptr, t});
    return c;
}

sweep_output run(const variant& v, layout kind, uint32_t w, uint32_t h, table_choice kernels,
                 bool featureless) {
    const cal_settings s = settings_of(v);
    context_ptr ctx = create(s, kernels.cpu);
    EXPECT_EQ(ctx->kernels, kernels.table);
    sweep_output out;
    bar_chart::renderer rd(w, h, kChart, 12345);
    const bool vertical = kind == layout::vertical;
    const gain_limits limits{3 * 512, 100, 4000, 8};
    gainmap map{};

    sensor_cfg cfg{};
    cfg.image_width = static_cast<uint16_t>(w);
    cfg.image_height = static_cast<uint16_t>(h);
    cfg.black_level = 64;
    cfg.block_width = 16;
    cfg.block_height = 16;
    cfg.margin_x = 8;
    cfg.margin_y = 4;
    cfg.pair_count = 4;
    for (uint16_t k = 0; k < 4; ++k) {
        cfg.left_x[k] = static_cast<uint16_t>(1 + 4 * k);
        cfg.left_y[k] = 3;
        cfg.right_x[k] = static_cast<uint16_t>(2 + 4 * k);
        cfg.right_y[k] = 3;
        cfg.v_left_x[k] = 3;
        cfg.v_left_y[k] = static_cast<uint16_t>(2 + 4 * k);
        cfg.v_right_x[k] = 3;
        cfg.v_right_y[k] = static_cast<uint16_t>(3 + 4 * k);
    }

    // Frame k < 0 is the flat field; the lens crosses focus between frames 5 and 6.
    auto content_of = [&](int k) {
        return featureless ? bar_chart::content::featureless
                           : (k < 0 ? bar_chart::content::flat_field : bar_chart::content::chart);
    };
    auto render_dual = [&](int k, std::vector<uint16_t>& a, std::vector<uint16_t>& b) {
        rd.dual(k < 0 ? 0.0 : (k - 5.5) * 2.0, content_of(k), a, b);
    };
    auto render_raw = [&](int k, std::vector<uint16_t>& raw) {
        rd.raw(k < 0 ? 0.0 : (k - 5.5) * 2.0, content_of(k), cfg, vertical, raw);
    };

    testing::internal::CaptureStdout();
    std::vector<uint16_t> a, b;
    if (kind == layout::dual) {
        render_dual(-1, a, b);
        out.statuses.push_back(Orvane_get_gainmap_2pd(ctx.get(), a.data(), b.data(), int32_t(w), int32_t(h), 64, &map, &limits, 0.0f));
    } else {
        render_raw(-1, a);
        out.statuses.push_back(vertical ? Orvane_get_gainmap_vertical(ctx.get(), a.data(), &cfg, &map, &limits)
                                        : Orvane_get_gainmap(ctx.get(), a.data(), &cfg, &map, &limits));
    }
    append(out.records, map);
    for (int k = 0; k < 12; ++k) {
        const int32_t lens = 100 + 50 * k;
        if (kind == layout::dual) {
            render_dual(k, a, b);
            out.statuses.push_back(Orvane_add_raw_2pd(ctx.get(), k, lens, a.data(), b.data(), int32_t(w), int32_t(h), 64, &map, float(lens)));
            out.images.push_back(a);
            out.images.push_back(b);
            if (k == 4) {
                render_dual(k, a, b);
                pd_map pm{};
                out.statuses.push_back(Orvane_get_raw_pd_2pd(ctx.get(), a.data(), b.data(), int32_t(w), int32_t(h), 64, &map, &pm));
                append(out.records, pm);
                out.images.push_back(a);
                // Readouts overwrite slot 1; measure frame 1 again.
                render_dual(1, a, b);
                out.statuses.push_back(Orvane_add_raw_2pd(ctx.get(), 1, 150, a.data(), b.data(), int32_t(w), int32_t(h), 64, &map, 150.0f));
            }
        } else {
            render_raw(k, a);
            out.statuses.push_back(vertical ? Orvane_add_raw_vertical(ctx.get(), k, lens, a.data(), &cfg, &map)
                                            : Orvane_add_raw(ctx.get(), k, lens, a.data(), &cfg, &map));
            if (!vertical && k == 4) {
                pd_map pm{};
                out.statuses.push_back(Orvane_get_raw_pd(ctx.get(), a.data(), &cfg, &map, &pm));
                append(out.records, pm);
                render_raw(1, a);
                out.statuses.push_back(Orvane_add_raw(ctx.get(), 1, 150, a.data(), &cfg, &map));
            }
        }
    }
    dccmap dm{};
    out.statuses.push_back(Orvane_get_dccmap(ctx.get(), &dm, nullptr));
    append(out.records, dm);
    out.printed = testing::internal::GetCapturedStdout();
    const auto* p = reinterpret_cast<const uint8_t*>(&ctx->state);
    out.state.assign(p, p + sizeof ctx->state);
    return out;
}

struct pipeline_case {
    variant v;
    layout kind;
    uint32_t w, h;
    bool featureless;
};

class Pipeline : public ::testing::TestWithParam<pipeline_case> {};

TEST_P(Pipeline, VectorKernelsGiveTheScalarResults) {
    const std::vector<table_choice> tables = vector_choices();
    if (tables.empty()) GTEST_SKIP() << "no vector kernels on this CPU";
    const pipeline_case& c = GetParam();
    const sweep_output off =
        run(c.v, c.kind, c.w, c.h, {"scalar", &orvane::scalar_kernels()}, c.featureless);
    for (const table_choice& t : tables) {
        SCOPED_TRACE(t.table->name);
        const sweep_output on = run(c.v, c.kind, c.w, c.h, t, c.featureless);
        EXPECT_EQ(on.statuses, off.statuses);
        EXPECT_TRUE(on.records == off.records);
        EXPECT_TRUE(on.images == off.images);
        EXPECT_EQ(on.printed, off.printed);
        ASSERT_EQ(on.state.size(), off.state.size());
        for (size_t i = 0; i < on.state.size(); ++i) {
            ASSERT_EQ(on.state[i], off.state[i]) << "state byte " << i;
        }
    }
    // The sweep is a real one: windows measured positive focus values.
    if (!c.featureless) {
        int positive = 0;
        for (int k = 0; k < 12; ++k) {
            float focus[144];
            std::memcpy(focus,
                        off.state.data() + offsetof(orvane::cal_state, slots) +
                            k * sizeof(orvane::frame_slot) + offsetof(orvane::frame_slot, focus),
                        sizeof focus);
            for (float f : focus) positive += f > 0.0f ? 1 : 0;
        }
        EXPECT_GT(positive, 0);
    }
}

const variant kLine{"line", 0, 0, 6, 8, 0.25f};
const variant kLineNoMargin{"line_no_margin", 0, 0, 3, 4, 0.0f};
const variant kAbs{"abs", 1, 0, 5, 7, 0.25f};
const variant kTapered{"tapered", 0, 1, 6, 8, 0.25f};

const pipeline_case kCases[] = {
    {kLine, layout::dual, 640, 480, false},
    {kLine, layout::horizontal, 1280, 960, false},
    {kLine, layout::vertical, 1280, 960, false},
    {kLineNoMargin, layout::dual, 333, 251, false},
    {kAbs, layout::dual, 517, 389, false},
    {kAbs, layout::horizontal, 1024, 768, false},
    {kTapered, layout::dual, 400, 300, false},
    {kLine, layout::dual, 320, 240, true},
    {kLine, layout::horizontal, 640, 480, true},
};

std::string name_of(const pipeline_case& c) {
    const char* k[] = {"dual", "horizontal", "vertical"};
    return std::string(c.v.name) + "_" + k[static_cast<int>(c.kind)] + "_" + std::to_string(c.w) +
           (c.featureless ? "_featureless" : "");
}

std::string case_name(const testing::TestParamInfo<pipeline_case>& info) {
    return name_of(info.param);
}

// ctest's test names carry the printed parameter: the name, not its bytes.
void PrintTo(const pipeline_case& c, std::ostream* os) { *os << name_of(c); }

INSTANTIATE_TEST_SUITE_P(Sweeps, Pipeline, ::testing::ValuesIn(kCases), case_name);

}  // namespace
