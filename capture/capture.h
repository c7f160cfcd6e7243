// A capture set: everything a calibration run takes from a camera module,
// whether rendered by the simulator or loaded from files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "orvane.h"

namespace orvane_tool {

enum class layout { horizontal, vertical, dual };

const char* layout_name(layout kind);  // "horizontal", "vertical", "dual"

struct frame {
    int32_t lens_position = 0;
    std::vector<uint16_t> raw;    // horizontal and vertical layouts: the raw frame
    std::vector<uint16_t> left;   // dual-photodiode: left image
    std::vector<uint16_t> right;  // dual-photodiode: right image
};

struct capture_set {
    layout kind = layout::horizontal;
    cal_settings settings{};
    sensor_cfg cfg{};        // raw layouts
    gain_limits limits{};
    uint32_t width = 0;      // image size: raw frame (raw layouts) or each dual image
    uint32_t height = 0;
    uint16_t black_level = 0;  // dual-photodiode images (raw layouts: cfg.black_level)
    frame flat;              // flat field; its lens position feeds the dual gain-map check
    std::vector<frame> sweep;  // lens positions rising with the index
};

// Per window of the settings' grid, row-major.
struct ground_truth {
    int win_rows = 0;
    int win_cols = 0;
    int lens_step = 0;
    std::vector<float> dcc;             // true DCC, lens units per sensor pixel of disparity
    std::vector<float> in_focus_lens;   // true in-focus lens position
    // Lens position of zero disparity minus the in-focus position: the pair
    // geometry's share of the zero-PD offset (0 for dual photodiodes). Empty in
    // truth files written before it was recorded.
    std::vector<float> zero_pd_offset;
};

}  // namespace orvane_tool
