// The settings a module gets when its settings.json leaves a field out: one
// table of what each field means and what it defaults to, read by the settings
// reader, written out by `orvane init`, listed in docs/own-captures.md, and one
// function for the values, the same the simulator tunes its module with.
#pragma once

#include <cstdint>
#include <span>

#include "capture.h"

namespace orvane_tool::io {

// What the defaults depend on: the layout, the frame size (the dual layout's:
// its PD images'), the sensor pixels per frame pixel (the dual layout's
// pd_pitch_2pd, else 1), and the PD samples along the split (the direction
// the disparity is measured in).
struct module_shape {
    layout kind = layout::horizontal;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t pitch = 1;
    uint32_t pd_along = 0;
};

// A raw layout's shape, from its sensor configuration.
module_shape shape_of(const sensor_cfg& cfg, layout kind);
// The dual layout's, from its PD images' size and pd_pitch_2pd.
module_shape shape_of_dual(uint32_t image_width, uint32_t image_height, uint32_t pd_pitch);

enum class default_kind {
    value,          // has a default
    required,       // no sound default: the file must give it
    required_dual,  // required for the dual layout; the raw layouts do not use it
};

struct setting_default {
    const char* name;
    default_kind kind;
    const char* value;    // the default, as docs/own-captures.md states it
    const char* meaning;  // one line, also in the reader's message for a missing field
};

// Every cal_settings field but the reserved words, in the record's order.
std::span<const setting_default> setting_defaults();

// Every field with a default set for this shape; required fields are 0.
cal_settings default_settings(const module_shape& shape);

}  // namespace orvane_tool::io
