#include "acceptance/checks.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

#include "io/flags.h"
#include "orvane.h"

namespace orvane_tool::acceptance {
namespace {

using io::json;

std::string format(const char* f, double v) {
    char t[64];
    std::snprintf(t, sizeof t, f, v);
    return t;
}

std::string percent(double v) { return format("%.2f %%", 100.0 * v); }

// A row-major grid of numbers; non-numbers ("nan") are NaN.
std::vector<double> grid(const json& j, const char* key) {
    std::vector<double> v;
    if (!j.contains(key) || !j[key].is_array()) return v;
    for (const json& row : j[key]) {
        if (!row.is_array()) continue;
        for (const json& x : row) v.push_back(x.is_number() ? x.get<double>() : NAN);
    }
    return v;
}

uint32_t word(const json& j, const char* key) {
    return j.contains(key) && j[key].is_number_unsigned() ? j[key].get<uint32_t>() : 0u;
}

check make(stage s, std::string name, std::string unit) {
    check c;
    c.where = s;
    c.name = std::string(stage_id(s)) + "." + name;
    c.unit = std::move(unit);
    return c;
}

check not_run(stage s, std::string name, std::string unit, std::string why) {
    check c = make(s, std::move(name), std::move(unit));
    c.text = std::move(why);
    return c;
}

// value <= limit (or >= for a minimum), with the sentence that says so.
check bounded(stage s, std::string name, std::string unit, double value, double limit,
              bool maximum, const std::string& what, std::string (*shown)(double)) {
    check c = make(s, std::move(name), std::move(unit));
    c.value = value;
    c.limit = limit;
    c.relation = maximum ? "<=" : ">=";
    const bool ok = std::isfinite(value) && (maximum ? value <= limit : value >= limit);
    c.result = ok ? outcome::pass : outcome::fail;
    c.text = what + " " + shown(value) + (ok ? (maximum ? " <= " : " >= ")
                                             : (maximum ? " > " : " < ")) +
             shown(limit);
    return c;
}

std::string lens_units(double v) { return format("%.1f lens units", v); }
std::string gain(double v) { return format("%.3f", v); }

// ---- status flags -----------------------------------------------------------

// The stage whose failure a flag reports. A flag of the gain map's status is
// the gain map's whatever its name.
stage flag_stage(const std::string& name, bool dcc_scope) {
    if (name == "focus_failed" || name == "peak_at_end") return stage::focus;
    if (dcc_scope || name == "pd_at_edge") return stage::dcc_fit;
    return stage::intake;
}

struct raised_flag {
    std::string name;
    stage where;
    std::set<int> windows;
    bool whole_module = false;
};

void raise(std::vector<raised_flag>& flags, const std::string& name, stage where, int window) {
    auto it = std::find_if(flags.begin(), flags.end(), [&](const raised_flag& f) {
        return f.name == name && f.where == where;
    });
    if (it == flags.end()) it = flags.insert(flags.end(), {name, where, {}, false});
    if (window < 0)
        it->whole_module = true;
    else
        it->windows.insert(window);
}

std::vector<raised_flag> raised_flags(const json& s, int windows) {
    std::vector<raised_flag> flags;
    for (const std::string& n : flag_list(word(s, "gain_status"), ORVANE_FLAGS_FRAME))
        raise(flags, n, stage::gain_map, -1);
    const std::vector<double> frame = grid(s, "frame_flags"), fit = grid(s, "fit_flags");
    for (int w = 0; w < windows; ++w) {
        const auto bits = [&](const std::vector<double>& g) {
            return w < static_cast<int>(g.size()) && g[w] > 0 ? static_cast<uint32_t>(g[w]) : 0u;
        };
        for (const std::string& n : flag_list(bits(frame), ORVANE_FLAGS_FRAME))
            raise(flags, n, flag_stage(n, false), w);
        for (const std::string& n : flag_list(bits(fit), ORVANE_FLAGS_DCC_MAP))
            raise(flags, n, flag_stage(n, true), w);
    }
    // Call-level words: a flag no window accounts for is the whole module's.
    uint32_t frames = 0;
    if (s.contains("frame_status") && s["frame_status"].is_array())
        for (const json& x : s["frame_status"])
            frames |= x.is_number_unsigned() ? x.get<uint32_t>() : 0u;
    const auto module_level = [&](uint32_t status, uint32_t scope, bool dcc_scope) {
        for (const std::string& n : flag_list(status, scope)) {
            const stage where = flag_stage(n, dcc_scope);
            const bool seen = std::any_of(flags.begin(), flags.end(), [&](const raised_flag& f) {
                return f.name == n && f.where == where;
            });
            if (!seen) raise(flags, n, where, -1);
        }
    };
    module_level(frames, ORVANE_FLAGS_FRAME, false);
    module_level(word(s, "dcc_status"), ORVANE_FLAGS_DCC_MAP, true);
    return flags;
}

check flag_check(const raised_flag& f, const limits& l, int windows) {
    check c = make(f.where, "flag." + f.name, "windows");
    const int count = f.whole_module ? windows : static_cast<int>(f.windows.size());
    c.value = count;
    c.relation = "<=";
    const auto listed = [&](const std::vector<std::string>& v) {
        return std::find(v.begin(), v.end(), f.name) != v.end();
    };
    const bool forbidden = listed(l.flags_forbidden);
    const int allowed_count =
        forbidden ? 0
                  : static_cast<int>(std::floor(l.flagged_windows_max * windows + 1e-9));
    c.limit = allowed_count;
    if (!f.whole_module) c.windows.assign(f.windows.begin(), f.windows.end());
    const std::string where = f.whole_module ? std::string("the whole module")
                                             : std::to_string(count) + " of " +
                                                   std::to_string(windows) + " windows";
    const char* meaning = flag_meaning(f.name);
    const std::string what =
        f.name + (meaning ? std::string(" (") + meaning + ")" : std::string()) + " in " + where;
    if (listed(l.flags_allowed)) {
        c.result = outcome::allowed;
        c.text = what + ", allowed";
        return c;
    }
    c.result = count <= allowed_count ? outcome::pass : outcome::fail;
    if (forbidden)
        c.text = what + ", a forbidden flag";
    else if (!f.whole_module)
        c.text = what + ", at most " + std::to_string(allowed_count) + " allowed";
    else
        c.text = what;
    return c;
}

// ---- gain map -----------------------------------------------------------------

void gain_checks(const module_files& m, const limits& l, std::vector<check>& out) {
    const json& s = m.summary;
    if (!l.gain_max) {
        out.push_back(not_run(stage::gain_map, "gain_max", "gain", "no gain_max set"));
    } else if (!m.gainmap.is_object()) {
        out.push_back(not_run(stage::gain_map, "gain_max", "gain", "no gainmap.json"));
    } else {
        const int shift = s.contains("settings") ? s["settings"].value("gain_shift", 0) : 0;
        double largest = 0;
        for (const char* table : {"left", "right", "left_v", "right_v"})
            for (double g : grid(m.gainmap, table)) largest = std::max(largest, g);
        out.push_back(bounded(stage::gain_map, "gain_max", "gain", std::ldexp(largest, -shift),
                              *l.gain_max, true, "largest gain", gain));
    }
    const json residual = s.value("gain_residual", json());
    if (!l.gain_residual_max) {
        out.push_back(not_run(stage::gain_map, "residual", "fraction",
                              "no gain_residual_max set"));
    } else if (!residual.is_object() || !residual.contains("worst")) {
        out.push_back(not_run(stage::gain_map, "residual", "fraction",
                              "no gain residual in summary.json"));
    } else {
        const json& w = residual["worst"];
        const double v = w.is_number() ? std::fabs(w.get<double>()) : NAN;
        out.push_back(bounded(stage::gain_map, "residual", "fraction", v, *l.gain_residual_max,
                              true, "worst left/right imbalance after correction", percent));
    }
}

// ---- focus: the curve of field ---------------------------------------------------

// Least squares fit of the in-focus positions to a + bx x + by y + q (x² + y²)
// over window centres at x, y in -0.5..0.5: bx and by are the tilts edge to
// edge, q / 2 the corner against the centre. Terms the grid cannot show (one
// row or column, fewer than three along both axes) are left out.
struct field_fit {
    bool tilt_x = false, tilt_y = false, curvature = false;
    double bx = 0, by = 0, corner = 0;
};

bool solve(std::vector<std::vector<double>> a, std::vector<double> b, std::vector<double>& x) {
    const size_t n = b.size();
    for (size_t i = 0; i < n; ++i) {
        size_t p = i;
        for (size_t r = i + 1; r < n; ++r)
            if (std::fabs(a[r][i]) > std::fabs(a[p][i])) p = r;
        if (std::fabs(a[p][i]) < 1e-12) return false;
        std::swap(a[i], a[p]);
        std::swap(b[i], b[p]);
        for (size_t r = 0; r < n; ++r) {
            if (r == i) continue;
            const double k = a[r][i] / a[i][i];
            for (size_t c = i; c < n; ++c) a[r][c] -= k * a[i][c];
            b[r] -= k * b[i];
        }
    }
    x.resize(n);
    for (size_t i = 0; i < n; ++i) x[i] = b[i] / a[i][i];
    return true;
}

field_fit fit_field(const std::vector<double>& peaks, int cols, int rows) {
    field_fit f;
    f.tilt_x = cols > 1;
    f.tilt_y = rows > 1;
    f.curvature = cols > 2 || rows > 2;
    std::vector<std::vector<double>> basis;  // per window: the terms' values
    std::vector<double> y;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) {
            const double v = peaks[static_cast<size_t>(r * cols + c)];
            if (!std::isfinite(v)) continue;
            const double x0 = cols > 1 ? static_cast<double>(c) / (cols - 1) - 0.5 : 0.0;
            const double y0 = rows > 1 ? static_cast<double>(r) / (rows - 1) - 0.5 : 0.0;
            std::vector<double> t = {1.0};
            if (f.tilt_x) t.push_back(x0);
            if (f.tilt_y) t.push_back(y0);
            if (f.curvature) t.push_back(x0 * x0 + y0 * y0);
            basis.push_back(std::move(t));
            y.push_back(v);
        }
    const size_t n = 1 + f.tilt_x + f.tilt_y + f.curvature;
    std::vector<std::vector<double>> a(n, std::vector<double>(n, 0.0));
    std::vector<double> b(n, 0.0), x;
    for (size_t k = 0; k < y.size(); ++k)
        for (size_t i = 0; i < n; ++i) {
            b[i] += basis[k][i] * y[k];
            for (size_t j = 0; j < n; ++j) a[i][j] += basis[k][i] * basis[k][j];
        }
    if (y.size() < n || !solve(a, b, x)) return field_fit{};
    size_t i = 1;
    if (f.tilt_x) f.bx = x[i++];
    if (f.tilt_y) f.by = x[i++];
    if (f.curvature) f.corner = x[i] * 0.5;
    return f;
}

void field_checks(const json& s, const limits& l, int cols, int rows, std::vector<check>& out) {
    const std::vector<double> peaks = grid(s, "peak_lens");
    const std::vector<double> lens = [&] {
        std::vector<double> v;
        if (s.contains("lens_positions") && s["lens_positions"].is_array())
            for (const json& x : s["lens_positions"])
                if (x.is_number()) v.push_back(x.get<double>());
        return v;
    }();
    const double span = lens.empty() ? 0.0
                                     : *std::max_element(lens.begin(), lens.end()) -
                                           *std::min_element(lens.begin(), lens.end());
    const auto limit_of = [&](const std::optional<double>& set, double share) {
        return set ? *set : share * span;
    };
    const bool have = static_cast<int>(peaks.size()) == cols * rows && cols * rows > 0;
    if (!have) {
        for (const char* n : {"field_range", "field_tilt_x", "field_tilt_y", "field_curvature"})
            out.push_back(not_run(stage::focus, n, "lens units", "no in-focus lens positions"));
        return;
    }
    double lo = INFINITY, hi = -INFINITY;
    for (double p : peaks)
        if (std::isfinite(p)) lo = std::min(lo, p), hi = std::max(hi, p);
    out.push_back(bounded(stage::focus, "field_range", "lens units", hi - lo,
                          limit_of(l.field_range_max, kFieldRangeShare), true,
                          "curve of field range", lens_units));
    const field_fit f = fit_field(peaks, cols, rows);
    const double tilt = limit_of(l.field_tilt_max, kFieldTiltShare);
    const auto tilt_check = [&](bool shown_by_grid, double v, const char* name, const char* what) {
        if (!shown_by_grid)
            return not_run(stage::focus, name, "lens units", "the window grid has one line");
        check c = bounded(stage::focus, name, "lens units", std::fabs(v), tilt, true, what, lens_units);
        return c;
    };
    out.push_back(tilt_check(f.tilt_x, f.bx, "field_tilt_x", "curve of field tilt across"));
    out.push_back(tilt_check(f.tilt_y, f.by, "field_tilt_y", "curve of field tilt down"));
    if (!f.curvature)
        out.push_back(not_run(stage::focus, "field_curvature", "lens units",
                              "the window grid is too small for a curvature"));
    else
        out.push_back(bounded(stage::focus, "field_curvature", "lens units", std::fabs(f.corner),
                              limit_of(l.field_curvature_max, kFieldCurvatureShare), true,
                              "curve of field curvature (corner against centre)", lens_units));
}

// ---- DCC fit ----------------------------------------------------------------------

double median_of(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

void dcc_checks(const json& s, const limits& l, std::vector<check>& out) {
    const std::vector<double> all = grid(s, "dcc_lens_per_px");
    std::vector<double> finite;
    for (double d : all)
        if (std::isfinite(d)) finite.push_back(d);
    if (!l.dcc_min && !l.dcc_max) {
        out.push_back(not_run(stage::dcc_fit, "dcc_range", "lens units per pixel",
                              "no dcc_min or dcc_max set"));
    } else {
        check c = make(stage::dcc_fit, "dcc_range", "lens units per pixel");
        const double lo = l.dcc_min.value_or(-INFINITY), hi = l.dcc_max.value_or(INFINITY);
        c.limit = json::array({l.dcc_min ? json(*l.dcc_min) : json(nullptr),
                               l.dcc_max ? json(*l.dcc_max) : json(nullptr)});
        c.relation = "in";
        for (size_t w = 0; w < all.size(); ++w)
            if (!(all[w] >= lo && all[w] <= hi)) c.windows.push_back(static_cast<int>(w));
        c.value = static_cast<double>(c.windows.size());
        c.result = c.windows.empty() && !all.empty() ? outcome::pass : outcome::fail;
        c.text = std::to_string(c.windows.size()) + " of " + std::to_string(all.size()) +
                 " windows with a DCC outside " +
                 (l.dcc_min ? format("%.4f", *l.dcc_min) : std::string("-inf")) + ".." +
                 (l.dcc_max ? format("%.4f", *l.dcc_max) : std::string("inf")) +
                 " lens units per pixel";
        out.push_back(c);
    }
    if (!l.dcc_spread_max) {
        out.push_back(not_run(stage::dcc_fit, "dcc_spread", "fraction", "no dcc_spread_max set"));
    } else if (finite.empty()) {
        out.push_back(not_run(stage::dcc_fit, "dcc_spread", "fraction", "no window has a DCC"));
    } else {
        const double med = median_of(finite);
        const double spread =
            (*std::max_element(finite.begin(), finite.end()) -
             *std::min_element(finite.begin(), finite.end())) /
            std::fabs(med);
        check c = bounded(stage::dcc_fit, "dcc_spread", "fraction",
                          finite.size() < all.size() ? INFINITY : spread, *l.dcc_spread_max,
                          true, "DCC spread over the field", percent);
        if (finite.size() < all.size()) c.text += " (a window has no DCC)";
        out.push_back(c);
    }
    check rb = make(stage::dcc_fit, "block_read_back", "");
    const bool equal = s.value("block_read_back_equal", false);
    rb.result = equal ? outcome::pass : outcome::fail;
    rb.text = equal ? "the calibration block reads back equal"
                    : "the calibration block does not read back equal";
    out.push_back(rb);
}

// ---- verification ---------------------------------------------------------------------

void verification_checks(const json& v, const limits& l, std::vector<check>& out) {
    if (!v.is_object()) {
        out.push_back(not_run(stage::verification, "one_shot", "fraction",
                              "no verification sweep (orvane verify)"));
        return;
    }
    const double tol = l.one_shot_tolerance.value_or(v.value("lens_step", 0.0));
    int counted = 0, landed = 0;
    if (v.contains("samples") && v["samples"].is_array())
        for (const json& x : v["samples"]) {
            if (!x.is_object() || x.value("at_edge", false)) continue;
            ++counted;
            const json& e = x.contains("error") ? x["error"] : json();
            landed += e.is_number() && std::fabs(e.get<double>()) <= tol;
        }
    if (counted == 0) {
        out.push_back(not_run(stage::verification, "one_shot", "fraction",
                              "the verification sweep has no window-frame to predict from"));
        return;
    }
    check c = bounded(stage::verification, "one_shot", "fraction",
                      static_cast<double>(landed) / counted, l.one_shot_share_min, false,
                      "one-shot share within " + lens_units(tol), percent);
    out.push_back(c);
}

// ---- ground truth ---------------------------------------------------------------------

void truth_checks(const json& s, std::vector<check>& out) {
    if (!s.contains("accuracy") || !s["accuracy"].is_object()) return;
    const json& a = s["accuracy"];
    const double windows = a.value("windows", 0.0);
    out.push_back(bounded(stage::truth, "dcc_error", "fraction", a.value("median_dcc_error", NAN),
                          a.value("dcc_error_target", 0.0), true,
                          "median DCC error against the truth", percent));
    out.push_back(bounded(stage::truth, "sign_errors", "windows", a.value("sign_errors", NAN), 0,
                          true, "windows with a DCC of the wrong sign",
                          [](double v) { return format("%.0f", v); }));
    out.push_back(bounded(stage::truth, "peaks", "fraction",
                          windows > 0 ? a.value("peaks_within_step", 0.0) / windows : NAN, 0.9,
                          false, "in-focus lens within one step of the truth", percent));
    const double frames = a.value("one_shot_frames", 0.0);
    if (frames > 0)
        out.push_back(bounded(stage::truth, "one_shot", "fraction",
                              a.value("one_shot_within_step", 0.0) / frames, 0.9, false,
                              "one-shot focus within one step of the truth", percent));
}

}  // namespace

const char* stage_id(stage s) {
    switch (s) {
        case stage::gain_map: return "gain_map";
        case stage::intake: return "intake";
        case stage::focus: return "focus";
        case stage::dcc_fit: return "dcc_fit";
        case stage::verification: return "verification";
        case stage::truth: return "truth";
    }
    return "?";
}

const char* stage_title(stage s) {
    switch (s) {
        case stage::gain_map: return "flat field and gain map";
        case stage::intake: return "frame intake";
        case stage::focus: return "focus";
        case stage::dcc_fit: return "DCC fit";
        case stage::verification: return "verification";
        case stage::truth: return "ground truth";
    }
    return "?";
}

const char* outcome_id(outcome o) {
    switch (o) {
        case outcome::pass: return "pass";
        case outcome::fail: return "fail";
        case outcome::not_run: return "not_run";
        case outcome::allowed: return "allowed";
    }
    return "?";
}

std::vector<check> run_checks(const module_files& m, const limits& l) {
    const json& s = m.summary;
    const int cols = s.value("win_cols", 0), rows = s.value("win_rows", 0);
    const int windows = std::max(cols * rows, 0);
    std::vector<check> out;
    gain_checks(m, l, out);
    field_checks(s, l, cols, rows, out);
    dcc_checks(s, l, out);
    verification_checks(m.verify, l, out);
    for (const raised_flag& f : raised_flags(s, windows)) out.push_back(flag_check(f, l, windows));
    // Stage order, flags first within a stage; stable keeps each group's order.
    std::stable_sort(out.begin(), out.end(), [](const check& a, const check& b) {
        const bool fa = a.name.find(".flag.") != std::string::npos;
        const bool fb = b.name.find(".flag.") != std::string::npos;
        return a.where != b.where ? a.where < b.where : fa > fb;
    });
    truth_checks(s, out);
    return out;
}

}  // namespace orvane_tool::acceptance
