// The verification's table, verdict and verify.json.
#include <algorithm>

#include "io/fields.h"
#include "io/files.h"
#include "pipeline/verification.h"

namespace orvane_tool {

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
    if (v.corrected) std::fprintf(out, "        zero-PD offsets from %s\n", v.offset_source.c_str());
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
        std::fprintf(out,
                     "        (no zero-PD offset block or state dump: predictions without the "
                     "zero-PD offset)\n");
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
    j["zero_pd_offset_source"] = v.offset_source;
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
