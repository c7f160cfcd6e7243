// One module of a lot calibrated into its own output folder.
#pragma once

#include <string>

#include "acceptance/limits.h"
#include "io/capture_io.h"
#include "lot/modules.h"
#include "lot/table.h"

namespace orvane_tool {

struct module_options {
    io::record_overrides records;  // files replacing every manifest's, or empty
    bool force = false;    // redo complete outputs
    acceptance::limits limits = acceptance::default_limits();
    std::string acceptance = "defaults";  // where the limits come from
};

// Calibrates one module into `out_dir`/<module>/ exactly as `orvane calibrate`
// writes it, adds calibrate.log (what calibrate prints) and, last, batch.json,
// the mark of complete outputs. Its verdict.json is judged anew every time,
// resumed or not, so a changed acceptance file needs no recalibration. Outputs with a mark that matches the manifest,
// the settings and the library are taken as they are unless `force`. Never
// throws: a module that cannot be calibrated comes back as an "error" row.
module_outcome calibrate_lot_module(const lot_entry& entry, const std::string& out_dir,
                                    const module_options& options);

}  // namespace orvane_tool
