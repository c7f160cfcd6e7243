// Per-frame cost of the intake entry points on production-size frames:
// a 12 MP dual-photodiode pair and a 12 MP raw frame with sparse PD pairs.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "orvane.h"

namespace {

cal_settings production_settings() {
    cal_settings s{};
    s.gain_rows = 13;
    s.gain_cols = 17;
    s.gain_shift = 9;
    s.win_rows = 6;
    s.win_cols = 8;
    s.dcc_shift = 4;
    const float taps[5] = {0.0625f, 0.25f, 0.375f, 0.25f, 0.0625f};
    std::memcpy(s.filter_taps, taps, sizeof taps);
    s.filter_tap_count = 5;
    s.sweep_frames = 9;
    s.max_shift = 16;
    s.trim_frames = 1;
    s.win_margin = 0.0f;
    s.focus_abs_sum = 1;
    s.pd_pitch_2pd = 1;
    s.lens_min = 0.0f;
    s.lens_max = 1023.0f;
    return s;
}

gainmap flat_gainmap() {
    gainmap m{};
    m.version = 4;
    m.cols = 17;
    m.rows = 13;
    for (int i = 0; i < 256; ++i) m.left[i] = m.right[i] = m.left_v[i] = m.right_v[i] = 520;
    return m;
}

std::vector<uint16_t> bars(int width, int height, int shift) {
    std::vector<uint16_t> img(static_cast<size_t>(width) * static_cast<size_t>(height));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            img[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)] =
                static_cast<uint16_t>(300 + 200 * std::sin((x + shift) * 0.35) + (y % 7));
    return img;
}

void BM_AddRaw2pd_12MP(benchmark::State& state) {
    const int w = 4000, h = 3000;
    const auto settings = production_settings();
    const auto map = flat_gainmap();
    cal_context* ctx = Orvane_create(&settings);
    const auto left0 = bars(w, h, 0), right0 = bars(w, h, 2);
    auto left = left0, right = right0;
    for (auto _ : state) {
        state.PauseTiming();
        left = left0;
        right = right0;
        state.ResumeTiming();
        benchmark::DoNotOptimize(
            Orvane_add_raw_2pd(ctx, 0, 100, left.data(), right.data(), w, h, 64, &map, 100.0f));
    }
    Orvane_destroy(ctx);
}
BENCHMARK(BM_AddRaw2pd_12MP)->Unit(benchmark::kMillisecond);

void BM_AddRaw_12MP(benchmark::State& state) {
    const int w = 4000, h = 3000;
    const auto settings = production_settings();
    const auto map = flat_gainmap();
    sensor_cfg cfg{};
    cfg.image_width = w;
    cfg.image_height = h;
    cfg.black_level = 64;
    cfg.block_width = 8;
    cfg.block_height = 8;
    cfg.pair_count = 2;
    cfg.left_x[0] = 1, cfg.left_y[0] = 2, cfg.right_x[0] = 2, cfg.right_y[0] = 2;
    cfg.left_x[1] = 5, cfg.left_y[1] = 6, cfg.right_x[1] = 6, cfg.right_y[1] = 6;
    cfg.bayer_channel = 2;
    cal_context* ctx = Orvane_create(&settings);
    const auto raw = bars(w, h, 0);
    for (auto _ : state) benchmark::DoNotOptimize(Orvane_add_raw(ctx, 0, 100, raw.data(), &cfg, &map));
    Orvane_destroy(ctx);
}
BENCHMARK(BM_AddRaw_12MP)->Unit(benchmark::kMillisecond);

}  // namespace
