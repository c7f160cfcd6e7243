// Gain map: bicubic resampler, gain map generation and checks, gain
// application.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "context/context.h"

namespace orvane {

struct kernel_table;

float cubic_kernel(float x);
void resize_contributions(int32_t in_len, int32_t out_len, float scale, float kernel_width,
                          float* weights, int32_t* indices, int32_t taps);

// Scratch of one resize shape: the contribution tables, shared by both
// passes, and the intermediate image. It is the only per-call allocation of
// the library, taken before a gain map call writes anything so that a
// shortage can refuse the whole call.
class resize_scratch {
public:
    // false when a dimension is below 1, the shape is too large to plan, or
    // the memory cannot be obtained.
    bool reserve(int32_t src_width, int32_t src_height, int32_t dst_width, int32_t dst_height);
    bool fits(int32_t src_width, int32_t src_height, int32_t dst_width, int32_t dst_height) const;

    float* weights() const { return weights_.get(); }
    int32_t* indices() const { return indices_.get(); }
    float* intermediate() const { return intermediate_.get(); }

private:
    std::unique_ptr<float[]> weights_;
    std::unique_ptr<int32_t[]> indices_;
    std::unique_ptr<float[]> intermediate_;
    int32_t shape_[4] = {0, 0, 0, 0};
};

// false (dst untouched) when the scratch was not reserved for this shape.
// `vk`: vector kernels for the column pass (same bytes), or nullptr.
bool resize_bicubic(const uint16_t* src, int32_t src_width, int32_t src_height, uint16_t* dst,
                    int32_t dst_width, int32_t dst_height, resize_scratch& scratch,
                    const kernel_table* vk = nullptr);
// Same, with its own scratch; false (dst untouched) when it cannot be obtained.
bool resize_bicubic(const uint16_t* src, int32_t src_width, int32_t src_height, uint16_t* dst,
                    int32_t dst_width, int32_t dst_height);

// Which table pair of the record a generation fills.
enum class gain_tables { horizontal, vertical };

// Gain grid of the settings: 1..256 cells, both sides at least 1.
bool gain_grid_fits(const cal_context& ctx);
uint16_t gain_grid_rows(const cal_context& ctx);
uint16_t gain_grid_cols(const cal_context& ctx);

// Preconditions, checked before anything is written (hard failure
// otherwise): the grid fits, width and height are at least 1 and `scratch`
// is reserved for width x height -> gain_cols x gain_rows.
uint32_t generate_gain_tables(cal_context& ctx, const uint16_t* first, const uint16_t* second,
                              uint16_t width, uint16_t height, uint16_t black, gainmap& map,
                              const gain_limits& limits, gain_tables which,
                              resize_scratch& scratch);

// In place; width or height 1 uses table position 0 on that axis, an empty
// image or table leaves the image as it is. `columns` is scratch for the
// per-column terms (the context's gain_cols).
void apply_gain_table(uint16_t* image, uint16_t width, uint16_t height, const uint16_t* table,
                      uint16_t table_cols, uint16_t table_rows, gain_columns& columns);

}  // namespace orvane
