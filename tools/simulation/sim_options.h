// The options that choose the synthetic module (layout, frame size, seed, chart),
// shared by `orvane demo` and `orvane simulate` so both render the same set.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>

#include "capture.h"
#include "sim.h"

namespace orvane_tool {

struct sim_options {
    layout kind = layout::horizontal;
    uint32_t width = 1600;
    uint32_t height = 1200;
    uint64_t seed = 1;
    orvane_sim::chart_kind chart = orvane_sim::chart_kind::bars;
};

void add_sim_options(CLI::App& cmd, sim_options& options);

// The model for the options' frame size.
orvane_sim::sensor_model sim_model(const sim_options& options);

// The capture set and its truth, with the settings and limits tuned for the module.
orvane_sim::rendering render_tuned(const sim_options& options);

// The verification set of the same module: same seed, settings and truth, the
// chart moved and lens positions off the calibration grid, unsorted.
orvane_sim::rendering render_verification(const sim_options& options);

}  // namespace orvane_tool
