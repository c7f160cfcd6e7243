#include "acceptance/limits.h"

#include <algorithm>
#include <cmath>
#include <string_view>

#include "io/fields.h"
#include "io/flags.h"

namespace orvane_tool::acceptance {
namespace {

using io::json;

struct entry {
    field_doc doc;
    void (*read)(const io::field_reader& f, const char* name, limits& l);
    json (*write)(const limits& l);
};

double number(const io::field_reader& f, const char* name, double lo, double hi) {
    const json& v = f.at(name);
    if (!v.is_number()) f.fail(name, "a number", v);
    const double x = v.get<double>();
    if (!std::isfinite(x) || x < lo || x > hi)
        f.fail(name, "a number " + std::to_string(lo) + ".." + std::to_string(hi), v);
    return x;
}

// null leaves the default (unset or derived).
std::optional<double> optional_number(const io::field_reader& f, const char* name, double lo,
                                      double hi) {
    if (f.at(name).is_null()) return std::nullopt;
    return number(f, name, lo, hi);
}

json optional_json(const std::optional<double>& v) { return v ? json(*v) : json(nullptr); }

bool known_flag(const std::string& name) { return flag_meaning(name) != nullptr; }

std::vector<std::string> flag_names(const io::field_reader& f, const char* name) {
    const json& v = f.at(name);
    if (!v.is_array()) f.fail(name, "an array of flag names", v);
    std::vector<std::string> names;
    for (const json& x : v) {
        if (!x.is_string() || !known_flag(x.get<std::string>()))
            f.fail(name, "flag names as the status words print them (e.g. \"pd_at_edge\")", x);
        names.push_back(x.get<std::string>());
    }
    return names;
}

constexpr double kBig = 1e9;

#define OPTIONAL_FIELD(field, lo, hi)                                                         \
    [](const io::field_reader& f, const char* n, limits& l) {                                \
        l.field = optional_number(f, n, lo, hi);                                               \
    },                                                                                         \
        [](const limits& l) { return optional_json(l.field); }

const entry kTable[] = {
    {{"gain_max", "gain (1 = unity)", "4", "largest gain of either PD phase's gain table"},
     OPTIONAL_FIELD(gain_max, 0.0, kBig)},
    {{"gain_residual_max", "fraction", "0.02",
      "worst left/right imbalance over the windows of the flat field corrected by its own map"},
     OPTIONAL_FIELD(gain_residual_max, 0.0, kBig)},
    {{"field_range_max", "lens units", "null: a quarter of the sweep's lens span",
      "largest minus smallest in-focus lens position over the windows"},
     OPTIONAL_FIELD(field_range_max, 0.0, kBig)},
    {{"field_tilt_max", "lens units", "null: a fifth of the sweep's lens span",
      "tilt of the plane fitted to the in-focus positions, from edge window to edge window, "
      "along each axis"},
     OPTIONAL_FIELD(field_tilt_max, 0.0, kBig)},
    {{"field_curvature_max", "lens units", "null: a fifth of the sweep's lens span",
      "bowl of the curve of field: fitted corner against fitted centre"},
     OPTIONAL_FIELD(field_curvature_max, 0.0, kBig)},
    {{"dcc_min", "lens units per pixel", "null: not checked",
      "smallest DCC any window may have"},
     OPTIONAL_FIELD(dcc_min, -kBig, kBig)},
    {{"dcc_max", "lens units per pixel", "null: not checked", "largest DCC any window may have"},
     OPTIONAL_FIELD(dcc_max, -kBig, kBig)},
    {{"dcc_spread_max", "fraction", "0.5",
      "spread of the DCC over the field: (largest - smallest) / abs(median)"},
     OPTIONAL_FIELD(dcc_spread_max, 0.0, kBig)},
    {{"flags_allowed", "flag names", "[]", "status flags that never fail a module"},
     [](const io::field_reader& f, const char* n, limits& l) { l.flags_allowed = flag_names(f, n); },
     [](const limits& l) { return json(l.flags_allowed); }},
    {{"flags_forbidden", "flag names", "[]",
      "status flags that fail a module in any window, whatever flagged_windows_max"},
     [](const io::field_reader& f, const char* n, limits& l) {
         l.flags_forbidden = flag_names(f, n);
     },
     [](const limits& l) { return json(l.flags_forbidden); }},
    {{"flagged_windows_max", "fraction", "0",
      "share of the windows that may raise any one flag that is neither allowed nor "
      "forbidden; a flag of the whole module (the gain map's, a frame's) counts as every "
      "window"},
     [](const io::field_reader& f, const char* n, limits& l) {
         l.flagged_windows_max = number(f, n, 0.0, 1.0);
     },
     [](const limits& l) { return json(l.flagged_windows_max); }},
    {{"one_shot_share_min", "fraction", "0.9",
      "share of a verification sweep's window-frames whose one-shot focus prediction lands "
      "within one_shot_tolerance"},
     [](const io::field_reader& f, const char* n, limits& l) {
         l.one_shot_share_min = number(f, n, 0.0, 1.0);
     },
     [](const limits& l) { return json(l.one_shot_share_min); }},
    {{"one_shot_tolerance", "lens units", "null: the sweep's lens step",
      "largest distance from the predicted to the in-focus lens position that counts as "
      "landing"},
     OPTIONAL_FIELD(one_shot_tolerance, 0.0, kBig)},
};

#undef OPTIONAL_FIELD

}  // namespace

limits default_limits() {
    limits l;
    l.gain_max = 4.0;
    l.gain_residual_max = 0.02;
    l.dcc_spread_max = 0.5;
    return l;
}

limits limits_from_json(const json& j, const std::string& source) {
    std::vector<std::string_view> known;
    for (const entry& e : kTable) known.push_back(e.doc.name);
    const io::field_reader f(j, source, known);
    limits l = default_limits();
    for (const entry& e : kTable)
        if (f.has(e.doc.name)) e.read(f, e.doc.name, l);
    if (l.dcc_min && l.dcc_max && *l.dcc_min > *l.dcc_max)
        f.fail("dcc_min", "above dcc_max");
    for (const std::string& name : l.flags_allowed)
        if (std::find(l.flags_forbidden.begin(), l.flags_forbidden.end(), name) !=
            l.flags_forbidden.end())
            f.fail("flags_forbidden", "'" + name + "' is also in flags_allowed");
    return l;
}

limits read_limits(const std::string& path) {
    return limits_from_json(io::read_json_file(path), path);
}

json limits_json(const limits& l) {
    json j = json::object();
    for (const entry& e : kTable) j[e.doc.name] = e.write(l);
    return j;
}

json default_limits_json() { return limits_json(default_limits()); }

const std::vector<field_doc>& field_docs() {
    static const std::vector<field_doc> docs = [] {
        std::vector<field_doc> d;
        for (const entry& e : kTable) d.push_back(e.doc);
        return d;
    }();
    return docs;
}

}  // namespace orvane_tool::acceptance
