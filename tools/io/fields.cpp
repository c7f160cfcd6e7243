#include "io/fields.h"

#include <algorithm>

namespace orvane_tool::io {

namespace {
constexpr size_t kMaxTextBytes = 4096;  // PATH_MAX
}  // namespace

field_reader::field_reader(const json& object, std::string source,
                           std::span<const std::string_view> known)
    : object_(object), source_(std::move(source)) {
    if (!object_.is_object())
        throw io_error(source_ + ": expected a JSON object, got " + shown(object_));
    for (const auto& item : object_.items()) {
        if (std::find(known.begin(), known.end(), item.key()) == known.end())
            throw io_error(source_ + ": unknown field '" + shown_key(item.key()) + "'");
    }
}

bool field_reader::has(const char* name) const { return object_.contains(name); }

const json& field_reader::at(const char* name) const {
    const auto it = object_.find(name);
    if (it == object_.end()) throw io_error(source_ + ": missing field '" + name + "'");
    return *it;
}

void field_reader::fail(const std::string& field, const std::string& expected,
                        const json& got) const {
    throw io_error(source_ + ": field '" + field + "': expected " + expected + ", got " +
                   shown(got));
}

void field_reader::fail(const std::string& field, const std::string& message) const {
    throw io_error(source_ + ": field '" + field + "': " + message);
}

int64_t field_reader::integer(const std::string& field, const json& v, int64_t lo,
                              int64_t hi) const {
    const std::string expected = "an integer " + std::to_string(lo) + ".." + std::to_string(hi);
    if (v.is_number_unsigned()) {
        const uint64_t u = v.get<uint64_t>();
        if (hi < 0 || u > static_cast<uint64_t>(hi)) fail(field, expected, v);
        const auto s = static_cast<int64_t>(u);
        if (s < lo) fail(field, expected, v);
        return s;
    }
    if (v.is_number_integer()) {
        const int64_t s = v.get<int64_t>();
        if (s < lo || s > hi) fail(field, expected, v);
        return s;
    }
    fail(field, expected, v);
}

float field_reader::real(const std::string& field, const json& v) const {
    if (v.is_number_float()) return v.get<float>();
    if (v.is_number_unsigned()) return static_cast<float>(v.get<uint64_t>());
    if (v.is_number_integer()) return static_cast<float>(v.get<int64_t>());
    if (v.is_string()) {
        const std::string& s = v.get_ref<const std::string&>();
        if (s == "nan") return std::numeric_limits<float>::quiet_NaN();
        if (s == "inf") return std::numeric_limits<float>::infinity();
        if (s == "-inf") return -std::numeric_limits<float>::infinity();
    }
    fail(field, "a number (or \"nan\", \"inf\", \"-inf\")", v);
}

std::string field_reader::text(const char* name) const {
    const json& v = at(name);
    if (!v.is_string() || v.get_ref<const std::string&>().empty())
        fail(name, "a non-empty string", v);
    // Names and paths: longer than a path can be is a damaged file.
    if (v.get_ref<const std::string&>().size() > kMaxTextBytes)
        fail(name, "a string of at most " + std::to_string(kMaxTextBytes) + " bytes", v);
    // A file name would end at the NUL: refuse rather than open another file.
    if (v.get_ref<const std::string&>().find('\0') != std::string::npos)
        fail(name, "a string without NUL characters", v);
    return v.get<std::string>();
}

std::string field_reader::index_name(const char* name, size_t i) {
    return std::string(name) + "[" + std::to_string(i) + "]";
}

std::string field_reader::grid_name(const char* name, size_t r, size_t c) {
    return std::string(name) + "[" + std::to_string(r) + "][" + std::to_string(c) + "]";
}

const json& field_reader::array_at(const char* name, size_t capacity, const char* what) const {
    const json& v = at(name);
    if (!v.is_array())
        fail(name, "an array of at most " + std::to_string(capacity) + " " + what, v);
    if (v.size() > capacity)
        fail(name, "expected at most " + std::to_string(capacity) + " entries, got " +
                       std::to_string(v.size()));
    return v;
}

const json& field_reader::grid_at(const char* name, size_t cols, size_t rows,
                                  const char* what) const {
    const json& v = at(name);
    const std::string shape =
        std::to_string(rows) + " rows of " + std::to_string(cols) + " " + what;
    if (!v.is_array()) fail(name, shape, v);
    if (v.size() != rows)
        fail(name, "expected " + shape + ", got " + std::to_string(v.size()) + " rows");
    for (size_t r = 0; r < rows; ++r) {
        const std::string row = index_name(name, r);
        if (!v[r].is_array()) fail(row, "an array of " + std::to_string(cols) + " " + what, v[r]);
        if (v[r].size() != cols)
            fail(row, "expected " + std::to_string(cols) + " entries, got " +
                          std::to_string(v[r].size()));
    }
    return v;
}

size_t field_reader::get_float_array(const char* name, float* out, size_t capacity) const {
    const json& v = array_at(name, capacity, "numbers");
    for (size_t i = 0; i < v.size(); ++i) out[i] = real(index_name(name, i), v[i]);
    return v.size();
}

void field_reader::get_float_grid(const char* name, float* out, size_t cols, size_t rows) const {
    const json& v = grid_at(name, cols, rows, "numbers");
    for (size_t r = 0; r < rows; ++r)
        for (size_t c = 0; c < cols; ++c) out[r * cols + c] = real(grid_name(name, r, c), v[r][c]);
}

}  // namespace orvane_tool::io
