// The settings a calibration engineer picks for the simulated module: every
// module's defaults for its layout and size (io/settings_defaults.h) with the
// simulated chart, binning and actuator, and the flat-field limits.
#pragma once

#include <string>

#include "capture.h"
#include "sim.h"

namespace orvane_tool {

cal_settings tuned_settings(const orvane_sim::sensor_model& model, layout kind);
gain_limits tuned_limits(const orvane_sim::sensor_model& model, layout kind);

// The settings and limits as readable lines, for the demo's printout.
std::string describe_settings(const cal_settings& s, const gain_limits& limits, layout kind);

}  // namespace orvane_tool
