// The tool's JSON: the value type, the strict parser every reader uses, the
// writer every output uses, and the small conversions the readers and writers
// share. The bottom of tools/io: it includes only files.h.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "io/files.h"

namespace orvane_tool::io {

// Objects keep the order of their fields; numbers with a fraction are
// single precision, parsed with correct rounding straight to float.
using json = nlohmann::basic_json<nlohmann::ordered_map, std::vector, std::string, bool, int64_t,
                                  uint64_t, float>;

// Largest JSON file the readers take; the biggest record is a few kilobytes.
constexpr uint64_t kMaxJsonFileBytes = uint64_t{4} << 20;

// Parses JSON text; `source` names it in errors (usually the file path).
// Refused besides malformed text: a key repeated within an object (which of
// the two would count?) and nesting deeper than any record needs.
json parse_json(const std::string& text, const std::string& source);
json read_json_file(const std::string& path);
// Two-space indentation, one trailing newline.
std::string json_text(const json& value);
void write_json_file(const std::string& path, const json& value);

// JSON form of a float: a number, or "nan" / "inf" / "-inf".
json float_json(float v);

// A value for an error message, shortened when long.
std::string shown(const json& v);
// A key for an error message: escaped, unquoted, shortened when long.
std::string shown_key(const std::string& key);

// A row-major grid of cols x rows values as rows of arrays.
template <class T, class F>
json grid_json(const T* values, size_t cols, size_t rows, F&& convert) {
    json grid = json::array();
    for (size_t r = 0; r < rows; ++r) {
        json row = json::array();
        for (size_t c = 0; c < cols; ++c) row.push_back(convert(values[r * cols + c]));
        grid.push_back(std::move(row));
    }
    return grid;
}

}  // namespace orvane_tool::io
