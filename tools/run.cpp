#include "run.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>

#include "orvane_state.h"

namespace orvane_tool {
namespace {

// Offsets within a state dump, as orvane_state.h lays it out.
constexpr size_t kDumpDccShift = offsetof(cal_state, dcc_shift);
constexpr size_t kDumpWinCols = offsetof(cal_state, win_cols);
constexpr size_t kDumpWinRows = offsetof(cal_state, win_rows);
constexpr size_t kDumpDcc = offsetof(cal_state, dcc);
constexpr size_t kDumpPeakLens = offsetof(cal_state, peak_lens);
constexpr size_t kDumpZeroPdLens = offsetof(cal_state, zero_pd_lens);
constexpr size_t kDumpZeroPdOffset = offsetof(cal_state, zero_pd_offset);
constexpr size_t kDumpZeroPdOffsetNorm = offsetof(cal_state, zero_pd_offset_norm);
constexpr size_t kDumpFitResidual = offsetof(cal_state, fit_residual);
constexpr size_t kDumpSlots = offsetof(cal_state, slots);
constexpr size_t kSlotStride = sizeof(frame_slot);
constexpr size_t kSlotPd = offsetof(frame_slot, pd);
constexpr size_t kSlotFocus = offsetof(frame_slot, focus);
constexpr size_t kSlotConfidence = offsetof(frame_slot, confidence);
constexpr size_t kSlotFlags = offsetof(frame_slot, flags);
constexpr size_t kSlotLens = offsetof(frame_slot, lens_position);
constexpr size_t kDumpFramesFitted = offsetof(cal_state, frames_fitted);
constexpr size_t kDumpBayerChannel = offsetof(cal_state, bayer_channel);
constexpr size_t kDumpDevLimit = offsetof(cal_state, dcc_dev_limit);
constexpr int kDumpWindows = ORVANE_MAX_WINDOWS;

class dump_reader {
public:
    explicit dump_reader(const std::vector<uint8_t>& bytes) : b_(bytes) {}

    uint8_t u8(size_t off) const { return at(off, 1)[0]; }
    uint16_t u16(size_t off) const {
        const uint8_t* p = at(off, 2);
        return static_cast<uint16_t>(p[0] | (p[1] << 8));
    }
    int16_t i16(size_t off) const { return static_cast<int16_t>(u16(off)); }
    uint32_t u32(size_t off) const {
        const uint8_t* p = at(off, 4);
        return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
               (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
    }
    float f32(size_t off) const {
        const uint32_t bits = u32(off);
        float v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }

private:
    const uint8_t* at(size_t off, size_t n) const {
        if (off + n > b_.size()) throw std::runtime_error("state dump too short");
        return b_.data() + off;
    }
    const std::vector<uint8_t>& b_;
};

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// A fresh, unique temporary file for the state dump, removed when the run ends
// however it ends.
class temporary_file {
public:
    temporary_file() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "orvane-state-XXXXXX").string();
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        const int fd = mkstemp(buf.data());
        if (fd < 0) throw std::runtime_error("cannot create a temporary file for the state dump");
        close(fd);
        path_ = buf.data();
    }
    ~temporary_file() { std::remove(path_.c_str()); }
    temporary_file(const temporary_file&) = delete;
    temporary_file& operator=(const temporary_file&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The library reads width x height samples from every image it is given: a
// set whose buffers are shorter is refused before any call.
void check_capture(const capture_set& cs) {
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
    auto check = [&](const frame& f, const std::string& what) {
        const bool ok = cs.kind == layout::dual
                            ? f.left.size() == samples && f.right.size() == samples
                            : f.raw.size() == samples;
        if (!ok)
            throw std::runtime_error("capture set: " + what + " is not " +
                                     std::to_string(cs.width) + " x " + std::to_string(cs.height) +
                                     " samples");
    };
    check(cs.flat, "the flat field");
    for (size_t k = 0; k < cs.sweep.size(); ++k)
        check(cs.sweep[k], "sweep frame " + std::to_string(k));
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
    const dump_reader d(dump);
    r.dcc_shift = d.u16(kDumpDccShift);
    r.win_cols = d.u16(kDumpWinCols);
    r.win_rows = d.u16(kDumpWinRows);
    r.frames_fitted = d.i16(kDumpFramesFitted);
    r.bayer_channel = d.u8(kDumpBayerChannel);
    const int windows = std::min(r.win_rows * r.win_cols, kDumpWindows);
    frames = std::clamp(frames, 0, ORVANE_FRAME_SLOTS);

    auto slot = [](int k, size_t field) { return kDumpSlots + kSlotStride * k + field; };
    std::vector<int16_t> lens(static_cast<size_t>(frames));
    for (int k = 0; k < frames; ++k) lens[k] = d.i16(slot(k, kSlotLens));

    const int trim = s.trim_frames;
    const int fitted = frames - 2 * trim;
    r.windows.assign(static_cast<size_t>(windows), {});
    for (int w = 0; w < windows; ++w) {
        window_state& ws = r.windows[static_cast<size_t>(w)];
        const size_t i16 = 2 * static_cast<size_t>(w), f32 = 4 * static_cast<size_t>(w);
        ws.dcc = d.i16(kDumpDcc + i16);
        ws.peak_lens = d.i16(kDumpPeakLens + i16);
        ws.zero_pd_lens = d.i16(kDumpZeroPdLens + i16);
        ws.zero_pd_offset = d.i16(kDumpZeroPdOffset + i16);
        ws.zero_pd_offset_norm = d.f32(kDumpZeroPdOffsetNorm + f32);
        ws.fit_residual = d.f32(kDumpFitResidual + f32);
        ws.dcc_dev_limit = d.f32(kDumpDevLimit + f32);
        for (int k = 0; k < frames; ++k) {
            ws.pd.push_back(d.f32(slot(k, kSlotPd) + f32));
            ws.focus.push_back(d.f32(slot(k, kSlotFocus) + f32));
            ws.confidence.push_back(d.i16(slot(k, kSlotConfidence) + i16));
            ws.flags.push_back(d.u32(slot(k, kSlotFlags) + f32));
            ws.frame_flags |= ws.flags.back();
        }

        // The DCC map's checks, window by window (the map reports only their OR).
        if (fitted >= 2 && frames >= 2) {
            const int mid = trim + fitted / 2;
            const bool rising = ws.pd[mid + 1] > ws.pd[mid];
            float prev = ws.pd[0];
            float hi = -999999.0f, lo = 999999.0f;
            for (int k = trim; k < trim + fitted; ++k) {
                const float v = ws.pd[k];
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
        if (frames >= 1 && (ws.peak_lens <= lens.front() || ws.peak_lens >= lens.back())) {
            ws.fit_flags |= ORVANE_PEAK_AT_END;
        }
    }
}

calibration_result run_calibration(const capture_set& cs, const run_options& options,
                                   const progress_fn& progress) {
    check_capture(cs);
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
    // intake corrects its images in place, so it gets copies.
    std::vector<uint16_t> left, right;
    const int count = static_cast<int>(cs.sweep.size());
    for (int k = 0; k < count; ++k) {
        const frame& f = cs.sweep[static_cast<size_t>(k)];
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
                left = f.left;
                right = f.right;
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
    std::optional<temporary_file> temporary;
    if (options.dump_path.empty()) temporary.emplace();
    const std::string dump_path = temporary ? temporary->path() : options.dump_path;
    r.dcc_status = Orvane_get_dccmap(ctx, &r.dcc, dump_path.c_str());
    if (r.dcc_status == ORVANE_HARD_FAILURE) {
        throw std::runtime_error("Orvane_get_dccmap refused the sweep (hard failure): " +
                                 std::to_string(cs.settings.win_cols) + " x " +
                                 std::to_string(cs.settings.win_rows) + " windows, " +
                                 std::to_string(cs.settings.sweep_frames) + " sweep frames with " +
                                 std::to_string(cs.settings.trim_frames) + " trimmed at each end");
    }
    r.state_dump = read_file(dump_path);
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
