#include "lot/table.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "io/files.h"
#include "io/flags.h"
#include "io/json.h"
#include "lot/modules.h"
#include "orvane.h"

namespace orvane_tool {
namespace fs = std::filesystem;

namespace {

std::string csv_field(const std::string& v) {
    if (v.find_first_of(",\"\n\r") == std::string::npos) return v;
    std::string q = "\"";
    for (char c : v) q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

std::string one_line(std::string s) {
    for (char& c : s)
        if (c == '\n' || c == '\r') c = ' ';
    return trimmed(s);
}

std::string hex_word(uint32_t v) {
    char t[16];
    std::snprintf(t, sizeof t, "0x%08X", v);
    return t;
}

std::string fixed(double v, int digits) {
    char t[64];
    std::snprintf(t, sizeof t, "%.*f", digits, v);
    return t;
}

std::string joined(const std::vector<std::string>& parts, const char* sep) {
    std::string out;
    for (const std::string& p : parts) out += (out.empty() ? "" : sep) + p;
    return out;
}

struct spread {
    double min = 0, median = 0, max = 0;
};

spread spread_of(std::vector<double> v) {
    spread s;
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    s.min = v.front();
    s.max = v.back();
    s.median = n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
    return s;
}

// The numbers of a grid (rows of values) in row-major order; "nan" and other
// non-numbers are left out.
std::vector<double> grid_values(const io::json& grid) {
    std::vector<double> v;
    if (!grid.is_array()) return v;
    for (const io::json& row : grid) {
        if (!row.is_array()) continue;
        for (const io::json& x : row)
            if (x.is_number()) v.push_back(x.get<double>());
    }
    return v;
}

uint32_t word(const io::json& j, const char* key) {
    return j.contains(key) && j[key].is_number_unsigned() ? j[key].get<uint32_t>() : 0u;
}

void add_reasons(std::vector<std::string>& reasons, uint32_t status, uint32_t scope) {
    for (const std::string& name : flag_list(status, scope))
        if (std::find(reasons.begin(), reasons.end(), name) == reasons.end())
            reasons.push_back(name);
}

constexpr int kColumns = 24;

std::string row_text(const std::vector<std::string>& fields) {
    std::string row;
    for (size_t i = 0; i < fields.size(); ++i) row += (i ? "," : "") + csv_field(fields[i]);
    return row;
}

}  // namespace

module_outcome outcome_from_summary(const std::string& module, const fs::path& dir,
                                    double runtime, const acceptance::verdict& verdict) {
    const fs::path path = dir / "summary.json";
    const std::vector<uint8_t> bytes = io::read_file(path.string());
    const io::json j = io::parse_json(std::string(bytes.begin(), bytes.end()), path.string());

    const uint32_t gain = word(j, "gain_status");
    const uint32_t dcc = word(j, "dcc_status");
    std::vector<std::string> frame_words, frame_names;
    uint32_t frames_or = 0;
    if (j.contains("frame_status") && j["frame_status"].is_array()) {
        int k = 0;
        for (const io::json& s : j["frame_status"]) {
            const uint32_t w = s.is_number_unsigned() ? s.get<uint32_t>() : 0u;
            frame_words.push_back(hex_word(w));
            if (w)
                frame_names.push_back(std::to_string(k) + ":" +
                                      joined(flag_list(w, ORVANE_FLAGS_FRAME), "+"));
            frames_or |= w;
            ++k;
        }
    }
    const bool read_back = j.value("block_read_back_equal", false);

    module_outcome o;
    o.module = module;
    add_reasons(o.reasons, gain, ORVANE_FLAGS_FRAME);
    add_reasons(o.reasons, frames_or, ORVANE_FLAGS_FRAME);
    add_reasons(o.reasons, dcc, ORVANE_FLAGS_DCC_MAP);
    if (!read_back) o.reasons.push_back("block_read_back");
    o.verdict = verdict.pass ? "PASS" : "FAIL";
    o.root_cause = verdict.root ? acceptance::stage_id(*verdict.root) : "";

    const std::vector<double> dccs = grid_values(j.value("dcc_lens_per_px", io::json()));
    const std::vector<double> peaks = grid_values(j.value("peak_lens", io::json()));
    const io::json fit = j.value("fit_flags", io::json());
    int flagged = 0;
    for (double f : grid_values(fit)) flagged += f != 0.0;
    const spread d = spread_of(dccs), p = spread_of(peaks);
    io::json residual = j.value("gain_residual", io::json::object());
    auto number = [](const io::json& v) {
        return v.is_number() ? fixed(v.get<double>(), 5) : std::string("nan");
    };

    const std::vector<std::string> fields = {
        module,
        o.verdict,
        o.root_cause,
        joined(verdict.root_checks(), " "),
        joined(o.reasons, " "),
        hex_word(gain),
        flag_names(gain, false),
        joined(frame_words, " "),
        frame_names.empty() ? "none" : joined(frame_names, " "),
        hex_word(dcc),
        flag_names(dcc, true),
        std::to_string(dccs.size()),
        std::to_string(flagged),
        fixed(d.min, 4),
        fixed(d.median, 4),
        fixed(d.max, 4),
        fixed(p.min, 1),
        fixed(p.median, 1),
        fixed(p.max, 1),
        number(residual.value("median", io::json())),
        number(residual.value("worst", io::json())),
        read_back ? "equal" : "mismatch",
        "",
        fixed(runtime, 3),
    };
    o.row = row_text(fields);
    return o;
}

module_outcome error_outcome(const std::string& module, const std::string& error, double runtime) {
    module_outcome o;
    o.module = module;
    o.verdict = "ERROR";
    o.root_cause = "error";
    o.reasons = {"error"};
    o.error = one_line(error);
    std::vector<std::string> fields(kColumns, "");
    fields[0] = module;
    fields[1] = o.verdict;
    fields[2] = o.root_cause;
    fields[4] = "error";
    fields[kColumns - 2] = o.error;
    fields[kColumns - 1] = fixed(runtime, 3);
    o.row = row_text(fields);
    return o;
}

std::string yield_summary(const std::vector<module_outcome>& outcomes,
                          const std::string& acceptance) {
    size_t pass = 0, fail = 0, errors = 0;
    std::map<std::string, size_t> by_cause;
    for (const module_outcome& m : outcomes) {
        pass += m.verdict == "PASS";
        fail += m.verdict == "FAIL";
        errors += m.verdict == "ERROR";
        if (m.verdict == "FAIL") ++by_cause[m.root_cause];
    }
    const double n = static_cast<double>(std::max<size_t>(outcomes.size(), 1));
    const auto line = [&](const char* label, size_t count, const std::string& note) {
        char t[160];
        std::snprintf(t, sizeof t, "  %-24s %5zu  %5.1f%%%s\n", label, count,
                      100.0 * static_cast<double>(count) / n, note.c_str());
        return std::string(t);
    };
    std::string text =
        line("PASS", pass,
             acceptance.empty() ? "  (yield)" : "  (yield; acceptance: " + acceptance + ")") +
        line("FAIL", fail, "") +
        line("ERROR", errors, "  (not calibrated: bad files or a refused set)");
    if (!by_cause.empty()) {
        // Each failed module counts once, under the stage that failed first.
        text += "Failed modules by root cause:\n";
        for (int s = 0; s < acceptance::kStages; ++s) {
            const auto stage = static_cast<acceptance::stage>(s);
            const auto it = by_cause.find(acceptance::stage_id(stage));
            if (it != by_cause.end()) text += line(acceptance::stage_title(stage), it->second, "");
        }
    }
    return text;
}

std::vector<module_outcome> outcomes_from_table(const std::string& text,
                                                const std::string& source) {
    // Fields are quoted only when they hold a comma or a quote; a row is one line.
    const auto fields_of = [](const std::string& row) {
        std::vector<std::string> fields(1);
        bool quoted = false;
        for (size_t i = 0; i < row.size(); ++i) {
            const char c = row[i];
            if (quoted && c == '"' && i + 1 < row.size() && row[i + 1] == '"') {
                fields.back() += '"';
                ++i;
            } else if (c == '"') {
                quoted = !quoted;
            } else if (c == ',' && !quoted) {
                fields.emplace_back();
            } else {
                fields.back() += c;
            }
        }
        return fields;
    };
    std::vector<module_outcome> out;
    size_t start = 0;
    bool header = true;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string row = text.substr(start, end - start);
        start = end + 1;
        if (header) {
            if (row != lot_table_header())
                throw io::io_error(source + ": not a lot table of this version of orvane batch");
            header = false;
            continue;
        }
        const std::vector<std::string> f = fields_of(row);
        if (f.size() != kColumns) throw io::io_error(source + ": a row without " +
                                                     std::to_string(kColumns) + " fields");
        module_outcome m;
        m.module = f[0];
        m.verdict = f[1];
        m.root_cause = f[2];
        out.push_back(std::move(m));
    }
    if (header) throw io::io_error(source + ": empty");
    return out;
}

std::string lot_table_header() {
    static const char* const kNames[kColumns] = {"module",
                                                 "verdict",
                                                 "root_cause",
                                                 "failed_checks",
                                                 "reasons",
                                                 "gain_status",
                                                 "gain_flags",
                                                 "frame_status",
                                                 "frame_flags",
                                                 "dcc_status",
                                                 "dcc_flags",
                                                 "windows",
                                                 "flagged_windows",
                                                 "dcc_min",
                                                 "dcc_median",
                                                 "dcc_max",
                                                 "peak_lens_min",
                                                 "peak_lens_median",
                                                 "peak_lens_max",
                                                 "gain_residual_median",
                                                 "gain_residual_worst",
                                                 "block_read_back",
                                                 "error",
                                                 "runtime_s"};
    std::string h;
    for (int i = 0; i < kColumns; ++i) h += (i ? "," : "") + std::string(kNames[i]);
    return h;
}

}  // namespace orvane_tool
