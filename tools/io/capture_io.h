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
//                                   lens positions rising (or falling: a sweep captured far to
//                                   near is taken in rising order)
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
#include <utility>
#include <vector>

#include "capture.h"
#include "io/frames.h"
#include "io/records.h"

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

// A set whose frames are still to be captured: its records and a manifest
// naming the frame files save_capture_set would write, at the plan's lens
// positions (its images are not used), and the `extra` files (name, text).
void save_capture_plan(const capture_set& plan, const std::string& dir, frame_format format,
                       const std::vector<std::pair<std::string, std::string>>& extra = {});

// Record files that replace the manifest's (paths as given, not relative to
// the manifest); empty ones leave the manifest's in place. The manifest may
// leave out an entry that is replaced.
struct record_overrides {
    std::string sensor;  // raw layouts only
    std::string settings;
    std::string limits;
};

// One entry of the manifest, checked but not yet read: the frame's lens
// position and the names of its files.
struct frame_entry {
    int32_t lens_position = 0;
    std::string file;  // raw layouts
    std::string left;  // dual
    std::string right;
};

// A manifest read and checked on its own, no other file opened yet; paths
// are resolved (overrides as given).
struct manifest {
    std::string path;
    layout kind = layout::horizontal;
    std::string sensor;  // raw layouts
    std::string settings;
    std::string limits;
    std::optional<uint32_t> width, height;  // dual: both given
    uint16_t black_level = 0;               // dual
    std::optional<frame_format> format;
    uint64_t raw10_stride = 0;
    frame_entry flat;
    std::vector<frame_entry> sweep;  // a calibration sweep: lens positions rising
    bool captured_falling = false;   // the manifest listed the calibration sweep falling
    std::optional<std::string> truth;
};

// A capture-set folder stands for the manifest.json in it.
std::string manifest_path_of(const std::string& path);

// Throws io_error naming the manifest (and the field). A calibration sweep's
// lens positions must rise, or fall, with the frame index (a falling one is
// reversed); a verification sweep (`rising` false) may come in any order.
manifest parse_manifest(const json& doc, const std::string& manifest_path,
                        const record_overrides& overrides = {}, bool rising = true);

// The frame files of one entry, `width` x `height` samples each.
frame read_frame_files(const manifest& m, const frame_entry& entry, uint32_t width,
                       uint32_t height);

// The sweep of a set loaded without its images: read(k) reads frame k's files.
struct sweep_files {
    manifest plan;
    uint32_t width = 0;
    uint32_t height = 0;
    frame read(size_t k) const;
};

// The records are checked against the library (record_checks.h), the frame
// entries against the settings and every frame file's size against the frame
// size before the first frame file is read.
capture_set load_capture_set(const std::string& manifest_path);
// Also loads the ground truth when the manifest names one. With `deferred`,
// the sweep frames hold only their lens positions and `deferred` is set up to
// read their images one at a time, so a calibration holds one frame at once.
capture_set load_capture_set(const std::string& manifest_path, std::optional<ground_truth>& truth,
                             const record_overrides& overrides = {}, bool rising = true,
                             sweep_files* deferred = nullptr);

}  // namespace orvane_tool::io
