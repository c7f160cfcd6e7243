// Gain map generation from arbitrary settings, layouts, limits and frames.
#include <cstdlib>
#include <vector>

#include "fuzz_context.h"
#include "fuzz_input.h"
#include "orvane.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_input in(data, size);
    const auto settings = in.take<cal_settings>();
    auto cfg = in.take<sensor_cfg>();
    const auto limits = in.take<gain_limits>();
    cfg.image_width = static_cast<uint16_t>(cfg.image_width % 521);
    cfg.image_height = static_cast<uint16_t>(cfg.image_height % 263);
    const size_t pixels = size_t{cfg.image_width} * cfg.image_height;
    static reused_buffer<uint16_t> raw_buf(kMaxFuzzPixels);
    uint16_t* raw = raw_buf.take(pixels);
    in.fill_samples(raw, pixels);

    cal_context* ctx = fuzz::context(settings);
    if (ctx == nullptr) return 0;
    gainmap map{};
    fuzz::note(Orvane_get_gainmap(ctx, raw, &cfg, &map, &limits));
    fuzz::note(Orvane_get_gainmap_vertical(ctx, raw, &cfg, &map, &limits));
    const int32_t w = cfg.image_width / 4, h = cfg.image_height / 4;
    fuzz::note(Orvane_get_gainmap_2pd(ctx, raw, raw, w, h, cfg.black_level, &map,
                                      &limits, static_cast<float>(cfg.margin_x)));
    fuzz::note(map);
    fuzz::note_context(ctx);
    return 0;
}
