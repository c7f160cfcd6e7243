// Frame intake and PD readout: fixed pipelines over extraction, black level,
// gain correction, the PD sweep, Bayer channel detection and the focus
// measure. Every limit is checked before the first write, so a refused call
// leaves the context and the host's images as they were.
#include <cstddef>
#include <cstdint>

#include "context/context.h"
#include "context/numeric.h"
#include "gainmap/apply_fused.h"
#include "gainmap/gainmap.h"
#include "intake/focus.h"
#include "kernels/vector_kernels.h"
#include "pd/band_sums.h"
#include "pd/pd.h"
#include "sensor/sensor.h"

namespace orvane {
namespace {

constexpr uint32_t kLensOutOfRange = ORVANE_LENS_OUT_OF_RANGE;
constexpr uint32_t kLayoutUnusable = ORVANE_LAYOUT_UNUSABLE;

// Frame indices and lens positions arrive as 32-bit integers of which the
// low 16 bits count, as a signed value.
inline int16_t low16(int32_t v) {
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(v)));
}
inline uint16_t low16u(int32_t v) { return static_cast<uint16_t>(static_cast<uint32_t>(v)); }

bool frame_index_fits(int16_t frame_index) { return frame_index >= 0 && frame_index < kFrameSlots; }

// apply_gain_table reads cols x rows entries of a 256-entry table.
bool gain_map_fits(const gainmap& map) {
    const uint32_t cells = static_cast<uint32_t>(map.cols) * map.rows;
    return cells >= 1 && cells <= static_cast<uint32_t>(kMaxGainCells);
}

// An image without a row or a column fits: nothing of it is read.
bool image_fits(uint16_t width, uint16_t height) {
    return static_cast<uint32_t>(width) * height <= kImageCapacity;
}

// Quarter-size image of one Bayer channel, counted from the margins.
struct channel_plan {
    uint16_t width;
    uint16_t height;
};

bool plan_channel_image(const sensor_cfg& cfg, channel_plan& plan) {
    const int32_t w2 = (static_cast<int32_t>(cfg.image_width) - 2 * cfg.margin_x) / 2;
    const int32_t h2 = (static_cast<int32_t>(cfg.image_height) - 2 * cfg.margin_y) / 2;
    if (w2 < 0 || h2 < 0) return false;
    plan.width = static_cast<uint16_t>(w2);
    plan.height = static_cast<uint16_t>(h2);
    return image_fits(plan.width, plan.height);
}

// Whether two images of `count` samples share no sample: the vector passes
// read ahead of what they write, and the rows summed as they are written
// would be rewritten by the other image, so both need separate images.
bool images_apart(const uint16_t* a, const uint16_t* b, size_t count) {
    const auto x = reinterpret_cast<uintptr_t>(a);
    const auto y = reinterpret_cast<uintptr_t>(b);
    const uintptr_t bytes = count * sizeof(uint16_t);
    return x + bytes <= y || y + bytes <= x;
}

// The context's band store `slot` begun for the window grid on `image`, or
// nullptr when the grid's bands cannot be summed that way.
band_sums_store* window_bands(cal_context& ctx, int slot, const uint16_t* image, uint16_t width,
                              uint16_t height) {
    band_sums_store& store = ctx.bands[slot];
    const bool ok = begin_bands(store, image, width, height, count_u16(ctx.settings.win_rows),
                                count_u16(ctx.settings.win_cols), ctx.settings.win_margin);
    return ok ? &store : nullptr;
}

// Where row r of the channel image starts in the raw frame, and the step
// between its rows.
row_source channel_rows(const uint16_t* raw, const sensor_cfg& cfg) {
    const uint32_t phase = static_cast<uint32_t>(cfg.bayer_channel - 1);
    const size_t cb = phase & 1u;
    const size_t rb = (phase >> 1) & 1u;
    const size_t stride = cfg.image_width;
    return {raw + (cfg.margin_y + rb) * stride + cfg.margin_x + cb, 2 * stride};
}

void averaged_table(const uint16_t* a, const uint16_t* b, uint16_t* out) {
    for (int i = 0; i < kMaxGainCells; ++i) {
        out[i] = static_cast<uint16_t>((static_cast<uint32_t>(a[i]) + b[i]) / 2);
    }
}

void write_pd_map(const cal_context& ctx, pd_map& out) {
    out.cols = ctx.state.win_cols;
    out.rows = ctx.state.win_rows;
    const uint32_t count = static_cast<uint32_t>(out.cols) * out.rows;
    const frame_slot& slot = ctx.state.slots[1];
    for (uint32_t w = 0; w < count; ++w) out.pd[w] = slot.pd[w];
}

// The two layouts of a raw frame differ only in these operations and buffers.
struct raw_layout {
    bool vertical;
    void (*normalize)(const sensor_cfg&, sensor_cfg&);
    uint16_t (*pitch)(const sensor_cfg&);
    uint32_t (*extract)(const uint16_t*, const sensor_cfg&, uint16_t*, uint16_t*, uint16_t*,
                        uint16_t*, const raw_rows_hook*);
    uint32_t (*sweep)(cal_context&, int16_t, int32_t, const uint16_t*, const uint16_t*, uint16_t,
                      uint16_t, const gainmap&, uint16_t);
    int32_t (*detect)(const uint16_t*, sensor_cfg&);
};

constexpr raw_layout kHorizontal = {
    false, normalize_sensor_cfg, compute_pd_pitch, extract_pd, pd_sweep, detect_bayer_channel,
};
constexpr raw_layout kVertical = {
    true,
    normalize_sensor_cfg_vertical,
    compute_pd_pitch_vertical,
    extract_pd_vertical,
    pd_sweep_vertical,
    detect_bayer_channel_vertical,
};

// A raw frame prepared for its PD sweep: normalised copy, PD image size and
// pitch, all limits checked.
struct raw_frame {
    sensor_cfg cfg;
    uint16_t width;
    uint16_t height;
    uint16_t pitch;
    channel_plan channel;
};

// 0 when the call may go on; 4 or the hard failure otherwise. Writes nothing
// outside `frame`.
uint32_t prepare_raw(const cal_context& ctx, const raw_layout& layout, const sensor_cfg& host_cfg,
                     const gainmap& map, int16_t frame_index, bool with_focus, raw_frame& frame) {
    layout.normalize(host_cfg, frame.cfg);
    if (frame.cfg.pair_count == 0) return kLayoutUnusable;
    const uint32_t status = pd_layout_size(frame.cfg, layout.vertical, &frame.width, &frame.height);
    if (status != 0) return status;

    frame.pitch = layout.pitch(frame.cfg);
    if (!frame_index_fits(frame_index) || !gain_map_fits(map) ||
        !pd_sweep_fits(ctx, frame_index, frame.width, frame.height, frame.pitch, layout.vertical,
                       map)) {
        return kHardFailure;
    }
    if (with_focus) {
        if (!plan_channel_image(frame.cfg, frame.channel) ||
            !focus_sweep_fits(ctx, frame_index, frame.channel.width, frame.channel.height)) {
            return kHardFailure;
        }
    }
    return 0;
}

// The channel image's pass, run along with the extraction: after each block
// row, the channel rows whose raw rows have been read, while those are in
// cache.
struct channel_pass {
    gain_pass& pass;
    uint32_t first_row;  // raw row of channel row 0

    static void read(void* user, uint32_t end) {
        const auto* c = static_cast<const channel_pass*>(user);
        if (end > c->first_row) c->pass.run_until((end - c->first_row + 1) / 2);
    }
};

// Extraction, black level and gains into the layout's two PD images. A
// channel pass runs along with the extraction and is finished before the
// PD images' gains, which plan the shared gain columns for their own width.
uint32_t correct_pd_images(const uint16_t* raw, const raw_frame& frame, const raw_layout& layout,
                           const gainmap& map, uint16_t* first, uint16_t* second,
                           gain_columns& columns, const kernel_table& kernels,
                           channel_pass* channel = nullptr) {
    uint16_t width = 0;
    uint16_t height = 0;
    const raw_rows_hook hook{channel_pass::read, channel};
    const uint32_t status = layout.extract(raw, frame.cfg, first, second, &width, &height,
                                           channel != nullptr ? &hook : nullptr);
    if (channel != nullptr) channel->pass.run_until(UINT32_MAX);
    if (status != 0) return status;
    const uint16_t* table_first = layout.vertical ? map.left_v : map.left;
    const uint16_t* table_second = layout.vertical ? map.right_v : map.right;
    const uint16_t black = frame.cfg.black_level;
    // The context's two PD images are separate buffers.
    black_and_gain_pair(kernels, first, second, width, height, black, table_first, table_second,
                        map.cols, map.rows, columns);
    return 0;
}

uint32_t add_raw(cal_context* ctx, int32_t frame_index, int32_t lens_position, const uint16_t* raw,
                 const sensor_cfg* host_cfg, const gainmap* map, const raw_layout& layout) {
    if (ctx == nullptr || raw == nullptr || host_cfg == nullptr || map == nullptr) {
        return kHardFailure;
    }
    const int16_t index = low16(frame_index);
    raw_frame frame{};
    const uint32_t ready = prepare_raw(*ctx, layout, *host_cfg, *map, index, true, frame);
    if (ready != 0) return ready;

    uint16_t* first = layout.vertical ? ctx->img_left_v : ctx->img_left;
    uint16_t* second = layout.vertical ? ctx->img_right_v : ctx->img_right;
    const kernel_table& kernels = context_kernels(*ctx);
    // Only the frame's pixels and the layout choose the channel, so it is
    // known before the extraction (the layout was checked by prepare_raw,
    // so the extraction cannot fail now).
    if (layout.detect(raw, frame.cfg) != 0) {
        // Only a failed channel detection skips the focus measure, after
        // the PD sweep. The sweep's flags are those of its last window
        // alone: letting them skip the measure would leave every window's
        // focus value of this frame stale.
        const uint32_t extracted =
            correct_pd_images(raw, frame, layout, *map, first, second, ctx->gain_cols, kernels);
        if (extracted != 0) return extracted;
        layout.sweep(*ctx, index, lens_position, first, second, frame.width, frame.height, *map,
                     frame.pitch);
        return kHardFailure;
    }

    // The channel image ends where the first PD image would be, so it is
    // built there while the first PD image goes to the other layout's
    // (scratch in this call). It is gathered, black-corrected and
    // gain-corrected (the mean of the two tables) row by row as the
    // extraction passes its raw rows, each finished row summed into the
    // focus windows' bands.
    uint16_t* channel = first;
    first = layout.vertical ? ctx->img_left : ctx->img_left_v;
    uint16_t table[kMaxGainCells];
    averaged_table(layout.vertical ? map->left_v : map->left,
                   layout.vertical ? map->right_v : map->right, table);
    const row_source source = channel_rows(raw, frame.cfg);
    band_sums_store* bands =
        window_bands(*ctx, kBandsFocus, channel, frame.channel.width, frame.channel.height);
    gain_pass pass(kernels, channel, frame.channel.width, frame.channel.height,
                   frame.cfg.black_level, table, map->cols, map->rows, ctx->gain_cols, &source,
                   bands);
    channel_pass rows{pass, static_cast<uint32_t>(frame.cfg.margin_y) +
                                ((static_cast<uint32_t>(frame.cfg.bayer_channel - 1) >> 1) & 1u)};
    const uint32_t extracted =
        correct_pd_images(raw, frame, layout, *map, first, second, ctx->gain_cols, kernels, &rows);
    if (extracted != 0) return extracted;
    ctx->state.bayer_channel = static_cast<uint8_t>(frame.cfg.bayer_channel);

    const uint32_t swept = layout.sweep(*ctx, index, lens_position, first, second, frame.width,
                                        frame.height, *map, frame.pitch);
    return swept | focus_sweep(*ctx, index, channel, frame.channel.width, frame.channel.height);
}

// Limits of the dual-photodiode calls; the images are the host's.
bool dual_fits(const cal_context& ctx, int16_t frame_index, uint16_t width, uint16_t height,
               const gainmap& map, bool with_focus) {
    const uint16_t pitch = count_u16(ctx.settings.pd_pitch_2pd);
    if (!frame_index_fits(frame_index) || !image_fits(width, height) || pitch < 1 ||
        !gain_map_fits(map) || !pd_sweep_fits(ctx, frame_index, width, height, pitch, false, map)) {
        return false;
    }
    return !with_focus || focus_sweep_fits(ctx, frame_index, width, height);
}

void correct_dual_images(uint16_t* left, uint16_t* right, uint16_t width, uint16_t height,
                         uint16_t black, const gainmap& map, gain_columns& columns,
                         const kernel_table& kernels, cal_context& ctx) {
    // The PD sweep's column sums are taken while the rows are written,
    // unless the two images share memory (then the second pass rewrites
    // the first image).
    const bool apart = images_apart(left, right, static_cast<size_t>(width) * height);
    band_sums_store* first = apart ? window_bands(ctx, kBandsFirst, left, width, height) : nullptr;
    band_sums_store* second = apart ? window_bands(ctx, kBandsSecond, right, width, height) : nullptr;
    black_and_gain(kernels, left, width, height, black, map.left, map.cols, map.rows, columns,
                   nullptr, first);
    black_and_gain(kernels, right, width, height, black, map.right, map.cols, map.rows, columns,
                   nullptr, second);
}

}  // namespace
}  // namespace orvane

using namespace orvane;

extern "C" {

ORVANE_API uint32_t Orvane_add_raw(cal_context* ctx, int32_t frame_index, int32_t lens_position,
                                   const uint16_t* raw, const sensor_cfg* cfg, const gainmap* map) {
    return add_raw(ctx, frame_index, lens_position, raw, cfg, map, kHorizontal);
}

ORVANE_API uint32_t Orvane_add_raw_vertical(cal_context* ctx, int32_t frame_index,
                                            int32_t lens_position, const uint16_t* raw,
                                            const sensor_cfg* cfg, const gainmap* map) {
    return add_raw(ctx, frame_index, lens_position, raw, cfg, map, kVertical);
}

ORVANE_API uint32_t Orvane_add_raw_2pd(cal_context* ctx, int32_t frame_index, int32_t lens_position,
                                       uint16_t* left, uint16_t* right, int32_t width,
                                       int32_t height, int32_t black_level, const gainmap* map,
                                       float lens_position_f) {
    if (ctx == nullptr || left == nullptr || right == nullptr || map == nullptr) {
        return kHardFailure;
    }
    const int16_t index = low16(frame_index);
    const uint16_t w = low16u(width);
    const uint16_t h = low16u(height);
    if (!dual_fits(*ctx, index, w, h, *map, true)) return kHardFailure;

    // The lens check only affects the result; the frame is measured anyway.
    const uint32_t lens =
        (lens_position_f < ctx->settings.lens_min || lens_position_f > ctx->settings.lens_max)
            ? kLensOutOfRange
            : 0u;
    const size_t count = static_cast<size_t>(w) * h;
    const kernel_table& kernels = context_kernels(*ctx);
    const bool apart = images_apart(left, right, count);
    if (apart) {
        band_sums_store* first = window_bands(*ctx, kBandsFirst, left, w, h);
        band_sums_store* second = window_bands(*ctx, kBandsSecond, right, w, h);
        if (first != nullptr && second != nullptr) {
            // With both images' bands summed the PD sweep reads no image, so
            // the mean image replaces the corrected left one row by row,
            // while the rows are in cache.
            band_sums_store* mean_bands = window_bands(*ctx, kBandsFocus, left, w, h);
            correct_pair_and_mean(kernels, left, right, w, h, low16u(black_level), map->left,
                                  map->right, map->cols, map->rows, ctx->gain_cols, *first,
                                  *second, mean_bands);
            const uint32_t swept = pd_sweep(*ctx, index, lens_position, left, right, w, h, *map,
                                            count_u16(ctx->settings.pd_pitch_2pd));
            return lens | swept | focus_sweep(*ctx, index, left, w, h);
        }
    }
    correct_dual_images(left, right, w, h, low16u(black_level), *map, ctx->gain_cols, kernels,
                        *ctx);
    const uint32_t swept = pd_sweep(*ctx, index, lens_position, left, right, w, h, *map,
                                    count_u16(ctx->settings.pd_pitch_2pd));

    // The focus measure runs on the mean of the two corrected images.
    if (apart) {
        // Row by row, each finished row summed into the focus windows' bands.
        band_sums_store* bands = window_bands(*ctx, kBandsFocus, left, w, h);
        for (uint32_t y = 0; y < h; ++y) {
            kernels.mean_image(left + size_t(y) * w, right + size_t(y) * w, w);
            if (bands != nullptr) add_row_to_bands(kernels, *bands, y);
        }
    } else {
        // Overlapping images: only the scalar kernel's one-sample-at-a-time
        // order defines which of the overlapping samples are read already
        // averaged.
        scalar_kernels().mean_image(left, right, count);
    }
    const uint32_t focus = focus_sweep(*ctx, index, left, w, h);
    return lens | swept | focus;
}

ORVANE_API uint32_t Orvane_get_raw_pd(cal_context* ctx, const uint16_t* raw, const sensor_cfg* cfg,
                                      const gainmap* map, pd_map* out) {
    if (ctx == nullptr || raw == nullptr || cfg == nullptr || map == nullptr || out == nullptr) {
        return kHardFailure;
    }
    // Readouts measure into slot 1 at lens position 0.
    raw_frame frame{};
    const uint32_t ready = prepare_raw(*ctx, kHorizontal, *cfg, *map, 1, false, frame);
    if (ready != 0) return ready;
    const uint32_t extracted = correct_pd_images(raw, frame, kHorizontal, *map, ctx->img_left,
                                                 ctx->img_right, ctx->gain_cols,
                                                 context_kernels(*ctx));
    if (extracted != 0) return extracted;
    const uint32_t swept = pd_sweep(*ctx, 1, 0, ctx->img_left, ctx->img_right, frame.width,
                                    frame.height, *map, frame.pitch);
    write_pd_map(*ctx, *out);
    return swept;
}

ORVANE_API uint32_t Orvane_get_raw_pd_2pd(cal_context* ctx, uint16_t* left, uint16_t* right,
                                          int32_t width, int32_t height, int32_t black_level,
                                          const gainmap* map, pd_map* out) {
    if (ctx == nullptr || left == nullptr || right == nullptr || map == nullptr || out == nullptr) {
        return kHardFailure;
    }
    const uint16_t w = low16u(width);
    const uint16_t h = low16u(height);
    if (!dual_fits(*ctx, 1, w, h, *map, false)) return kHardFailure;
    correct_dual_images(left, right, w, h, low16u(black_level), *map, ctx->gain_cols,
                        context_kernels(*ctx), *ctx);
    const uint32_t swept =
        pd_sweep(*ctx, 1, 0, left, right, w, h, *map, count_u16(ctx->settings.pd_pitch_2pd));
    write_pd_map(*ctx, *out);
    return swept;
}

}  // extern "C"
