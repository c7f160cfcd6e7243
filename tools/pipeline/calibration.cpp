#include "pipeline/calibration.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>

#include "io/blocks.h"
#include "io/files.h"
#include "orvane_state.h"
#include "pipeline/layout_calls.h"
#include "pipeline/window_checks.h"

namespace orvane_tool {
namespace {

// The library reads width x height samples from every image it is given: a
// frame whose buffers are shorter is refused before any call.
void check_frame(const capture_set& cs, const frame& f, const std::string& what) {
    const uint64_t samples = uint64_t{cs.width} * cs.height;
    const bool ok = cs.kind == layout::dual ? f.left.size() == samples && f.right.size() == samples
                                            : f.raw.size() == samples;
    if (!ok)
        throw std::runtime_error("capture set: " + what + " is not " + std::to_string(cs.width) +
                                 " x " + std::to_string(cs.height) + " samples");
}

void check_capture(const capture_set& cs, bool sweep_images) {
    const uint64_t samples = uint64_t{cs.width} * cs.height;
    if (samples == 0) throw std::runtime_error("capture set: empty frame size");
    if (cs.kind != layout::dual &&
        (cs.width != cs.cfg.image_width || cs.height != cs.cfg.image_height)) {
        throw std::runtime_error("capture set: frame size differs from the sensor configuration");
    }
    if (cs.sweep.empty() || cs.sweep.size() > ORVANE_FRAME_SLOTS) {
        throw std::runtime_error("capture set: " + std::to_string(cs.sweep.size()) +
                                 " sweep frames, the library takes 1 to " +
                                 std::to_string(ORVANE_FRAME_SLOTS));
    }
    check_frame(cs, cs.flat, "the flat field");
    if (sweep_images)
        for (size_t k = 0; k < cs.sweep.size(); ++k)
            check_frame(cs, cs.sweep[k], "sweep frame " + std::to_string(k));
}

}  // namespace

uint32_t calibration_result::all_flags() const {
    auto useful = [](uint32_t s) { return s == ORVANE_HARD_FAILURE ? 0u : s; };
    uint32_t all = useful(gain_status) | useful(dcc_status);
    for (uint32_t s : frame_status) all |= useful(s);
    return all;
}

void read_state_dump(const std::vector<uint8_t>& dump, const cal_settings& s, int frames,
                     calibration_result& r) {
    const io::state_dump d = io::parse_state_dump(dump, "state dump");
    r.dcc_shift = d.dcc_shift;
    r.win_cols = d.win_cols;
    r.win_rows = d.win_rows;
    r.frames_fitted = d.frames_fitted;
    r.bayer_channel = d.bayer_channel;
    const int windows = std::min(r.win_rows * r.win_cols, ORVANE_MAX_WINDOWS);
    frames = std::clamp(frames, 0, ORVANE_FRAME_SLOTS);

    r.windows.assign(static_cast<size_t>(windows), {});
    for (int w = 0; w < windows; ++w) {
        window_state& ws = r.windows[static_cast<size_t>(w)];
        ws.dcc = d.dcc[w];
        ws.peak_lens = d.peak_lens[w];
        ws.zero_pd_lens = d.zero_pd_lens[w];
        ws.zero_pd_offset = d.zero_pd_offset[w];
        ws.zero_pd_offset_norm = d.zero_pd_offset_norm[w];
        ws.fit_residual = d.fit_residual[w];
        ws.dcc_dev_limit = d.dcc_dev_limit[w];
        for (int k = 0; k < frames; ++k) {
            const io::dump_frame& slot = d.slots[k];
            ws.pd.push_back(slot.pd[w]);
            ws.focus.push_back(slot.focus[w]);
            ws.confidence.push_back(slot.confidence[w]);
            ws.flags.push_back(slot.flags[w]);
            ws.frame_flags |= slot.flags[w];
        }

        const window_checks checks = check_window(d, s, frames, w);
        ws.fit_flags = checks.flags;
        ws.pd_range = checks.pd_range;
    }
}

calibration_result run_calibration(const capture_set& cs, const run_options& options,
                                   const progress_fn& progress, const frame_reader& read_frame) {
    check_capture(cs, !read_frame);
    calibration_result r;
    const context owner(cs.settings);
    cal_context* ctx = owner.get();
    r.created = true;
    const layout_calls& calls = calls_of(cs.kind);

    // Gain map from the flat field.
    r.gain_status = calls.get_gainmap(ctx, cs, &r.gains);
    if (r.gain_status == ORVANE_HARD_FAILURE) {
        throw std::runtime_error(std::string(calls.gainmap_name) +
                                 " refused the flat field (hard failure): the gain grid, the PD "
                                 "layout or the image size is beyond what the library takes");
    }

    // The lens sweep: frame indices 0..N-1 at rising lens positions. The dual
    // intake corrects its images in place, so it gets copies (or the frame
    // just read, which nothing else uses).
    frame scratch;
    const int count = static_cast<int>(cs.sweep.size());
    for (int k = 0; k < count; ++k) {
        const frame* source = &cs.sweep[static_cast<size_t>(k)];
        if (read_frame) {
            // The previous frame's images go before the next is read.
            scratch = frame{};
            scratch = read_frame(static_cast<size_t>(k));
            scratch.lens_position = source->lens_position;
            check_frame(cs, scratch, "sweep frame " + std::to_string(k));
            source = &scratch;
        }
        const frame& f = *source;
        const uint32_t status = calls.intake(ctx, k, cs, f, scratch, r.gains);
        r.frame_status.push_back(status);
        r.lens.push_back(f.lens_position);
        if (progress) progress(k, count, f.lens_position, status);
        if (status == ORVANE_HARD_FAILURE) {
            throw std::runtime_error(
                std::string(calls.intake_name) + " refused sweep frame " + std::to_string(k) +
                " (hard failure): the window grid, "
                "the search range or the image size is beyond what the library takes");
        }
    }

    // DCC map and the state dump.
    std::optional<io::temporary_file> temporary;
    if (options.dump_path.empty()) temporary.emplace("the state dump");
    const std::string dump_path = temporary ? temporary->path() : options.dump_path;
    r.dcc_status = Orvane_get_dccmap(ctx, &r.dcc, dump_path.c_str());
    if (r.dcc_status == ORVANE_HARD_FAILURE) {
        throw std::runtime_error("Orvane_get_dccmap refused the sweep (hard failure): " +
                                 std::to_string(cs.settings.win_cols) + " x " +
                                 std::to_string(cs.settings.win_rows) + " windows, " +
                                 std::to_string(cs.settings.sweep_frames) + " sweep frames with " +
                                 std::to_string(cs.settings.trim_frames) + " trimmed at each end");
    }
    scratch = frame{};
    try {
        r.state_dump = io::read_file(dump_path);
    } catch (const io::io_error&) {
        r.state_dump.clear();
    }
    temporary.reset();  // no longer needed: gone before anything else can fail
    if (r.state_dump.size() != ORVANE_STATE_DUMP_SIZE) {
        throw std::runtime_error("state dump missing or truncated: " + dump_path);
    }

    // The calibration block of the layout, and the curve-of-field block.
    r.block.assign(ORVANE_BLOCK_BUFFER_SIZE, 0);
    r.block_writer = calls.block_writer_name;
    const int32_t end = calls.block_writer(&r.gains, &r.dcc, r.block.data());
    if (end < 0 || end >= static_cast<int32_t>(r.block.size())) {
        throw std::runtime_error(r.block_writer + " refused the records");
    }
    r.block.resize(static_cast<size_t>(end) + 1);

    r.cof_block.assign(ORVANE_BLOCK_COF_BUFFER_SIZE, 0);
    const int32_t cof_end = Orvane_get_calibration_curve_of_field_block(ctx, r.cof_block.data());
    if (cof_end < 0 || cof_end >= static_cast<int32_t>(r.cof_block.size())) {
        throw std::runtime_error("Orvane_get_calibration_curve_of_field_block refused the grid");
    }
    r.cof_block.resize(static_cast<size_t>(cof_end) + 1);

    r.zero_pd_block.assign(ORVANE_BLOCK_ZERO_PD_BUFFER_SIZE, 0);
    const int32_t zero_pd_end =
        Orvane_get_calibration_zero_pd_offset_block(ctx, r.zero_pd_block.data());
    if (zero_pd_end < 0 || zero_pd_end >= static_cast<int32_t>(r.zero_pd_block.size())) {
        throw std::runtime_error("Orvane_get_calibration_zero_pd_offset_block refused the grid");
    }
    r.zero_pd_block.resize(static_cast<size_t>(zero_pd_end) + 1);

    // Read the block back; the records it yields must write the very same block.
    r.read_status = Orvane_read_calibration_block(&r.read_gains, &r.read_dcc, r.block.data());
    std::vector<uint8_t> again(ORVANE_BLOCK_BUFFER_SIZE, 0);
    const int32_t again_end =
        Orvane_get_calibration_block(&r.read_gains, &r.read_dcc, again.data());
    r.read_back_equal = r.read_status == 0 && again_end == end &&
                        std::equal(r.block.begin(), r.block.end(), again.begin());

    read_state_dump(r.state_dump, cs.settings, count, r);
    // The curve of field as the block carries it (big-endian, after a 6-byte head).
    for (size_t w = 0; w < r.windows.size() && 7 + 2 * w < r.cof_block.size(); ++w) {
        r.windows[w].peak_lens =
            static_cast<int16_t>((r.cof_block[6 + 2 * w] << 8) | r.cof_block[7 + 2 * w]);
    }
    return r;  // the context is destroyed by its owner
}

}  // namespace orvane_tool
