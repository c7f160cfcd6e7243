// Checked access to the fields of one JSON object, shared by the readers of
// the records, the manifest and the ground truth. Every failure is an
// io_error of one line naming the source and the field.
#pragma once

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <span>
#include <string>
#include <string_view>

#include "io/json.h"

namespace orvane_tool::io {

class field_reader {
public:
    // Rejects anything but an object, and any field not in `known`.
    field_reader(const json& object, std::string source, std::span<const std::string_view> known);
    field_reader(const json& object, std::string source,
                 std::initializer_list<std::string_view> known)
        : field_reader(object, std::move(source),
                       std::span<const std::string_view>(known.begin(), known.size())) {}

    bool has(const char* name) const;
    const json& at(const char* name) const;  // throws when missing

    [[noreturn]] void fail(const std::string& field, const std::string& expected,
                           const json& got) const;
    [[noreturn]] void fail(const std::string& field, const std::string& message) const;

    int64_t integer(const std::string& field, const json& v, int64_t lo, int64_t hi) const;
    float real(const std::string& field, const json& v) const;
    std::string text(const char* name) const;

    template <class T>
    T get(const char* name) const {
        return narrow<T>(integer(name, at(name), lo_of<T>(), hi_of<T>()));
    }
    template <class T>
    T get(const char* name, int64_t lo, int64_t hi) const {
        return narrow<T>(integer(name, at(name), lo, hi));
    }
    float get_float(const char* name) const { return real(name, at(name)); }

    // Array of at most `capacity` integers into out[0..]; returns its length.
    template <class T>
    size_t get_array(const char* name, T* out, size_t capacity, int64_t lo = lo_of<T>(),
                     int64_t hi = hi_of<T>()) const {
        const json& v = array_at(name, capacity, "integers");
        for (size_t i = 0; i < v.size(); ++i)
            out[i] = narrow<T>(integer(index_name(name, i), v[i], lo, hi));
        return v.size();
    }
    size_t get_float_array(const char* name, float* out, size_t capacity) const;

    // `rows` arrays of `cols` integers (a row-major grid) into out[0..].
    template <class T>
    void get_grid(const char* name, T* out, size_t cols, size_t rows) const {
        const json& v = grid_at(name, cols, rows, "integers");
        for (size_t r = 0; r < rows; ++r)
            for (size_t c = 0; c < cols; ++c)
                out[r * cols + c] =
                    narrow<T>(integer(grid_name(name, r, c), v[r][c], lo_of<T>(), hi_of<T>()));
    }
    void get_float_grid(const char* name, float* out, size_t cols, size_t rows) const;

    const std::string& source() const { return source_; }

private:
    template <class T>
    static constexpr int64_t lo_of() {
        return static_cast<int64_t>(std::numeric_limits<T>::min());
    }
    template <class T>
    static constexpr int64_t hi_of() {
        if constexpr (std::numeric_limits<T>::max() > uint64_t{INT64_MAX})
            return INT64_MAX;
        else
            return static_cast<int64_t>(std::numeric_limits<T>::max());
    }
    template <class T>
    static T narrow(int64_t v) {
        return static_cast<T>(v);  // range already checked
    }
    static std::string index_name(const char* name, size_t i);
    static std::string grid_name(const char* name, size_t r, size_t c);
    const json& array_at(const char* name, size_t capacity, const char* what) const;
    const json& grid_at(const char* name, size_t cols, size_t rows, const char* what) const;

    const json& object_;
    std::string source_;
};

}  // namespace orvane_tool::io
