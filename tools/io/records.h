// The interface records as JSON (field names are the records' own) and as
// their raw little-endian bytes.
//
// JSON readers check every field: its type, the range of its C type (and the
// library's capacity where a count indexes a table), array lengths, and they
// reject fields they do not know. Reserved words may be omitted, and so may
// a PD layout's four coordinate tables together; arrays may stop after the
// entries in use (pair_count, filter_tap_count, one limit per window). What
// is left out is 0. Writers emit reserved words only when they are not zero.
// Whether the library can work with the values is record_checks.h's question. Floats are written in the shortest
// form that reads back to the same bits; non-finite floats are written as
// the strings "nan", "inf" and "-inf", which the readers accept.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "capture.h"
#include "io/json.h"
#include "io/settings_defaults.h"
#include "orvane.h"

namespace orvane_tool::io {

json to_json(const sensor_cfg& cfg);
json to_json(const cal_settings& settings);
json to_json(const gain_limits& limits);
json to_json(const gainmap& map);  // only the cols x rows cells of each table
json to_json(const dccmap& map);   // only the win_cols x win_rows values
json to_json(const ground_truth& truth);

sensor_cfg sensor_cfg_from_json(const json& value, const std::string& source);
// With a shape, fields left out take their defaults for it (settings_defaults.h;
// the dual layout's pitch is the settings' own); without one, every field is
// required.
cal_settings settings_from_json(const json& value, const std::string& source,
                                const module_shape* shape = nullptr);
gain_limits limits_from_json(const json& value, const std::string& source);
gainmap gainmap_from_json(const json& value, const std::string& source);
dccmap dccmap_from_json(const json& value, const std::string& source);
ground_truth ground_truth_from_json(const json& value, const std::string& source);

// Raw records, exactly sizeof(record) bytes.
std::vector<uint8_t> to_bytes(const sensor_cfg& cfg);
std::vector<uint8_t> to_bytes(const cal_settings& settings);
std::vector<uint8_t> to_bytes(const gain_limits& limits);
sensor_cfg sensor_cfg_from_bytes(std::span<const uint8_t> bytes, const std::string& source);
cal_settings settings_from_bytes(std::span<const uint8_t> bytes, const std::string& source);
gain_limits limits_from_bytes(std::span<const uint8_t> bytes, const std::string& source);

// Files: JSON when the name ends in ".json", the raw record otherwise.
sensor_cfg load_sensor_cfg(const std::string& path);
cal_settings load_settings(const std::string& path, const module_shape* shape = nullptr);
gain_limits load_limits(const std::string& path);
void save_sensor_cfg(const std::string& path, const sensor_cfg& cfg);
void save_settings(const std::string& path, const cal_settings& settings);
void save_limits(const std::string& path, const gain_limits& limits);

}  // namespace orvane_tool::io
