// Gain map: bicubic resampler, gain map generation and checks, gain
// application.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "context/context.h"
#include "kernels/kernels.h"

namespace orvane {

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

// A resampled level as a 16-bit sample: round half up, then clamp, so that a
// negative lobe at a dark edge gives the darkest sample rather than wrapping
// to the brightest. NaN gives 0.
inline uint16_t round_level(float sum) {
    const double rounded = static_cast<double>(sum) + 0.5;
    if (rounded >= 65535.0) return 65535;
    if (rounded >= 1.0) return static_cast<uint16_t>(rounded);
    return 0;
}

// false (dst untouched) when the scratch was not reserved for this shape.
// `kernels` runs the column pass.
bool resize_bicubic(const uint16_t* src, int32_t src_width, int32_t src_height, uint16_t* dst,
                    int32_t dst_width, int32_t dst_height, resize_scratch& scratch,
                    const kernel_table& kernels = scalar_kernels());
// Same, with its own scratch; false (dst untouched) when it cannot be obtained.
bool resize_bicubic(const uint16_t* src, int32_t src_width, int32_t src_height, uint16_t* dst,
                    int32_t dst_width, int32_t dst_height);

// Which table pair of the record a generation fills.
enum class gain_tables { horizontal, vertical };

// Moves a cols x rows table of cell averages (as the resampler centres them
// over a width x height image) to the nodes where the gain application reads
// its entries: bilinear in float, extrapolating at the first node, each entry
// from the table as given. `table` is rewritten; `scratch` holds a copy.
void register_to_gain_nodes(uint16_t* table, uint16_t cols, uint16_t rows, uint16_t width,
                            uint16_t height, uint16_t* scratch);

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

// Where the rows and columns of a width x height image fall in a gain table
// of table_cols x table_rows cells (both at least 1). The last image row and
// column map to coordinate table_rows/table_cols, one step past the last
// cell; a single row or column stays at 0.
struct gain_grid {
    uint32_t width;
    uint16_t table_cols;
    uint32_t last_row;
    float step_y;
};

// Plans the grid and fills the per-column terms of `columns` (fraction and
// the two table columns of every image column).
gain_grid plan_gain_grid(uint16_t width, uint16_t height, uint16_t table_cols,
                         uint16_t table_rows, gain_columns& columns);

// The row terms of image row i in `table`.
struct gain_row {
    float fy;
    float gy;
    const uint16_t* upper;
    const uint16_t* lower;
};
gain_row gain_row_of(const gain_grid& grid, const uint16_t* table, uint32_t i);

// The row kernels' spans: runs of image columns sharing their table columns,
// left to right, planned once per image from the columns plan_gain_grid
// filled (a table of at most kMaxGainCells columns). fy and gy are set per row.
gain_row_terms plan_gain_spans(const gain_grid& grid, gain_columns& columns);

// The table cells of every span in one row.
void gain_row_cells(const gain_columns& columns, uint32_t spans, const gain_row& row,
                    gain_cells* cells);

// In place; width or height 1 uses table position 0 on that axis, an empty
// image or table leaves the image as it is. `columns` is scratch for the
// per-column terms (the context's gain_cols).
void apply_gain_table(uint16_t* image, uint16_t width, uint16_t height, const uint16_t* table,
                      uint16_t table_cols, uint16_t table_rows, gain_columns& columns,
                      const kernel_table& kernels = scalar_kernels());

}  // namespace orvane
