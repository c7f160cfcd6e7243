#include "pipeline/layout_calls.h"

#include <stdexcept>

namespace orvane_tool {

context::context(const cal_settings& settings) : ctx_(Orvane_create(&settings)) {
    if (!ctx_) throw std::runtime_error("Orvane_create failed (out of memory?)");
}

context::~context() { Orvane_destroy(ctx_); }

namespace {

void writable_images(const frame& f, frame& scratch) {
    if (&f == &scratch) return;
    scratch.left = f.left;
    scratch.right = f.right;
}

int32_t width_of(const capture_set& cs) { return static_cast<int32_t>(cs.width); }
int32_t height_of(const capture_set& cs) { return static_cast<int32_t>(cs.height); }

const layout_calls kHorizontal = {
    "Orvane_get_gainmap",
    "Orvane_add_raw",
    "Orvane_get_raw_pd",
    "Orvane_get_calibration_block",
    [](cal_context* ctx, const capture_set& cs, gainmap* out) {
        return Orvane_get_gainmap(ctx, cs.flat.raw.data(), &cs.cfg, out, &cs.limits);
    },
    [](cal_context* ctx, int32_t index, const capture_set& cs, const frame& f, frame&,
       const gainmap& gains) {
        return Orvane_add_raw(ctx, index, f.lens_position, f.raw.data(), &cs.cfg, &gains);
    },
    [](cal_context* ctx, const capture_set& cs, const frame& f, frame&, const gainmap& gains,
       pd_map* out) { return Orvane_get_raw_pd(ctx, f.raw.data(), &cs.cfg, &gains, out); },
    Orvane_get_calibration_block,
};

const layout_calls kVertical = {
    "Orvane_get_gainmap_vertical",
    "Orvane_add_raw_vertical",
    nullptr,
    "Orvane_get_calibration_block_vertical",
    [](cal_context* ctx, const capture_set& cs, gainmap* out) {
        return Orvane_get_gainmap_vertical(ctx, cs.flat.raw.data(), &cs.cfg, out, &cs.limits);
    },
    [](cal_context* ctx, int32_t index, const capture_set& cs, const frame& f, frame&,
       const gainmap& gains) {
        return Orvane_add_raw_vertical(ctx, index, f.lens_position, f.raw.data(), &cs.cfg,
                                       &gains);
    },
    nullptr,
    Orvane_get_calibration_block_vertical,
};

const layout_calls kDual = {
    "Orvane_get_gainmap_2pd",
    "Orvane_add_raw_2pd",
    "Orvane_get_raw_pd_2pd",
    "Orvane_get_calibration_block",
    [](cal_context* ctx, const capture_set& cs, gainmap* out) {
        return Orvane_get_gainmap_2pd(ctx, cs.flat.left.data(), cs.flat.right.data(),
                                      width_of(cs), height_of(cs), cs.black_level, out, &cs.limits,
                                      static_cast<float>(cs.flat.lens_position));
    },
    [](cal_context* ctx, int32_t index, const capture_set& cs, const frame& f, frame& scratch,
       const gainmap& gains) {
        writable_images(f, scratch);
        return Orvane_add_raw_2pd(ctx, index, f.lens_position, scratch.left.data(),
                                  scratch.right.data(), width_of(cs), height_of(cs),
                                  cs.black_level, &gains, static_cast<float>(f.lens_position));
    },
    [](cal_context* ctx, const capture_set& cs, const frame& f, frame& scratch,
       const gainmap& gains, pd_map* out) {
        writable_images(f, scratch);
        return Orvane_get_raw_pd_2pd(ctx, scratch.left.data(), scratch.right.data(),
                                     width_of(cs), height_of(cs), cs.black_level, &gains, out);
    },
    Orvane_get_calibration_block,
};

}  // namespace

const layout_calls& calls_of(layout kind) {
    switch (kind) {
        case layout::vertical:
            return kVertical;
        case layout::dual:
            return kDual;
        default:
            return kHorizontal;
    }
}

}  // namespace orvane_tool
