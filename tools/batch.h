// A production lot through the calibration: the modules of a lot, one
// module's calibration into its own output folder, and the lot table.
#pragma once

#include <string>
#include <vector>

namespace orvane_tool {

struct lot_entry {
    std::string module;    // output folder under the lot's, and the table's key
    std::string manifest;  // absolute path
};

// The modules of LOT, sorted by name: a folder searched recursively for
// manifest.json files (a module is named by its folder's path below LOT), or a
// text file of manifests or capture-set folders, one a line ('#' starts a
// comment, relative paths are taken beside the list; a module is named by its
// folder's name). `out_dir` is not searched. Throws io_error on an unreadable
// lot, an empty one or two modules of one name.
std::vector<lot_entry> find_lot(const std::string& lot, const std::string& out_dir);

struct module_options {
    std::string settings;  // cal_settings replacing every manifest's, or empty
    bool force = false;    // redo complete outputs
};

struct module_outcome {
    std::string module;
    std::string row;                   // the module's line of lot.csv, without the newline
    std::string verdict;               // "pass", "fail" or "error"
    std::vector<std::string> reasons;  // why it failed (flag names, or "error")
    std::string error;                 // one line, for "error"
    bool resumed = false;              // complete outputs were there already
};

// Calibrates one module into `out_dir`/<module>/ exactly as `orvane calibrate`
// writes it, adds calibrate.log (what calibrate prints) and, last, batch.json,
// the mark of complete outputs. Outputs with a mark that matches the manifest,
// the settings and the library are taken as they are unless `force`. Never
// throws: a module that cannot be calibrated comes back as an "error" row.
module_outcome calibrate_lot_module(const lot_entry& entry, const std::string& out_dir,
                                    const module_options& options);

// First line of lot.csv (without the newline). runtime_s is the last column,
// the only one that differs between runs of the same lot.
std::string lot_table_header();

}  // namespace orvane_tool
