// Frame intake and PD readout of raw frames with arbitrary settings,
// layouts and gain maps, both layouts, then the DCC map of what was taken.
#include <cstdlib>
#include <vector>

#include "fuzz_context.h"
#include "fuzz_input.h"
#include "orvane.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_input in(data, size);
    const auto settings = in.take<cal_settings>();
    auto cfg = in.take<sensor_cfg>();
    const auto map = in.take<gainmap>();
    const auto frame_index = in.take<int32_t>();
    const auto lens = in.take<int32_t>();
    cfg.image_width = static_cast<uint16_t>(cfg.image_width % 521);
    cfg.image_height = static_cast<uint16_t>(cfg.image_height % 263);
    const size_t pixels = size_t{cfg.image_width} * cfg.image_height;
    static reused_buffer<uint16_t> raw_buf(kMaxFuzzPixels);
    uint16_t* raw = raw_buf.take(pixels);
    in.fill_samples(raw, pixels);

    cal_context* ctx = fuzz::context(settings);
    if (ctx == nullptr) return 0;
    fuzz::note(Orvane_add_raw(ctx, frame_index, lens, raw, &cfg, &map));
    fuzz::note(Orvane_add_raw_vertical(ctx, frame_index, lens, raw, &cfg, &map));
    pd_map out{};
    fuzz::note(Orvane_get_raw_pd(ctx, raw, &cfg, &map, &out));
    fuzz::note(out);
    dccmap dcc{};
    fuzz::note(Orvane_get_dccmap(ctx, &dcc, nullptr));
    fuzz::note(dcc);
    fuzz::note_context(ctx);
    return 0;
}
