// The calibration of one capture set from its manifest, as `orvane calibrate`
// runs it; `orvane batch` runs it once per module.
#pragma once

#include <cstdio>
#include <string>

#include "io/capture_io.h"

namespace orvane_tool {

// Loads the set (`manifest`: its manifest.json or its folder), calibrates it and writes the outputs into `out`, printing
// what `orvane calibrate` prints to `log`. Throws (one line) on bad files, a
// calibration that cannot finish or outputs that cannot be written.
void calibrate_manifest(const std::string& manifest, const std::string& out,
                        const io::record_overrides& records, std::FILE* log = stdout);

}  // namespace orvane_tool
