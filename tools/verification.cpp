#include "verification.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <stdexcept>

#include "io/capture_io.h"
#include "io/fields.h"
#include "io/files.h"
#include "orvane.h"
#include "run.h"

namespace orvane_tool {
namespace {

namespace fs = std::filesystem;

std::string in_dir(const std::string& dir, const char* name) {
    return (fs::path(dir) / name).string();
}

std::string grid_text(int cols, int rows) {
    return std::to_string(cols) + " x " + std::to_string(rows);
}

class context_owner {
public:
    explicit context_owner(const cal_settings& s) : ctx_(Orvane_create(&s)) {
        if (!ctx_) throw std::runtime_error("Orvane_create failed (out of memory?)");
    }
    ~context_owner() { Orvane_destroy(ctx_); }
    context_owner(const context_owner&) = delete;
    context_owner& operator=(const context_owner&) = delete;
    cal_context* get() const { return ctx_; }

private:
    cal_context* ctx_;
};

const char* intake_name(layout kind) {
    switch (kind) {
        case layout::vertical:
            return "Orvane_add_raw_vertical";
        case layout::dual:
            return "Orvane_add_raw_2pd";
        default:
            return "Orvane_add_raw";
    }
}

verify_stats stats_of(std::vector<double> abs_errors, int step) {
    verify_stats s;
    s.counted = static_cast<int>(abs_errors.size());
    if (abs_errors.empty()) return s;
    std::sort(abs_errors.begin(), abs_errors.end());
    for (double e : abs_errors) s.within_step += e <= step ? 1 : 0;
    const size_t n = abs_errors.size();
    s.share = static_cast<double>(s.within_step) / static_cast<double>(n);
    s.median = n % 2 ? abs_errors[n / 2] : 0.5 * (abs_errors[n / 2 - 1] + abs_errors[n / 2]);
    // Nearest rank: the smallest error at least 95% of the samples do not exceed.
    const size_t rank = static_cast<size_t>(std::ceil(0.95 * static_cast<double>(n)));
    s.p95 = abs_errors[std::max<size_t>(rank, 1) - 1];
    return s;
}

// Non-finite errors (a NaN disparity) count as misses.
double finite_or_inf(double v) {
    return std::isfinite(v) ? v : INFINITY;
}

}  // namespace

calibration_files load_calibration(const std::string& dir) {
    calibration_files c;
    c.dir = dir;
    c.block_path = in_dir(dir, "calibration_block.bin");
    c.cof_path = in_dir(dir, "curve_of_field_block.bin");
    c.dump_path = in_dir(dir, "state_dump.bin");
    c.summary_path = in_dir(dir, "summary.json");
    std::error_code ec;

    if (!fs::is_regular_file(c.block_path, ec))
        throw io::io_error(c.block_path +
                           ": missing: the calibration folder has no calibration block");
    c.block = io::parse_block(io::read_file(c.block_path), c.block_path);
    if (c.block.kind == io::block_kind::curve_of_field)
        throw io::io_error(c.block_path + ": a curve-of-field block, not a calibration block");
    if (!c.block.intact)
        throw io::io_error(c.block_path + ": damaged: format tag or checksum wrong");

    if (!fs::is_regular_file(c.cof_path, ec))
        throw io::io_error(c.cof_path +
                           ": missing: the calibration folder has no curve-of-field block");
    c.cof = io::parse_block(io::read_file(c.cof_path), c.cof_path);
    if (c.cof.kind != io::block_kind::curve_of_field)
        throw io::io_error(c.cof_path + ": a calibration block, not a curve-of-field block");
    if (!c.cof.intact) throw io::io_error(c.cof_path + ": damaged: format tag or checksum wrong");

    if (fs::is_regular_file(c.dump_path, ec)) {
        c.dump = io::parse_state_dump(io::read_file(c.dump_path), c.dump_path);
    }
    if (fs::is_regular_file(c.summary_path, ec)) {
        const io::json s = io::read_json_file(c.summary_path);
        if (s.is_object() && s.contains("layout") && s["layout"].is_string()) {
            c.kind = io::layout_from_name(s["layout"].get<std::string>(), c.summary_path);
        }
        if (s.is_object() && s.contains("lens_positions") && s["lens_positions"].is_array()) {
            for (const io::json& v : s["lens_positions"]) {
                if (!v.is_number_integer())
                    throw io::io_error(c.summary_path + ": lens_positions: not an integer list");
                c.sweep_lens.push_back(v.get<int32_t>());
            }
        }
    }
    if (c.sweep_lens.size() < 2 && c.dump && c.dump->sweep_frames >= 2) {
        c.sweep_lens.clear();
        const int frames = std::min<int>(c.dump->sweep_frames, ORVANE_FRAME_SLOTS);
        for (int k = 0; k < frames; ++k) c.sweep_lens.push_back(c.dump->slots[k].lens_position);
    }
    return c;
}

verification run_verification(const calibration_files& cal, const capture_set& set,
                              const ground_truth* truth) {
    const io::block& b = cal.block;
    const bool both = b.kind != io::block_kind::calibration;

    // The calibration must describe the set's sensor and measurement.
    if (cal.kind && *cal.kind != set.kind)
        throw io::io_error(cal.summary_path + ": a calibration of the " + layout_name(*cal.kind) +
                           " PD layout; the verification set is " + layout_name(set.kind));
    if (both && set.kind == layout::dual)
        throw io::io_error(cal.block_path +
                           ": a block of the two sparse layouts; the verification set is dual");
    if (b.kind == io::block_kind::calibration_both_no_vdcc && set.kind == layout::vertical)
        throw io::io_error(cal.block_path + ": holds no DCC values of the vertical layout");
    const int cols = std::max(0, static_cast<int>(set.settings.win_cols));
    const int rows = std::max(0, static_cast<int>(set.settings.win_rows));
    if (b.win_cols != cols || b.win_rows != rows)
        throw io::io_error(cal.block_path + ": window grid " + grid_text(b.win_cols, b.win_rows) +
                           "; the verification set's settings have " + grid_text(cols, rows));
    if (cal.cof.win_cols != cols || cal.cof.win_rows != rows)
        throw io::io_error(cal.cof_path + ": window grid " +
                           grid_text(cal.cof.win_cols, cal.cof.win_rows) +
                           "; the verification set's settings have " + grid_text(cols, rows));
    if (cal.dump) {
        const io::state_dump& d = *cal.dump;
        if (d.win_cols != cols || d.win_rows != rows)
            throw io::io_error(cal.dump_path + ": window grid " +
                               grid_text(d.win_cols, d.win_rows) +
                               "; the verification set's settings have " + grid_text(cols, rows));
        if (d.max_shift != set.settings.max_shift || d.win_margin != set.settings.win_margin) {
            char text[256];
            std::snprintf(text, sizeof text,
                          ": calibrated with a %d px search range and a window margin of %g; the "
                          "verification set's settings have %d px and %g",
                          d.max_shift, static_cast<double>(d.win_margin), set.settings.max_shift,
                          static_cast<double>(set.settings.win_margin));
            throw io::io_error(cal.dump_path + text);
        }
    }
    const size_t frames = set.sweep.size();
    if (frames == 0 || frames > ORVANE_FRAME_SLOTS)
        throw std::runtime_error("verification set: " + std::to_string(frames) +
                                 " frames, the library takes 1 to " +
                                 std::to_string(ORVANE_FRAME_SLOTS));
    const uint64_t samples = uint64_t{set.width} * set.height;
    for (size_t k = 0; k < frames; ++k) {
        const frame& f = set.sweep[k];
        const bool ok = set.kind == layout::dual
                            ? f.left.size() == samples && f.right.size() == samples
                            : f.raw.size() == samples && set.width == set.cfg.image_width &&
                                  set.height == set.cfg.image_height;
        if (!ok)
            throw std::runtime_error(
                "verification set: frame " + std::to_string(k) + " is not " +
                grid_text(static_cast<int>(set.width), static_cast<int>(set.height)) +
                " samples of the sensor configuration");
    }

    verification v;
    v.kind = set.kind;
    v.win_cols = cols;
    v.win_rows = rows;
    v.dcc_shift = b.dcc_shift;
    v.corrected = cal.dump.has_value();
    const size_t windows = static_cast<size_t>(cols) * static_cast<size_t>(rows);

    if (cal.sweep_lens.size() >= 2) {
        const int64_t step = std::abs(int64_t{cal.sweep_lens[1]} - cal.sweep_lens[0]);
        v.lens_step = static_cast<int>(std::min<int64_t>(step, 65535));
        v.lens_step_source = "the calibration sweep";
    } else if (truth) {
        v.lens_step = truth->lens_step;
        v.lens_step_source = "the ground truth";
    }
    if (v.lens_step <= 0)
        throw io::io_error(cal.dir +
                           ": cannot tell the calibration's lens step (no state_dump.bin or "
                           "summary.json with the sweep, no ground truth)");
    v.with_truth = truth && truth->win_cols == cols && truth->win_rows == rows &&
                   truth->in_focus_lens.size() == windows;

    // The calibration's gain map for the set's layout.
    gainmap gains{};
    gains.version = 4;
    gains.cols = b.cols;
    gains.rows = b.rows;
    std::copy(b.left.begin(), b.left.end(), gains.left);
    std::copy(b.right.begin(), b.right.end(), gains.right);
    const auto& first_v = both ? b.left_v : b.left;
    const auto& second_v = both ? b.right_v : b.right;
    std::copy(first_v.begin(), first_v.end(), gains.left_v);
    std::copy(second_v.begin(), second_v.end(), gains.right_v);
    const std::vector<int16_t>& dcc = set.kind == layout::vertical && both ? b.dcc_v : b.dcc;

    for (const frame& f : set.sweep) v.lens.push_back(f.lens_position);
    // The library's sweep wants rising lens positions with frame indexes 0, 1, ...:
    // the intake pass takes the frames sorted, frame k at index rank[k].
    std::vector<size_t> order(frames);
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t c) { return v.lens[a] < v.lens[c]; });
    std::vector<size_t> rank(frames);
    for (size_t r = 0; r < frames; ++r) rank[order[r]] = r;

    // Intake pass into a fresh context: per-frame PD and flags of every
    // window, and the sweep's own contrast peaks.
    io::state_dump sweep{};
    std::vector<uint32_t> intake_status(frames, 0);
    {
        cal_settings s = set.settings;
        s.sweep_frames = static_cast<int8_t>(frames);
        s.trim_frames = 0;
        const context_owner ctx(s);
        std::vector<uint16_t> left, right;
        for (size_t r = 0; r < frames; ++r) {
            const size_t k = order[r];
            const frame& f = set.sweep[k];
            const auto index = static_cast<int32_t>(r);
            uint32_t status = 0;
            switch (set.kind) {
                case layout::horizontal:
                    status = Orvane_add_raw(ctx.get(), index, f.lens_position, f.raw.data(),
                                            &set.cfg, &gains);
                    break;
                case layout::vertical:
                    status = Orvane_add_raw_vertical(ctx.get(), index, f.lens_position,
                                                     f.raw.data(), &set.cfg, &gains);
                    break;
                case layout::dual:
                    left = f.left;
                    right = f.right;
                    status = Orvane_add_raw_2pd(ctx.get(), index, f.lens_position, left.data(),
                                                right.data(), static_cast<int32_t>(set.width),
                                                static_cast<int32_t>(set.height), set.black_level,
                                                &gains, static_cast<float>(f.lens_position));
                    break;
            }
            if (status == ORVANE_HARD_FAILURE)
                throw std::runtime_error(std::string(intake_name(set.kind)) +
                                         " refused verification frame " + std::to_string(k) +
                                         " (hard failure)");
            intake_status[k] = status;
        }
        const io::temporary_file dump("a state dump");
        dccmap unused{};
        v.sweep_dcc_status = Orvane_get_dccmap(ctx.get(), &unused, dump.path().c_str());
        sweep = io::parse_state_dump(io::read_file(dump.path()), "the verification sweep's dump");
    }

    // Disparities through the layout's readout where it has one.
    std::vector<std::vector<float>> pd(frames, std::vector<float>(windows, 0.0f));
    if (set.kind == layout::vertical) {
        v.pd_source = "Orvane_add_raw_vertical (intake pass)";
        for (size_t k = 0; k < frames; ++k)
            for (size_t w = 0; w < windows; ++w) pd[k][w] = sweep.slots[rank[k]].pd[w];
        v.frame_status = intake_status;
    } else {
        v.pd_source = set.kind == layout::dual ? "Orvane_get_raw_pd_2pd" : "Orvane_get_raw_pd";
        const context_owner ctx(set.settings);
        std::vector<uint16_t> left, right;
        for (size_t k = 0; k < frames; ++k) {
            const frame& f = set.sweep[k];
            pd_map map{};
            uint32_t status = 0;
            if (set.kind == layout::dual) {
                left = f.left;
                right = f.right;
                status = Orvane_get_raw_pd_2pd(
                    ctx.get(), left.data(), right.data(), static_cast<int32_t>(set.width),
                    static_cast<int32_t>(set.height), set.black_level, &gains, &map);
            } else {
                status = Orvane_get_raw_pd(ctx.get(), f.raw.data(), &set.cfg, &gains, &map);
            }
            if (status == ORVANE_HARD_FAILURE || map.cols != cols || map.rows != rows)
                throw std::runtime_error(v.pd_source + " refused verification frame " +
                                         std::to_string(k));
            v.frame_status.push_back(status);
            for (size_t w = 0; w < windows; ++w) {
                pd[k][w] = map.pd[w];
                const float intake = sweep.slots[rank[k]].pd[w];
                if (std::memcmp(&intake, &map.pd[w], sizeof intake) != 0) ++v.readout_mismatches;
            }
        }
    }

    // Predictions, window by window.
    v.windows.resize(windows);
    for (size_t w = 0; w < windows; ++w) {
        verify_window& vw = v.windows[w];
        vw.dcc = std::ldexp(static_cast<double>(dcc[w]), -v.dcc_shift);
        vw.sweep_peak = sweep.peak_lens[w];
        vw.calibration_peak = cal.cof.peak_lens[w];
        vw.zero_pd_offset = cal.dump ? cal.dump->zero_pd_offset[w] : 0;
        vw.reference = v.with_truth ? static_cast<double>(truth->in_focus_lens[w]) : vw.sweep_peak;
    }
    const float edge = static_cast<float>(set.settings.max_shift);
    std::vector<double> headline, uncorrected;
    for (size_t k = 0; k < frames; ++k) {
        for (size_t w = 0; w < windows; ++w) {
            verify_window& vw = v.windows[w];
            verify_sample s;
            s.frame = static_cast<int>(k);
            s.window = static_cast<int>(w);
            s.lens = v.lens[k];
            s.pd = pd[k][w];
            s.flags = sweep.slots[rank[k]].flags[w];
            s.at_edge = (s.flags & ORVANE_PD_AT_EDGE) != 0 || std::fabs(s.pd) >= edge;
            s.predicted = s.lens - vw.dcc * static_cast<double>(s.pd);
            s.corrected = s.predicted - vw.zero_pd_offset;
            s.reference = vw.reference;
            s.error_uncorrected = finite_or_inf(s.predicted - s.reference);
            s.error = v.corrected ? finite_or_inf(s.corrected - s.reference) : s.error_uncorrected;
            if (s.at_edge) {
                ++vw.at_edge;
                ++v.at_edge;
            } else {
                const double e = std::fabs(s.error);
                vw.mean_abs_error += e;
                vw.worst_abs_error = std::max(vw.worst_abs_error, e);
                ++vw.counted;
                headline.push_back(e);
                uncorrected.push_back(std::fabs(s.error_uncorrected));
            }
            v.samples.push_back(s);
        }
    }
    for (verify_window& vw : v.windows)
        if (vw.counted) vw.mean_abs_error /= vw.counted;
    v.headline = stats_of(headline, v.lens_step);
    v.uncorrected = stats_of(uncorrected, v.lens_step);
    return v;
}

void print_verification(std::FILE* out, const verification& v) {
    const double step = v.lens_step;
    std::fprintf(out, "%4s %3s %3s  %8s %7s %7s %7s %6s  %8s %8s %6s %6s  %s\n", "win", "row",
                 "col", "DCC", v.with_truth ? "in-foc" : "sweep", "cal-pk",
                 v.with_truth ? "sweep" : "", "zoff", "mean|e|", "worst|e|", "mean", "worst",
                 "edge");
    const int cols = std::max(1, v.win_cols);
    for (size_t w = 0; w < v.windows.size(); ++w) {
        const verify_window& vw = v.windows[w];
        const int row = static_cast<int>(w) / cols, col = static_cast<int>(w) % cols;
        char third[16] = "";
        if (v.with_truth) std::snprintf(third, sizeof third, "%d", vw.sweep_peak);
        std::fprintf(out,
                     "%4zu %3d %3d  %8.3f %7.1f %7d %7s %+6d  %8.1f %8.1f %6.2f %6.2f  %d/%d\n", w,
                     row, col, vw.dcc, vw.reference, vw.calibration_peak, third, vw.zero_pd_offset,
                     vw.mean_abs_error, vw.worst_abs_error, vw.mean_abs_error / step,
                     vw.worst_abs_error / step, vw.at_edge, vw.counted + vw.at_edge);
    }
    std::fprintf(out,
                 "  %s = the reference focus; cal-pk = the calibration's curve of field;%s\n"
                 "  zoff = zero_pd_lens - peak_lens of the calibration; |e| = |prediction - "
                 "reference| over the\n  frames inside the search range, in lens units, then "
                 "in lens steps of %d; edge = frames at the search edge.\n",
                 v.with_truth ? "in-foc (ground truth)" : "sweep (contrast peak of this sweep)",
                 v.with_truth ? " sweep = contrast peak of this sweep;" : "", v.lens_step);

    const verify_stats& h = v.headline;
    std::fprintf(out, "\nVerification over %zu window-frames (%zu windows x %zu frames, lens",
                 v.samples.size(), v.windows.size(), v.lens.size());
    for (int32_t l : v.lens) std::fprintf(out, " %d", l);
    std::fprintf(out, "), PD from %s, reference %s:\n", v.pd_source.c_str(),
                 v.with_truth ? "ground truth" : "contrast peak of the verification sweep");
    std::fprintf(out,
                 "  %s  one-shot prediction%s within one lens step (%d) in %d of %d window-frames "
                 "inside the search range, %.1f%% (target >= 90%%)\n",
                 v.pass() ? "PASS" : "FAIL", v.corrected ? " with the zero-PD offset" : "",
                 v.lens_step, h.within_step, h.counted, 100.0 * h.share);
    std::fprintf(
        out, "        |error| median %.1f, 95th percentile %.1f lens units (%.2f, %.2f steps)\n",
        h.median, h.p95, h.median / step, h.p95 / step);
    if (v.corrected) {
        const verify_stats& u = v.uncorrected;
        std::fprintf(out,
                     "        without the offset: %.1f%% within one step, |error| median %.1f, "
                     "95th percentile %.1f\n",
                     100.0 * u.share, u.median, u.p95);
    } else {
        std::fprintf(out, "        (no state dump: predictions without the zero-PD offset)\n");
    }
    std::fprintf(out, "        %d window-frames with the disparity at the search edge, left out\n",
                 v.at_edge);
    if (v.readout_mismatches)
        std::fprintf(out, "        %d window-frames where the readout and the intake disagree\n",
                     v.readout_mismatches);
}

io::json verification_json(const verification& v) {
    auto stats = [](const verify_stats& s) {
        io::json j = io::json::object();
        j["window_frames"] = s.counted;
        j["within_one_step"] = s.within_step;
        j["share"] = io::float_json(static_cast<float>(s.share));
        j["median_abs_error"] = io::float_json(static_cast<float>(s.median));
        j["p95_abs_error"] = io::float_json(static_cast<float>(s.p95));
        return j;
    };
    io::json j = io::json::object();
    j["layout"] = layout_name(v.kind);
    j["win_cols"] = v.win_cols;
    j["win_rows"] = v.win_rows;
    j["lens_step"] = v.lens_step;
    j["reference"] = v.with_truth ? "ground truth" : "contrast peak";
    j["pd_source"] = v.pd_source;
    j["zero_pd_offset_corrected"] = v.corrected;
    j["lens_positions"] = v.lens;
    j["frame_status"] = v.frame_status;
    j["sweep_dcc_status"] = v.sweep_dcc_status;
    j["readout_mismatches"] = v.readout_mismatches;
    j["at_edge"] = v.at_edge;
    io::json summary = stats(v.headline);
    summary["pass"] = v.pass();
    j["summary"] = std::move(summary);
    j["uncorrected"] = stats(v.uncorrected);
    io::json windows = io::json::array();
    for (const verify_window& vw : v.windows) {
        io::json w = io::json::object();
        w["dcc"] = io::float_json(static_cast<float>(vw.dcc));
        w["reference"] = io::float_json(static_cast<float>(vw.reference));
        w["sweep_peak"] = vw.sweep_peak;
        w["calibration_peak"] = vw.calibration_peak;
        w["zero_pd_offset"] = vw.zero_pd_offset;
        w["frames"] = vw.counted;
        w["at_edge"] = vw.at_edge;
        w["mean_abs_error"] = io::float_json(static_cast<float>(vw.mean_abs_error));
        w["worst_abs_error"] = io::float_json(static_cast<float>(vw.worst_abs_error));
        windows.push_back(std::move(w));
    }
    j["windows"] = std::move(windows);
    io::json list = io::json::array();
    for (const verify_sample& s : v.samples) {
        io::json e = io::json::object();
        e["frame"] = s.frame;
        e["window"] = s.window;
        e["lens"] = s.lens;
        e["pd"] = io::float_json(s.pd);
        e["at_edge"] = s.at_edge;
        e["predicted"] = io::float_json(static_cast<float>(s.predicted));
        e["corrected"] = io::float_json(static_cast<float>(s.corrected));
        e["reference"] = io::float_json(static_cast<float>(s.reference));
        e["error"] = io::float_json(static_cast<float>(s.error));
        list.push_back(std::move(e));
    }
    j["samples"] = std::move(list);
    return j;
}

void write_verification(const std::string& dir, const verification& v) {
    const std::string text = io::json_text(verification_json(v));
    io::staged_files out(dir);
    out.add("verify.json", text);
    out.commit();
}

}  // namespace orvane_tool
