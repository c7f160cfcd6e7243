#include "pipeline/outputs.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "io/flags.h"
#include "io/fields.h"
#include "io/files.h"
#include "io/records.h"

namespace orvane_tool {
namespace {

// Per-window values as a row-major grid of the window layout.
template <class F>
io::json window_grid(const calibration_result& r, F&& value) {
    io::json grid = io::json::array();
    const size_t cols = static_cast<size_t>(std::max(1, r.win_cols));
    for (size_t w = 0; w < r.windows.size(); w += cols) {
        io::json row = io::json::array();
        for (size_t c = w; c < std::min(w + cols, r.windows.size()); ++c)
            row.push_back(value(r.windows[c]));
        grid.push_back(std::move(row));
    }
    return grid;
}

io::json summary_json(const capture_set& cs, const calibration_result& r, bool with_truth,
                      const accuracy& a) {
    io::json j = io::json::object();
    j["layout"] = layout_name(cs.kind);
    j["frame_width"] = cs.width;
    j["frame_height"] = cs.height;
    j["black_level"] = cs.kind == layout::dual ? cs.black_level : cs.cfg.black_level;
    j["lens_positions"] = r.lens;
    j["gain_status"] = r.gain_status;
    j["frame_status"] = r.frame_status;
    j["dcc_status"] = r.dcc_status;
    j["flags"] = a.flags;
    j["unexplained_flags"] = a.unexplained;
    j["block_read_back_equal"] = r.read_back_equal;
    j["win_cols"] = r.win_cols;
    j["win_rows"] = r.win_rows;
    j["dcc_lens_per_px"] = window_grid(r, [&](const window_state& w) {
        return io::float_json(static_cast<float>(dcc_value(w.dcc, r.dcc_shift)));
    });
    j["peak_lens"] = window_grid(r, [](const window_state& w) { return w.peak_lens; });
    j["frame_flags"] = window_grid(r, [](const window_state& w) { return w.frame_flags; });
    j["fit_flags"] = window_grid(r, [](const window_state& w) { return w.fit_flags; });
    {
        // What the DCC map's checks compared, window by window (window_checks.h):
        // not_monotonic: a step against the curve's direction with fit_residual
        // above residual_limit; pd_range_low: pd_range below min_pd_range ("nan":
        // too few frames to check); dcc_deviation: |zero_pd_offset_norm| above
        // dcc_dev_limit; peak_at_end: peak_lens at or beyond the first or last
        // of lens_positions.
        const auto value = [&r](float window_state::*m) {
            return window_grid(r, [m](const window_state& w) { return io::float_json(w.*m); });
        };
        io::json checks = io::json::object();
        checks["residual_limit"] = io::float_json(cs.settings.residual_limit);
        checks["min_pd_range"] = cs.settings.min_pd_range;
        checks["fit_residual"] = value(&window_state::fit_residual);
        checks["pd_range"] = value(&window_state::pd_range);
        checks["zero_pd_offset_norm"] = value(&window_state::zero_pd_offset_norm);
        checks["dcc_dev_limit"] = value(&window_state::dcc_dev_limit);
        j["fit_checks"] = std::move(checks);
    }
    {
        io::json res = io::json::object();
        res["median"] = io::float_json(static_cast<float>(a.residual.median));
        res["worst"] = io::float_json(static_cast<float>(a.residual.worst));
        io::json grid = io::json::array();
        const size_t cols = static_cast<size_t>(std::max(1, r.win_cols));
        for (size_t w = 0; w < a.residual.windows.size(); w += cols) {
            io::json row = io::json::array();
            for (size_t c = w; c < std::min(w + cols, a.residual.windows.size()); ++c)
                row.push_back(io::float_json(static_cast<float>(a.residual.windows[c])));
            grid.push_back(std::move(row));
        }
        res["windows"] = std::move(grid);
        j["gain_residual"] = std::move(res);
    }
    if (with_truth) {
        io::json acc = io::json::object();
        acc["windows"] = a.windows;
        acc["median_dcc_error"] = io::float_json(static_cast<float>(a.median_dcc_error));
        acc["max_dcc_error"] = io::float_json(static_cast<float>(a.max_dcc_error));
        acc["sign_errors"] = a.sign_errors;
        acc["peaks_within_step"] = a.peaks_within_step;
        acc["dcc_error_target"] = io::float_json(static_cast<float>(kDccErrorTarget));
        if (a.one_shot_checked) {
            acc["one_shot_frames"] = a.one_shot_frames;
            acc["one_shot_within_step"] = a.one_shot_within;
            acc["median_one_shot_error"] =
                io::float_json(static_cast<float>(a.median_one_shot_error));
        }
        acc["pass"] = a.all_pass();
        j["accuracy"] = std::move(acc);
    }
    // The records the run used, so that a report of the folder can show them.
    j["settings"] = io::to_json(cs.settings);
    j["limits"] = io::to_json(cs.limits);
    return j;
}

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

namespace {

void assess_one_shot(const calibration_result& r, const ground_truth& truth,
                     const capture_set& cs, accuracy& a) {
    a.one_shot_checked = true;
    const size_t n = std::min({r.windows.size(), truth.dcc.size(), truth.in_focus_lens.size()});
    const double range = search_range_px(cs);
    const bool sparse = cs.kind != layout::dual;
    std::vector<double> errors;
    for (size_t w = 0; w < n; ++w) {
        const window_state& ws = r.windows[w];
        const double dcc = dcc_value(ws.dcc, r.dcc_shift);
        const double offset = sparse ? static_cast<double>(ws.zero_pd_lens) - ws.peak_lens : 0.0;
        const double focus = truth.in_focus_lens[w];
        const double zero = focus + (w < truth.zero_pd_offset.size() ? truth.zero_pd_offset[w] : 0.0);
        for (size_t k = 0; k < ws.pd.size() && k < r.lens.size(); ++k) {
            const double lens = r.lens[k];
            if (!(std::fabs((lens - zero) / truth.dcc[w]) < range)) continue;
            const double predicted = lens - dcc * ws.pd[k] - offset;
            const double error = std::fabs(predicted - focus);
            errors.push_back(error);
            ++a.one_shot_frames;
            if (error <= truth.lens_step) ++a.one_shot_within;
        }
    }
    if (!errors.empty()) {
        std::sort(errors.begin(), errors.end());
        const size_t m = errors.size();
        a.median_one_shot_error = m % 2 ? errors[m / 2] : 0.5 * (errors[m / 2 - 1] + errors[m / 2]);
        a.one_shot_fraction = static_cast<double>(a.one_shot_within) / static_cast<double>(m);
    }
}

}  // namespace

accuracy assess(const calibration_result& r, const ground_truth& truth, const capture_set* cs) {
    accuracy a;
    if (cs) assess_one_shot(r, truth, *cs, a);
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

void print_window_table(std::FILE* out, const calibration_result& r, const ground_truth* truth) {
    if (truth) {
        std::fprintf(out, "%4s %3s %3s  %9s %9s %7s  %6s %7s %6s  %-5s %s\n", "win", "row", "col",
                     "DCC", "true DCC", "error", "peak", "in-foc", "diff", "conf", "flags");
    } else {
        std::fprintf(out, "%4s %3s %3s  %9s  %6s  %-5s %s\n", "win", "row", "col", "DCC", "peak",
                     "conf", "flags");
    }
    size_t n = r.windows.size();
    if (truth) n = std::min({n, truth->dcc.size(), truth->in_focus_lens.size()});
    const int cols = std::max(1, r.win_cols);
    for (size_t w = 0; w < n; ++w) {
        const window_state& ws = r.windows[w];
        const double found = dcc_value(ws.dcc, r.dcc_shift);
        int conf = 1024;
        for (int16_t c : ws.confidence) conf = std::min<int>(conf, c);
        if (ws.confidence.empty()) conf = 0;
        const int row = static_cast<int>(w) / cols, col = static_cast<int>(w) % cols;
        if (truth) {
            const double real = truth->dcc[w];
            const double focus = truth->in_focus_lens[w];
            std::fprintf(out, "%4zu %3d %3d  %9.3f %9.3f %+6.1f%%  %6d %7.1f %+6.1f  %-5d %s\n", w,
                         row, col, found, real, 100.0 * (found - real) / real, ws.peak_lens, focus,
                         ws.peak_lens - focus, conf, window_flag_text(ws).c_str());
        } else {
            std::fprintf(out, "%4zu %3d %3d  %9.3f  %6d  %-5d %s\n", w, row, col, found,
                         ws.peak_lens, conf, window_flag_text(ws).c_str());
        }
    }
    std::fprintf(
        out,
        "  DCC in lens units per pixel of disparity; peak = peak_lens (curve-of-field block);"
        "\n  conf = lowest PD confidence over the sweep; flags: per-frame window flags, then"
        "\n  the DCC map checks the window fails.\n");
}

void print_summary(std::FILE* out, const calibration_result& r, const accuracy& a,
                   bool with_truth) {
    auto verdict = [](bool pass) { return pass ? "PASS" : "FAIL"; };
    if (with_truth) {
        std::fprintf(out, "Accuracy over %d windows:\n", a.windows);
        std::fprintf(
            out, "  %s  median |DCC error| %.2f%% of the true DCC (target <= %.0f%%; worst %.2f%%)\n",
            verdict(a.dcc_pass()), 100.0 * a.median_dcc_error, 100.0 * kDccErrorTarget,
            100.0 * a.max_dcc_error);
        std::fprintf(out, "  %s  DCC sign wrong in %d windows (target 0)\n", verdict(a.sign_pass()),
                     a.sign_errors);
        std::fprintf(
            out,
            "  %s  peak_lens within one lens step in %d of %d windows, %.0f%% (target >= 90%%)\n",
            verdict(a.peak_pass()), a.peaks_within_step, a.windows, 100.0 * a.peak_fraction);
        if (a.one_shot_checked) {
            std::fprintf(out,
                         "  %s  one-shot focus within one lens step in %d of %d window-frames "
                         "inside the search range, %.0f%% (target >= 90%%; median error %.1f)\n",
                         verdict(a.one_shot_pass()), a.one_shot_within, a.one_shot_frames,
                         100.0 * a.one_shot_fraction, a.median_one_shot_error);
        }
    } else {
        std::fprintf(out, "Result over %zu windows (no ground truth to check it against):\n",
                     r.windows.size());
    }
    if (!a.residual.windows.empty()) {
        std::fprintf(out,
                     "  gain map residual (flat field corrected by its own map, left/right - 1 "
                     "per window): median %.2f%%, worst %+.2f%%\n",
                     100.0 * a.residual.median, 100.0 * a.residual.worst);
    }
    std::string raised = flag_names(a.flags, false);
    if (a.flags & 0x80u)
        raised += " (0x80: per-frame " + flag_names(0x80u, false) + " or DCC map " +
                  flag_names(0x80u, true) + ")";
    const std::string unexplained =
        a.unexplained ? "; not explained by the table: " + flag_names(a.unexplained, false) : "";
    std::fprintf(out, "  %s  status flags raised: %s%s%s\n", verdict(a.flags_pass()),
                 raised.c_str(), a.flags && !a.unexplained ? "; every one shown in the table" : "",
                 unexplained.c_str());
    std::fprintf(
        out, "  block read back: %s\n",
        r.read_back_equal ? "status 0, records write the identical block" : "MISMATCH or rejected");
}

std::vector<std::string> output_names(bool with_truth) {
    std::vector<std::string> names = {"calibration_block.bin", "curve_of_field_block.bin",
                                      "zero_pd_offset_block.bin", "state_dump.bin",
                                      "gainmap.json", "dccmap.json"};
    if (with_truth) names.push_back("truth.json");
    names.push_back("summary.json");
    return names;
}

void write_outputs(const std::string& dir, const capture_set& cs, const calibration_result& r,
                   const ground_truth* truth, const accuracy& a) {
    // Everything is encoded before the folder is touched.
    const std::vector<std::string> names = output_names(truth != nullptr);
    std::vector<std::string> texts;
    texts.push_back(io::json_text(io::to_json(r.gains)));
    texts.push_back(io::json_text(io::to_json(r.dcc)));
    if (truth) texts.push_back(io::json_text(io::to_json(*truth)));
    texts.push_back(io::json_text(summary_json(cs, r, truth != nullptr, a)));

    io::staged_files out(dir);
    out.add(names[0], r.block);
    out.add(names[1], r.cof_block);
    out.add(names[2], r.zero_pd_block);
    out.add(names[3], r.state_dump);
    for (size_t i = 0; i < texts.size(); ++i) out.add(names[4 + i], texts[i]);
    // A truth from an earlier run would sit beside results it does not describe.
    if (!truth) out.remove("truth.json");
    out.commit();
}

}  // namespace orvane_tool
