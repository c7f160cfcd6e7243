// The acceptance limits of a module (acceptance.json): what a good module of a
// design is. Every field is optional; the one table in limits.cpp gives each
// its unit, default and meaning, and serves the reader, the defaults file
// `orvane init` writes and the docs' table.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "io/json.h"

namespace orvane_tool::acceptance {

struct limits {
    // Flat field and gain map.
    std::optional<double> gain_max;           // gain (1 = unity)
    std::optional<double> gain_residual_max;  // fraction
    // Focus: the curve of field from the windows' in-focus lens positions.
    // Unset lens-unit limits scale with the sweep (a share of its span).
    std::optional<double> field_range_max;      // lens units
    std::optional<double> field_tilt_max;       // lens units, edge to edge, each axis
    std::optional<double> field_curvature_max;  // lens units, corner against centre
    // DCC fit.
    std::optional<double> dcc_min;         // lens units per pixel
    std::optional<double> dcc_max;         // lens units per pixel
    std::optional<double> dcc_spread_max;  // (max - min) / |median| over the windows
    // Status flags: allowed ones never fail; forbidden ones fail in any window;
    // the others fail above this share of the windows.
    std::vector<std::string> flags_allowed;
    std::vector<std::string> flags_forbidden;
    double flagged_windows_max = 0.0;  // fraction
    // Verification sweep.
    double one_shot_share_min = 0.9;            // fraction
    std::optional<double> one_shot_tolerance;  // lens units; unset: the sweep's lens step
};

// The defaults of every field. Shares of the sweep's lens span used for the
// unset curve-of-field limits.
limits default_limits();
constexpr double kFieldRangeShare = 0.25;
constexpr double kFieldTiltShare = 0.2;
constexpr double kFieldCurvatureShare = 0.2;

// Reads acceptance.json; unknown fields, unknown flag names and values out of
// range are refused with an io_error naming the file and the field.
limits read_limits(const std::string& path);
limits limits_from_json(const io::json& j, const std::string& source);

// Every field, in the table's order (null: unset, the default depends on the
// sweep or nothing is checked).
io::json limits_json(const limits& l);
// The defaults as a file: what `orvane init` writes.
io::json default_limits_json();

// One row per field: name, unit, default, meaning (for docs and --help).
struct field_doc {
    const char* name;
    const char* unit;
    const char* default_text;
    const char* meaning;
};
const std::vector<field_doc>& field_docs();

}  // namespace orvane_tool::acceptance
