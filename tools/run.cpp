#include "run.h"

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

struct context_owner {
    cal_context* ctx;
    ~context_owner() {
        if (ctx) Orvane_destroy(ctx);
    }
};

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

    // The library's sweep parameters: the direction is read from slots mid
    // and mid + 1 of the dump's twelve, which may lie past the sweep (two
    // frames, none trimmed); the library reads them there too.
    const int trim = s.trim_frames;
    const int fitted = frames - 2 * trim;
    const int mid = trim + fitted / 2;
    const bool direction_known = mid >= 0 && mid + 1 < ORVANE_FRAME_SLOTS;
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

        // The DCC map's checks, window by window (the map reports only their OR).
        if (fitted >= 2 && frames >= 2 && direction_known) {
            const bool rising = d.slots[mid + 1].pd[w] > d.slots[mid].pd[w];
            float prev = d.slots[0].pd[w];
            float hi = -999999.0f, lo = 999999.0f;
            for (int k = trim; k < trim + fitted; ++k) {
                const float v = d.slots[k].pd[w];
                hi = std::max(hi, v);
                lo = std::min(lo, v);
                const bool against = rising ? prev > v : v > prev;
                if (against && ws.fit_residual > s.residual_limit)
                    ws.fit_flags |= ORVANE_NOT_MONOTONIC;
                prev = v;
            }
            if (static_cast<float>(s.min_pd_range) > std::fabs(hi - lo)) {
                ws.fit_flags |= ORVANE_PD_RANGE_LOW;
            }
        }
        if (w < ORVANE_MAX_DCC_WINDOWS && std::fabs(ws.zero_pd_offset_norm) > s.dcc_dev_limit[w]) {
            ws.fit_flags |= ORVANE_DCC_DEVIATION;
        }
        if (frames >= 1 && (ws.peak_lens <= d.slots[0].lens_position ||
                            ws.peak_lens >= d.slots[frames - 1].lens_position)) {
            ws.fit_flags |= ORVANE_PEAK_AT_END;
        }
    }
}

calibration_result run_calibration(const capture_set& cs, const run_options& options,
                                   const progress_fn& progress, const frame_reader& read_frame) {
    check_capture(cs, !read_frame);
    calibration_result r;
    context_owner owner{Orvane_create(&cs.settings)};
    cal_context* ctx = owner.ctx;
    if (!ctx) throw std::runtime_error("Orvane_create failed (out of memory?)");
    r.created = true;

    // Gain map from the flat field.
    switch (cs.kind) {
        case layout::horizontal:
            r.gain_status =
                Orvane_get_gainmap(ctx, cs.flat.raw.data(), &cs.cfg, &r.gains, &cs.limits);
            break;
        case layout::vertical:
            r.gain_status =
                Orvane_get_gainmap_vertical(ctx, cs.flat.raw.data(), &cs.cfg, &r.gains, &cs.limits);
            break;
        case layout::dual:
            r.gain_status = Orvane_get_gainmap_2pd(
                ctx, cs.flat.left.data(), cs.flat.right.data(), static_cast<int32_t>(cs.width),
                static_cast<int32_t>(cs.height), cs.black_level, &r.gains, &cs.limits,
                static_cast<float>(cs.flat.lens_position));
            break;
    }
    if (r.gain_status == ORVANE_HARD_FAILURE) {
        throw std::runtime_error(std::string(cs.kind == layout::vertical
                                                 ? "Orvane_get_gainmap_vertical"
                                             : cs.kind == layout::dual ? "Orvane_get_gainmap_2pd"
                                                                       : "Orvane_get_gainmap") +
                                 " refused the flat field (hard failure): the gain grid, the PD "
                                 "layout or the image size is beyond what the library takes");
    }

    // The lens sweep: frame indices 0..N-1 at rising lens positions. The dual
    // intake corrects its images in place, so it gets copies (or the frame
    // just read, which nothing else uses).
    std::vector<uint16_t> left, right;
    const int count = static_cast<int>(cs.sweep.size());
    frame loaded;
    for (int k = 0; k < count; ++k) {
        const frame* source = &cs.sweep[static_cast<size_t>(k)];
        if (read_frame) {
            // The previous frame's images go before the next is read.
            loaded = frame{};
            left = {};
            right = {};
            loaded = read_frame(static_cast<size_t>(k));
            loaded.lens_position = source->lens_position;
            check_frame(cs, loaded, "sweep frame " + std::to_string(k));
            source = &loaded;
        }
        const frame& f = *source;
        uint32_t status = 0;
        switch (cs.kind) {
            case layout::horizontal:
                status = Orvane_add_raw(ctx, k, f.lens_position, f.raw.data(), &cs.cfg, &r.gains);
                break;
            case layout::vertical:
                status = Orvane_add_raw_vertical(ctx, k, f.lens_position, f.raw.data(), &cs.cfg,
                                                 &r.gains);
                break;
            case layout::dual:
                if (read_frame) {
                    left = std::move(loaded.left);
                    right = std::move(loaded.right);
                } else {
                    left = f.left;
                    right = f.right;
                }
                status = Orvane_add_raw_2pd(ctx, k, f.lens_position, left.data(), right.data(),
                                            static_cast<int32_t>(cs.width),
                                            static_cast<int32_t>(cs.height), cs.black_level,
                                            &r.gains, static_cast<float>(f.lens_position));
                break;
        }
        r.frame_status.push_back(status);
        r.lens.push_back(f.lens_position);
        if (progress) progress(k, count, f.lens_position, status);
        if (status == ORVANE_HARD_FAILURE) {
            throw std::runtime_error(
                std::string(cs.kind == layout::vertical ? "Orvane_add_raw_vertical"
                            : cs.kind == layout::dual   ? "Orvane_add_raw_2pd"
                                                        : "Orvane_add_raw") +
                " refused sweep frame " + std::to_string(k) +
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
    loaded = frame{};
    left = {};
    right = {};
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
    int32_t end = 0;
    if (cs.kind == layout::vertical) {
        r.block_writer = "Orvane_get_calibration_block_vertical";
        end = Orvane_get_calibration_block_vertical(&r.gains, &r.dcc, r.block.data());
    } else {
        r.block_writer = "Orvane_get_calibration_block";
        end = Orvane_get_calibration_block(&r.gains, &r.dcc, r.block.data());
    }
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
