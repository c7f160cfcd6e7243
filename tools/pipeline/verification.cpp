#include "pipeline/verification.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <stdexcept>

#include "io/files.h"
#include "orvane.h"
#include "pipeline/layout_calls.h"

namespace orvane_tool {
namespace {

std::string grid_text(int cols, int rows) {
    return std::to_string(cols) + " x " + std::to_string(rows);
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

// The calibration must describe the set's sensor and measurement; throws
// naming the file that does not.
void check_calibration_fits(const calibration_files& cal, const capture_set& set) {
    const io::block& b = cal.block;
    const bool both = b.kind != io::block_kind::calibration;
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
}

void check_frames(const capture_set& set) {
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
}

// The unit of the target: the calibration sweep's lens step, else the truth's.
void find_lens_step(const calibration_files& cal, const ground_truth* truth, verification& v) {
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
}

// The calibration's gain map for the set's layout.
gainmap gains_of(const io::block& b) {
    const bool both = b.kind != io::block_kind::calibration;
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
    return gains;
}

// The library's sweep wants rising lens positions with frame indexes 0, 1,
// ...: the intake pass takes the frames sorted, frame k at index rank[k].
struct sweep_order {
    std::vector<size_t> order;  // order[r]: the frame at index r
    std::vector<size_t> rank;   // rank[k]: the index of frame k
};

sweep_order order_of(const std::vector<int32_t>& lens) {
    sweep_order s;
    s.order.resize(lens.size());
    std::iota(s.order.begin(), s.order.end(), size_t{0});
    std::stable_sort(s.order.begin(), s.order.end(),
                     [&](size_t a, size_t c) { return lens[a] < lens[c]; });
    s.rank.resize(lens.size());
    for (size_t r = 0; r < lens.size(); ++r) s.rank[s.order[r]] = r;
    return s;
}

// Intake pass into a fresh context: per-frame PD and flags of every window,
// and the sweep's own contrast peaks, as its state dump holds them.
io::state_dump intake_pass(const capture_set& set, const gainmap& gains, const sweep_order& s,
                           std::vector<uint32_t>& intake_status, verification& v) {
    const size_t frames = set.sweep.size();
    const layout_calls& calls = calls_of(set.kind);
    cal_settings settings = set.settings;
    settings.sweep_frames = static_cast<int8_t>(frames);
    settings.trim_frames = 0;
    const context ctx(settings);
    frame scratch;
    intake_status.assign(frames, 0);
    for (size_t r = 0; r < frames; ++r) {
        const size_t k = s.order[r];
        const uint32_t status =
            calls.intake(ctx.get(), static_cast<int32_t>(r), set, set.sweep[k], scratch, gains);
        if (status == ORVANE_HARD_FAILURE)
            throw std::runtime_error(std::string(calls.intake_name) +
                                     " refused verification frame " + std::to_string(k) +
                                     " (hard failure)");
        intake_status[k] = status;
    }
    const io::temporary_file dump("a state dump");
    dccmap unused{};
    v.sweep_dcc_status = Orvane_get_dccmap(ctx.get(), &unused, dump.path().c_str());
    return io::parse_state_dump(io::read_file(dump.path()), "the verification sweep's dump");
}

// Disparities per frame and window, through the layout's readout where it has
// one (counting where the readout and the intake disagree), else the intake's.
std::vector<std::vector<float>> disparities(const capture_set& set, const gainmap& gains,
                                           const sweep_order& s, const io::state_dump& sweep,
                                           const std::vector<uint32_t>& intake_status,
                                           verification& v) {
    const size_t frames = set.sweep.size();
    const size_t windows = static_cast<size_t>(v.win_cols) * static_cast<size_t>(v.win_rows);
    std::vector<std::vector<float>> pd(frames, std::vector<float>(windows, 0.0f));
    const layout_calls& calls = calls_of(set.kind);
    if (!calls.readout) {
        v.pd_source = std::string(calls.intake_name) + " (intake pass)";
        for (size_t k = 0; k < frames; ++k)
            for (size_t w = 0; w < windows; ++w) pd[k][w] = sweep.slots[s.rank[k]].pd[w];
        v.frame_status = intake_status;
        return pd;
    }
    v.pd_source = calls.readout_name;
    const context ctx(set.settings);
    frame scratch;
    for (size_t k = 0; k < frames; ++k) {
        pd_map map{};
        const uint32_t status = calls.readout(ctx.get(), set, set.sweep[k], scratch, gains, &map);
        if (status == ORVANE_HARD_FAILURE || map.cols != v.win_cols || map.rows != v.win_rows)
            throw std::runtime_error(v.pd_source + " refused verification frame " +
                                     std::to_string(k));
        v.frame_status.push_back(status);
        for (size_t w = 0; w < windows; ++w) {
            pd[k][w] = map.pd[w];
            const float intake = sweep.slots[s.rank[k]].pd[w];
            if (std::memcmp(&intake, &map.pd[w], sizeof intake) != 0) ++v.readout_mismatches;
        }
    }
    return pd;
}

// Every window-frame's one-shot prediction against its reference, and the
// statistics over those inside the search range.
void predict(const calibration_files& cal, const capture_set& set, const ground_truth* truth,
             const io::state_dump& sweep, const sweep_order& s,
             const std::vector<std::vector<float>>& pd, verification& v) {
    const io::block& b = cal.block;
    const bool both = b.kind != io::block_kind::calibration;
    const std::vector<int16_t>& dcc = set.kind == layout::vertical && both ? b.dcc_v : b.dcc;
    const size_t frames = set.sweep.size();
    const size_t windows = static_cast<size_t>(v.win_cols) * static_cast<size_t>(v.win_rows);
    v.windows.resize(windows);
    for (size_t w = 0; w < windows; ++w) {
        verify_window& vw = v.windows[w];
        vw.dcc = std::ldexp(static_cast<double>(dcc[w]), -v.dcc_shift);
        vw.sweep_peak = sweep.peak_lens[w];
        vw.calibration_peak = cal.cof.peak_lens[w];
        vw.zero_pd_offset = cal.zero_pd ? cal.zero_pd->offset[w]
                            : cal.dump ? cal.dump->zero_pd_offset[w]
                                       : 0;
        vw.reference = v.with_truth ? static_cast<double>(truth->in_focus_lens[w]) : vw.sweep_peak;
    }
    const float edge = static_cast<float>(set.settings.max_shift);
    std::vector<double> headline, uncorrected;
    for (size_t k = 0; k < frames; ++k) {
        for (size_t w = 0; w < windows; ++w) {
            verify_window& vw = v.windows[w];
            verify_sample sample;
            sample.frame = static_cast<int>(k);
            sample.window = static_cast<int>(w);
            sample.lens = v.lens[k];
            sample.pd = pd[k][w];
            sample.flags = sweep.slots[s.rank[k]].flags[w];
            sample.at_edge =
                (sample.flags & ORVANE_PD_AT_EDGE) != 0 || std::fabs(sample.pd) >= edge;
            sample.predicted = sample.lens - vw.dcc * static_cast<double>(sample.pd);
            sample.corrected = sample.predicted - vw.zero_pd_offset;
            sample.reference = vw.reference;
            sample.error_uncorrected = finite_or_inf(sample.predicted - sample.reference);
            sample.error = v.corrected ? finite_or_inf(sample.corrected - sample.reference)
                                       : sample.error_uncorrected;
            if (sample.at_edge) {
                ++vw.at_edge;
                ++v.at_edge;
            } else {
                const double e = std::fabs(sample.error);
                vw.mean_abs_error += e;
                vw.worst_abs_error = std::max(vw.worst_abs_error, e);
                ++vw.counted;
                headline.push_back(e);
                uncorrected.push_back(std::fabs(sample.error_uncorrected));
            }
            v.samples.push_back(sample);
        }
    }
    for (verify_window& vw : v.windows)
        if (vw.counted) vw.mean_abs_error /= vw.counted;
    v.headline = stats_of(headline, v.lens_step);
    v.uncorrected = stats_of(uncorrected, v.lens_step);
}

}  // namespace

verification run_verification(const calibration_files& cal, const capture_set& set,
                              const ground_truth* truth) {
    check_calibration_fits(cal, set);
    check_frames(set);

    verification v;
    v.kind = set.kind;
    v.win_cols = std::max(0, static_cast<int>(set.settings.win_cols));
    v.win_rows = std::max(0, static_cast<int>(set.settings.win_rows));
    v.dcc_shift = cal.block.dcc_shift;
    // The block is what a module carries; the state dump stands in for
    // calibrations written before it existed.
    v.corrected = cal.zero_pd.has_value() || cal.dump.has_value();
    v.offset_source = cal.zero_pd ? "zero_pd_offset_block.bin"
                      : cal.dump  ? "state_dump.bin"
                                  : "";
    if (cal.zero_pd && (cal.zero_pd->win_cols != v.win_cols || cal.zero_pd->win_rows != v.win_rows))
        throw io::io_error(cal.zero_pd_path + ": a " + std::to_string(cal.zero_pd->win_cols) +
                           " x " + std::to_string(cal.zero_pd->win_rows) +
                           " window grid, not the set's " + std::to_string(v.win_cols) + " x " +
                           std::to_string(v.win_rows));
    find_lens_step(cal, truth, v);
    const size_t windows = static_cast<size_t>(v.win_cols) * static_cast<size_t>(v.win_rows);
    v.with_truth = truth && truth->win_cols == v.win_cols && truth->win_rows == v.win_rows &&
                   truth->in_focus_lens.size() == windows;

    const gainmap gains = gains_of(cal.block);
    for (const frame& f : set.sweep) v.lens.push_back(f.lens_position);
    const sweep_order order = order_of(v.lens);
    std::vector<uint32_t> intake_status;
    const io::state_dump sweep = intake_pass(set, gains, order, intake_status, v);
    const std::vector<std::vector<float>> pd =
        disparities(set, gains, order, sweep, intake_status, v);
    predict(cal, set, truth, sweep, order, pd, v);
    return v;
}

}  // namespace orvane_tool
