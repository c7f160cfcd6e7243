// What the gain map leaves behind and what a single frame predicts: checks of
// a calibration that go beyond the library's own outputs.
#pragma once

#include <vector>

#include "capture.h"
#include "pipeline/calibration.h"

namespace orvane_tool {

// The flat field's PD images corrected by the gain map made from them (black
// level removed, gains interpolated the way the library applies them), per
// window of the settings' grid: mean left (first) over mean right (second)
// phase, minus 1. A perfect map leaves 0; the library's tables are cell
// averages applied at the start of each cell, which leaves a tilt of about
// twice the phases' shading per cell along the split.
struct gain_residual {
    std::vector<double> windows;  // row-major
    double median = 0.0;          // of the magnitudes
    double worst = 0.0;           // the largest magnitude, with its sign
};

gain_residual measure_gain_residual(const capture_set& capture, const gainmap& gains);

// The correlation's search range in sensor pixels: max_shift rounded down to
// whole PD samples (max_shift div pd_pitch, times pd_pitch).
double search_range_px(const capture_set& capture);

}  // namespace orvane_tool
