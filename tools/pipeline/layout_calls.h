// The library's entry points for each PD layout, in one table, and the owner
// of a library context: the calibration and the verification call the
// library through them.
#pragma once

#include <cstdint>

#include "capture.h"
#include "orvane.h"

namespace orvane_tool {

// A library context, destroyed with its owner.
class context {
public:
    // Throws std::runtime_error when the library cannot create one.
    explicit context(const cal_settings& settings);
    ~context();
    context(const context&) = delete;
    context& operator=(const context&) = delete;
    cal_context* get() const { return ctx_; }

private:
    cal_context* ctx_;
};

// The dual layout's intake and readout correct their two images in place:
// they are given `scratch`, a frame whose images nothing else reads. They
// copy `f`'s images into it first, unless `f` is `scratch` itself (a frame
// just read, used once). The raw layouts read `f` and leave `scratch` alone.
struct layout_calls {
    const char* gainmap_name;
    const char* intake_name;
    const char* readout_name;  // nullptr: the layout has no readout of its own
    const char* block_writer_name;

    uint32_t (*get_gainmap)(cal_context* ctx, const capture_set& cs, gainmap* out);
    uint32_t (*intake)(cal_context* ctx, int32_t index, const capture_set& cs, const frame& f,
                       frame& scratch, const gainmap& gains);
    uint32_t (*readout)(cal_context* ctx, const capture_set& cs, const frame& f, frame& scratch,
                        const gainmap& gains, pd_map* out);
    int32_t (*block_writer)(const gainmap* gains, const dccmap* dcc, uint8_t* out);
};

const layout_calls& calls_of(layout kind);

}  // namespace orvane_tool
