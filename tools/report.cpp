#include "report.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <vector>

namespace orvane_tool {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

void write_bytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

void write_json(const fs::path& path, const json& j) {
    std::ofstream out(path, std::ios::trunc);
    out << j.dump(2) << '\n';
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::vector<uint16_t> table(const uint16_t* t, int n) { return std::vector<uint16_t>(t, t + n); }

// Per-window and per-frame flags of the table, in one column.
std::string window_flag_text(const window_state& w) {
    std::string text;
    if (w.frame_flags) text = flag_names(w.frame_flags, false);
    if (w.fit_flags) text += (text.empty() ? "" : " ") + flag_names(w.fit_flags, true);
    return text.empty() ? "none" : text;
}

}  // namespace

double dcc_value(int16_t fixed, int shift) {
    return std::ldexp(static_cast<double>(fixed), -shift);
}

accuracy assess(const calibration_result& r, const ground_truth& truth) {
    accuracy a;
    const size_t n = std::min({r.windows.size(), truth.dcc.size(), truth.in_focus_lens.size()});
    a.windows = static_cast<int>(n);
    std::vector<double> errors;
    for (size_t w = 0; w < n; ++w) {
        const window_state& ws = r.windows[w];
        const double found = dcc_value(ws.dcc, r.dcc_shift);
        const double real = truth.dcc[w];
        errors.push_back(std::fabs(found - real) / std::fabs(real));
        if (!(found * real > 0.0)) ++a.sign_errors;
        if (std::fabs(ws.peak_lens - static_cast<double>(truth.in_focus_lens[w])) <=
            truth.lens_step) {
            ++a.peaks_within_step;
        }
    }
    if (n > 0) {
        std::sort(errors.begin(), errors.end());
        a.median_dcc_error = n % 2 ? errors[n / 2] : 0.5 * (errors[n / 2 - 1] + errors[n / 2]);
        a.max_dcc_error = errors.back();
        a.peak_fraction = static_cast<double>(a.peaks_within_step) / static_cast<double>(n);
    }

    // A raised bit is explained when the table shows the windows behind it.
    a.flags = r.all_flags();
    uint32_t frame_bits = 0, fit_bits = 0;
    for (const window_state& ws : r.windows) {
        frame_bits |= ws.frame_flags;
        fit_bits |= ws.fit_flags;
    }
    uint32_t unexplained =
        (r.gain_status == ORVANE_HARD_FAILURE ? ORVANE_HARD_FAILURE : r.gain_status);
    for (uint32_t s : r.frame_status) {
        unexplained |= s == ORVANE_HARD_FAILURE ? s : (s & ~frame_bits);
    }
    unexplained |= r.dcc_status & ~fit_bits;
    if (!r.read_back_equal) unexplained |= ORVANE_HARD_FAILURE;
    a.unexplained = unexplained;
    return a;
}

void print_window_table(std::FILE* out, const calibration_result& r, const ground_truth& truth) {
    std::fprintf(out, "%4s %3s %3s  %9s %9s %7s  %6s %7s %6s  %-5s %s\n", "win", "row", "col",
                 "DCC", "true DCC", "error", "peak", "in-foc", "diff", "conf", "flags");
    const size_t n = std::min(r.windows.size(), truth.dcc.size());
    for (size_t w = 0; w < n; ++w) {
        const window_state& ws = r.windows[w];
        const double found = dcc_value(ws.dcc, r.dcc_shift);
        const double real = truth.dcc[w];
        const double focus = truth.in_focus_lens[w];
        int conf = 1024;
        for (int16_t c : ws.confidence) conf = std::min<int>(conf, c);
        const int cols = std::max(1, r.win_cols);
        std::fprintf(out, "%4zu %3d %3d  %9.3f %9.3f %+6.1f%%  %6d %7.1f %+6.1f  %-5d %s\n", w,
                     static_cast<int>(w) / cols, static_cast<int>(w) % cols, found, real,
                     100.0 * (found - real) / real, ws.peak_lens, focus, ws.peak_lens - focus,
                     ws.confidence.empty() ? 0 : conf, window_flag_text(ws).c_str());
    }
    std::fprintf(
        out,
        "  DCC in lens units per pixel of disparity; peak = peak_lens (curve-of-field block);"
        "\n  conf = lowest PD confidence over the sweep; flags: per-frame window flags, then"
        "\n  the DCC map checks the window fails.\n");
}

void print_summary(std::FILE* out, const calibration_result& r, const accuracy& a) {
    auto verdict = [](bool pass) { return pass ? "PASS" : "FAIL"; };
    std::fprintf(out, "Accuracy over %d windows:\n", a.windows);
    std::fprintf(out,
                 "  %s  median |DCC error| %.2f%% of the true DCC (target <= 5%%; worst %.2f%%)\n",
                 verdict(a.dcc_pass()), 100.0 * a.median_dcc_error, 100.0 * a.max_dcc_error);
    std::fprintf(out, "  %s  DCC sign wrong in %d windows (target 0)\n", verdict(a.sign_pass()),
                 a.sign_errors);
    std::fprintf(
        out, "  %s  peak_lens within one lens step in %d of %d windows, %.0f%% (target >= 90%%)\n",
        verdict(a.peak_pass()), a.peaks_within_step, a.windows, 100.0 * a.peak_fraction);
    std::string raised = flag_names(a.flags, false);
    if (a.flags & 0x80u) raised += " (0x80: per-frame invalid-roi or DCC map not-monotonic)";
    std::fprintf(out, "  %s  status flags raised: %s%s%s\n", verdict(a.flags_pass()),
                 raised.c_str(), a.flags && !a.unexplained ? "; every one shown in the table" : "",
                 a.unexplained
                     ? ("; not explained by the table: " + flag_names(a.unexplained, false)).c_str()
                     : "");
    std::fprintf(
        out, "  block read back: %s\n",
        r.read_back_equal ? "status 0, records write the identical block" : "MISMATCH or rejected");
}

void write_outputs(const std::string& dir, const capture_set& cs, const calibration_result& r,
                   const ground_truth& truth, const accuracy& a) {
    const fs::path root(dir);
    fs::create_directories(root);
    write_bytes(root / "calibration_block.bin", r.block);
    write_bytes(root / "curve_of_field_block.bin", r.cof_block);
    const fs::path dump = root / "state_dump.bin";
    if (!fs::exists(dump) || fs::file_size(dump) != r.state_dump.size())
        write_bytes(dump, r.state_dump);

    const int cells = std::min<int>(r.gains.cols * r.gains.rows, ORVANE_MAX_GAIN_CELLS);
    json gains = {{"version", r.gains.version},
                  {"cols", r.gains.cols},
                  {"rows", r.gains.rows},
                  {"unity", 512},
                  {"status", r.gain_status}};
    if (cs.kind == layout::vertical) {
        gains["left_v"] = table(r.gains.left_v, cells);
        gains["right_v"] = table(r.gains.right_v, cells);
    } else {
        gains["left"] = table(r.gains.left, cells);
        gains["right"] = table(r.gains.right, cells);
    }
    write_json(root / "gainmap.json", gains);

    const int windows = std::min<int>(r.dcc.win_cols * r.dcc.win_rows, ORVANE_MAX_DCC_WINDOWS);
    json dcc = {{"version", r.dcc.version},         {"dcc_shift", r.dcc.dcc_shift},
                {"win_cols", r.dcc.win_cols},       {"win_rows", r.dcc.win_rows},
                {"status", r.dcc_status},           {"dcc", json::array()},
                {"dcc_lens_per_px", json::array()}, {"peak_lens", json::array()}};
    for (int w = 0; w < windows; ++w) {
        dcc["dcc"].push_back(r.dcc.dcc[w]);
        dcc["dcc_lens_per_px"].push_back(dcc_value(r.dcc.dcc[w], r.dcc.dcc_shift));
        if (static_cast<size_t>(w) < r.windows.size()) {
            dcc["peak_lens"].push_back(r.windows[static_cast<size_t>(w)].peak_lens);
        }
    }
    write_json(root / "dccmap.json", dcc);

    json gt = {{"layout", layout_name(cs.kind)},
               {"win_rows", truth.win_rows},
               {"win_cols", truth.win_cols},
               {"lens_step", truth.lens_step},
               {"dcc", truth.dcc},
               {"in_focus_lens", truth.in_focus_lens}};
    write_json(root / "ground_truth.json", gt);

    json summary = {{"layout", layout_name(cs.kind)},
                    {"windows", a.windows},
                    {"median_dcc_error", a.median_dcc_error},
                    {"max_dcc_error", a.max_dcc_error},
                    {"sign_errors", a.sign_errors},
                    {"peaks_within_step", a.peaks_within_step},
                    {"flags", a.flags},
                    {"unexplained_flags", a.unexplained},
                    {"frame_status", r.frame_status},
                    {"gain_status", r.gain_status},
                    {"dcc_status", r.dcc_status},
                    {"block_read_back_equal", r.read_back_equal},
                    {"pass", a.all_pass()}};
    write_json(root / "summary.json", summary);
}

}  // namespace orvane_tool
