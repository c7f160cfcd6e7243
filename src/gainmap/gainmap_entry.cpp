#include "gainmap/gainmap.h"
#include "sensor/sensor.h"

namespace orvane {

namespace {

constexpr uint32_t kLayoutUnusable = ORVANE_LAYOUT_UNUSABLE;
constexpr uint32_t kLensOutOfRange = ORVANE_LENS_OUT_OF_RANGE;

// Flat field of a raw frame. Every refusal (grid, layout, memory) happens
// before the PD images, the record or the context state are written.
uint32_t gainmap_from_raw(cal_context* ctx, const uint16_t* raw, const sensor_cfg* host_cfg,
                          gainmap* map, const gain_limits* limits, bool vertical) {
    if (ctx == nullptr || raw == nullptr || host_cfg == nullptr || map == nullptr ||
        limits == nullptr || !gain_grid_fits(*ctx)) {
        return kHardFailure;
    }
    sensor_cfg cfg;
    if (vertical) {
        normalize_sensor_cfg_vertical(*host_cfg, cfg);
    } else {
        normalize_sensor_cfg(*host_cfg, cfg);
    }
    if (cfg.pair_count == 0) return kLayoutUnusable;

    uint16_t width = 0;
    uint16_t height = 0;
    const uint32_t layout = pd_layout_size(cfg, vertical, &width, &height);
    if (layout != 0) return layout;
    if (width == 0 || height == 0) return kLayoutUnusable;

    resize_scratch scratch;
    if (!scratch.reserve(width, height, gain_grid_cols(*ctx), gain_grid_rows(*ctx))) {
        return kHardFailure;
    }

    uint16_t* first = vertical ? ctx->img_left_v : ctx->img_left;
    uint16_t* second = vertical ? ctx->img_right_v : ctx->img_right;
    uint16_t got_width = 0;
    uint16_t got_height = 0;
    const uint32_t status =
        vertical ? extract_pd_vertical(raw, cfg, first, second, &got_width, &got_height)
                 : extract_pd(raw, cfg, first, second, &got_width, &got_height);
    if (status != 0) return status;
    // The scratch was sized from the planned layout; a different size
    // would be an inconsistency of the extraction, not of the host's input.
    if (got_width != width || got_height != height) return kHardFailure;

    return generate_gain_tables(*ctx, first, second, width, height, cfg.black_level, *map, *limits,
                                vertical ? gain_tables::vertical : gain_tables::horizontal,
                                scratch);
}

}  // namespace

}  // namespace orvane

extern "C" {

ORVANE_API uint32_t Orvane_get_gainmap(cal_context* ctx, const uint16_t* raw, const sensor_cfg* cfg,
                                       gainmap* map, const gain_limits* limits) {
    return orvane::gainmap_from_raw(ctx, raw, cfg, map, limits, false);
}

ORVANE_API uint32_t Orvane_get_gainmap_vertical(cal_context* ctx, const uint16_t* raw,
                                                const sensor_cfg* cfg, gainmap* map,
                                                const gain_limits* limits) {
    return orvane::gainmap_from_raw(ctx, raw, cfg, map, limits, true);
}

ORVANE_API uint32_t Orvane_get_gainmap_2pd(cal_context* ctx, const uint16_t* left,
                                           const uint16_t* right, int32_t width, int32_t height,
                                           int32_t black_level, gainmap* map,
                                           const gain_limits* limits, float lens_position) {
    using namespace orvane;
    const auto w = static_cast<uint16_t>(static_cast<uint32_t>(width));
    const auto h = static_cast<uint16_t>(static_cast<uint32_t>(height));
    const auto black = static_cast<uint16_t>(static_cast<uint32_t>(black_level));
    if (ctx == nullptr || left == nullptr || right == nullptr || map == nullptr ||
        limits == nullptr || w == 0 || h == 0 || !gain_grid_fits(*ctx)) {
        return kHardFailure;
    }
    resize_scratch scratch;
    if (!scratch.reserve(w, h, gain_grid_cols(*ctx), gain_grid_rows(*ctx))) return kHardFailure;

    // NaN compares false with both limits and is not reported.
    uint32_t status = 0;
    if (lens_position < ctx->settings.lens_min || lens_position > ctx->settings.lens_max) {
        status |= kLensOutOfRange;
    }
    return status | generate_gain_tables(*ctx, left, right, w, h, black, *map, *limits,
                                         gain_tables::horizontal, scratch);
}

}  // extern "C"
