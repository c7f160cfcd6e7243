// One calibration as the tool shows it: the settings, a progress line per
// frame, the per-window table and summary, and the output folder. Shared by
// `orvane demo` and `orvane calibrate`, so the two print and write the same.
#pragma once

#include <cstdio>
#include <string>

#include "capture.h"
#include "pipeline/calibration.h"

namespace orvane_tool {

void print_settings(const capture_set& capture, std::FILE* log = stdout);

// Calibrates `capture` and writes the outputs into `out_dir`. The true DCC and
// in-focus columns and the accuracy lines appear only with a truth on the
// settings' window grid. Throws (one line) when the calibration cannot finish
// or the outputs cannot be written; nothing is written then. The text goes to
// `log`; `read_frame`: as for run_calibration.
void calibrate_and_report(const capture_set& capture, const ground_truth* truth,
                          const std::string& out_dir, std::FILE* log = stdout,
                          const frame_reader& read_frame = {});

}  // namespace orvane_tool
