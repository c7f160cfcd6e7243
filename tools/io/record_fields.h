// A record's JSON fields as one table that serves both the writer and the
// reader. The table lists the fields in the order they are written and read,
// and is the list of fields the reader knows. An entry is one field, or a
// group read and written together (a PD layout's four tables), with the
// checks that tie it to the fields before it. Used by records.cpp only.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "io/fields.h"

namespace orvane_tool::io::record_fields {

template <class T>
json list_of(const T* values, size_t n) {
    json list = json::array();
    for (size_t k = 0; k < n; ++k) list.push_back(values[k]);
    return list;
}

template <class R>
struct field {
    std::array<const char*, 4> names;  // the field, or a group; unused: nullptr
    void (*write)(json& j, const R& r, const char* name);
    void (*read)(const field_reader& f, R& r, const char* name);
};

template <class R, size_t N>
json write_fields(const R& r, const field<R> (&table)[N]) {
    json j = json::object();
    for (const field<R>& x : table) x.write(j, r, x.names[0]);
    return j;
}

// With `defaults`, an entry none of whose names is given keeps the default's
// values; without, every entry is read (and a missing field refused).
template <class R, size_t N>
R read_fields(const json& value, const std::string& source, const field<R> (&table)[N],
              const R* defaults = nullptr) {
    std::vector<std::string_view> known;
    for (const field<R>& x : table)
        for (const char* name : x.names)
            if (name) known.push_back(name);
    const field_reader f(value, source, known);
    R r = defaults ? *defaults : R{};
    for (const field<R>& x : table) {
        const bool given = std::any_of(x.names.begin(), x.names.end(),
                                       [&](const char* n) { return n && f.has(n); });
        if (given || defaults == nullptr) x.read(f, r, x.names[0]);
    }
    return r;
}

template <class>
struct member;
template <class R, class T>
struct member<T R::*> {
    using record = R;
    using type = T;
};
template <auto M>
using record_of = typename member<decltype(M)>::record;
template <auto M>
using type_of = typename member<decltype(M)>::type;

// An integer in the range of the member's C type.
template <auto M>
field<record_of<M>> integer(const char* name) {
    using R = record_of<M>;
    return {{name},
            [](json& j, const R& r, const char* n) { j[n] = r.*M; },
            [](const field_reader& f, R& r, const char* n) { r.*M = f.get<type_of<M>>(n); }};
}

// An integer within [Lo, Hi].
template <auto M, int64_t Lo, int64_t Hi>
field<record_of<M>> integer_in(const char* name) {
    using R = record_of<M>;
    return {{name},
            [](json& j, const R& r, const char* n) { j[n] = r.*M; },
            [](const field_reader& f, R& r, const char* n) {
                r.*M = f.get<type_of<M>>(n, Lo, Hi);
            }};
}

template <auto M>
field<record_of<M>> real(const char* name) {
    using R = record_of<M>;
    return {{name},
            [](json& j, const R& r, const char* n) { j[n] = float_json(r.*M); },
            [](const field_reader& f, R& r, const char* n) { r.*M = f.get_float(n); }};
}

// A reserved integer: written when it is not zero, 0 when omitted.
template <auto M>
field<record_of<M>> reserved(const char* name) {
    using R = record_of<M>;
    return {{name},
            [](json& j, const R& r, const char* n) {
                if (r.*M != 0) j[n] = r.*M;
            },
            [](const field_reader& f, R& r, const char* n) {
                if (f.has(n)) r.*M = f.get<type_of<M>>(n);
            }};
}

// Reserved words: written when any is not zero, all 0 when omitted.
template <auto M>
field<record_of<M>> reserved_words(const char* name) {
    using R = record_of<M>;
    return {{name},
            [](json& j, const R& r, const char* n) {
                const auto& words = r.*M;
                if (std::any_of(std::begin(words), std::end(words), [](auto v) { return v != 0; }))
                    j[n] = list_of(words, std::size(words));
            },
            [](const field_reader& f, R& r, const char* n) {
                auto& words = r.*M;
                if (f.has(n)) f.get_array(n, words, std::size(words));
            }};
}

}  // namespace orvane_tool::io::record_fields
