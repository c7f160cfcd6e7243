// Closed-loop check of a calibration: on frames taken at lens positions the
// calibration never saw, does one frame's phase disparity, turned into a lens
// move by the calibrated DCC, land on focus? Shared by `orvane verify` and
// `orvane demo`.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "capture.h"
#include "io/blocks.h"
#include "io/records.h"

namespace orvane_tool {

// What a calibration folder (of `orvane calibrate` or `orvane demo`) holds
// for the check.
struct calibration_files {
    std::string dir;
    std::string block_path, cof_path, zero_pd_path, dump_path, summary_path;
    io::block block;  // the calibration block, one layout or both
    io::block cof;    // the curve-of-field block
    std::optional<zero_pd_map> zero_pd;  // the zero-PD offset block, when present
    std::optional<io::state_dump> dump;
    std::optional<layout> kind;       // from summary.json
    std::vector<int32_t> sweep_lens;  // the calibration's lens positions, when known
};

// Reads calibration_block.bin and curve_of_field_block.bin (both required),
// zero_pd_offset_block.bin, state_dump.bin and summary.json (when present). Throws io::io_error, one
// line naming the file.
calibration_files load_calibration(const std::string& dir);

// One window of one verification frame.
struct verify_sample {
    int frame = 0;   // index in the verification set
    int window = 0;  // row-major
    int32_t lens = 0;
    float pd = 0.0f;         // sensor pixels, measured with the calibration's gain map
    uint32_t flags = 0;      // the window's flags from the intake pass
    bool at_edge = false;    // disparity at the search range's edge: no prediction counted
    double predicted = 0.0;  // lens - DCC x pd
    double corrected = 0.0;  // predicted - (zero_pd_lens - peak_lens); = predicted without one
    double reference = 0.0;  // in-focus lens position the prediction is judged against
    double error = 0.0;      // headline prediction - reference (corrected when there is a dump)
    double error_uncorrected = 0.0;
};

struct verify_window {
    double dcc = 0.0;              // lens units per pixel
    double reference = 0.0;        // truth, or the verification sweep's contrast peak
    int16_t sweep_peak = 0;        // contrast peak of the verification sweep (library)
    int16_t calibration_peak = 0;  // curve-of-field block
    int zero_pd_offset = 0;        // zero_pd_lens - peak_lens of the calibration (0 without one)
    int counted = 0;               // frames inside the search range
    int at_edge = 0;
    double mean_abs_error = 0.0;  // over the counted frames, lens units
    double worst_abs_error = 0.0;
};

struct verify_stats {
    int counted = 0;
    int within_step = 0;
    double share = 0.0;
    double median = 0.0;  // |error|, lens units
    double p95 = 0.0;
};

struct verification {
    layout kind = layout::horizontal;
    int win_cols = 0, win_rows = 0;
    int dcc_shift = 0;
    int lens_step = 0;                   // the calibration's lens step: the unit of the target
    std::string lens_step_source;        // where it came from
    bool with_truth = false;             // reference = ground truth, else the sweep's contrast peak
    bool corrected = false;              // predictions take the zero-PD offsets
    std::string offset_source;           // the file they came from, when corrected
    std::string pd_source;               // the entry point the disparities came from
    std::vector<int32_t> lens;           // per verification frame, in the set's order
    std::vector<uint32_t> frame_status;  // the PD call's status per frame
    uint32_t sweep_dcc_status = 0;       // Orvane_get_dccmap on the verification sweep
    int readout_mismatches = 0;          // readout and intake disagree (window-frames)
    std::vector<verify_window> windows;
    std::vector<verify_sample> samples;  // frame-major
    int at_edge = 0;
    verify_stats headline;     // corrected when there is a dump
    verify_stats uncorrected;  // lens - DCC x pd as it is

    bool pass() const { return headline.counted > 0 && headline.share >= 0.9; }
};

// Measures every frame and window of `set` with the calibration and judges
// the predictions against `truth` (when given, on the same window grid) or
// the set's own contrast peaks. Throws (one line, naming the file) when the
// calibration does not fit the set: another layout, another window grid or
// search range, no DCC values for the layout.
verification run_verification(const calibration_files& calibration, const capture_set& set,
                              const ground_truth* truth);

void print_verification(std::FILE* out, const verification& v);
io::json verification_json(const verification& v);
// Writes verify.json into `dir` (created when missing); throws io::io_error.
void write_verification(const std::string& dir, const verification& v);

}  // namespace orvane_tool
