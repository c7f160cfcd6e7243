// One complete calibration of a capture set through the library's public
// interface, in the host call order: create, gain map from the flat field, one
// intake per lens position, DCC map with a state dump, the calibration blocks,
// a read-back of the block, destroy.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "capture.h"
#include "orvane.h"

namespace orvane_tool {

struct run_options {
    // Where Orvane_get_dccmap dumps the calibration state. Empty: a temporary
    // file that is read back and removed.
    std::string dump_path;
};

// Called after each intake call: frame index, frame count, lens position, status.
using progress_fn = std::function<void(int, int, int32_t, uint32_t)>;

// Gives sweep frame k with its images, for a capture set whose sweep holds
// only the lens positions (frames read from files one at a time).
using frame_reader = std::function<frame(size_t k)>;

// What the state dump says about one window.
struct window_state {
    int16_t dcc = 0;        // fixed point, dcc_shift fraction bits
    int16_t peak_lens = 0;  // from the curve-of-field block
    int16_t zero_pd_lens = 0;
    int16_t zero_pd_offset = 0;
    float zero_pd_offset_norm = 0.0f;
    float fit_residual = 0.0f;
    float dcc_dev_limit = 0.0f;
    uint32_t frame_flags = 0;  // OR of the window's per-frame flags over the sweep
    uint32_t fit_flags = 0;    // the DCC map checks this window fails
    float pd_range = 0.0f;     // PD spread over the fitted frames (NaN: not checked)
    std::vector<float> pd;     // per frame of the sweep
    std::vector<float> focus;
    std::vector<int16_t> confidence;
    std::vector<uint32_t> flags;
};

struct calibration_result {
    bool created = false;
    uint32_t gain_status = 0;
    std::vector<uint32_t> frame_status;  // one per lens position
    std::vector<int32_t> lens;
    uint32_t dcc_status = 0;

    gainmap gains{};
    dccmap dcc{};

    std::vector<uint8_t> block;      // the calibration block of the layout
    std::vector<uint8_t> cof_block;  // the curve-of-field block
    std::vector<uint8_t> zero_pd_block;  // the zero-PD offset block
    std::string block_writer;        // name of the writer used

    uint32_t read_status = 0;  // Orvane_read_calibration_block on the block
    gainmap read_gains{};
    dccmap read_dcc{};
    bool read_back_equal = false;  // the records read back write the same block

    std::vector<uint8_t> state_dump;
    int win_rows = 0;
    int win_cols = 0;
    int dcc_shift = 0;
    int frames_fitted = 0;
    uint8_t bayer_channel = 0;
    std::vector<window_state> windows;

    // Every status word the run produced, OR-ed (the hard failure excluded).
    uint32_t all_flags() const;
};

// Throws std::runtime_error, one line, when the set is inconsistent, when an
// entry point returns the hard failure (a calibration cannot go on from there)
// and when the library's outputs cannot be had. With `read_frame`, each sweep
// frame's images come from it when the intake takes them, and only one
// frame is held at a time. Keeps no state between calls: runs on several
// threads at once are independent.
calibration_result run_calibration(const capture_set& capture, const run_options& options = {},
                                   const progress_fn& progress = {},
                                   const frame_reader& read_frame = {});

// Parses a state dump into the per-window fields (sweep of `frames` frames),
// with the DCC map checks each window fails (window_checks.h). Throws
// io::io_error for a dump of the wrong size.
void read_state_dump(const std::vector<uint8_t>& dump, const cal_settings& settings, int frames,
                     calibration_result& result);

}  // namespace orvane_tool
