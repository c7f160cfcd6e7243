// A capture set on disk: the records as JSON, the flat field and the sweep
// frames as frame files, and a manifest that ties them together.
//
// manifest.json:
//   {
//     "layout": "horizontal" | "vertical" | "dual",
//     "sensor": "sensor.json",      raw layouts: sensor_cfg, JSON or 2,072-byte record
//     "settings": "settings.json",  cal_settings, JSON or 356-byte record
//     "limits": "limits.json",      gain_limits, JSON or 8-byte record
//     "width": 4000, "height": 3000,  frame size; dual: required, raw layouts: optional,
//                                     must match the sensor's image_width/image_height
//     "black_level": 64,            dual only (raw layouts take the sensor's)
//     "format": "raw16",            optional: raw16 | raw10 | pgm | png; without it each
//                                   file's extension decides (.pgm, .png, .raw10, else raw16)
//     "raw10_stride": 5000,         optional, bytes per RAW10 line
//     "flat": {"lens_position": 0, "file": "flat.raw"},
//     "frames": [{"lens_position": 100, "file": "f00.raw"}, ...],   sweep_frames frames,
//                                   lens positions rising
//     "truth": "truth.json"         optional ground truth
//   }
// Dual-photodiode entries name two files instead of "file": {"lens_position": N,
// "left": "f00_left.raw", "right": "f00_right.raw"}; the flat's lens position is
// required there (it feeds the gain map's lens check), optional otherwise.
// File names are relative to the manifest's folder unless absolute.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "capture.h"
#include "io/frames.h"

namespace orvane_tool::io {

// Throws io_error naming `source` for anything but the three layout names.
layout layout_from_name(std::string_view name, const std::string& source);

// Writes the set into `dir` (created if needed): sensor.json (raw layouts),
// settings.json, limits.json, the flat and sweep frames, truth.json when
// `truth` is given, and manifest.json. All files appear together or none
// does; the set is checked for consistency before anything is written.
void save_capture_set(const capture_set& set, const std::string& dir,
                      const ground_truth* truth = nullptr,
                      frame_format format = frame_format::raw16);

// Record files that replace the manifest's (paths as given, not relative to
// the manifest); empty ones leave the manifest's in place. The manifest may
// leave out an entry that is replaced.
struct record_overrides {
    std::string sensor;  // raw layouts only
    std::string settings;
    std::string limits;
};

// The records are checked against the library (record_checks.h) and the
// frame entries against the settings before the first frame file is read.
capture_set load_capture_set(const std::string& manifest_path);
// Also loads the ground truth when the manifest names one.
capture_set load_capture_set(const std::string& manifest_path, std::optional<ground_truth>& truth,
                             const record_overrides& overrides = {});

}  // namespace orvane_tool::io
