// The lot table (lot.csv): one row per module, made from the module's
// summary.json alone, so a resumed module gets the very row it got when it
// was calibrated.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "acceptance/verdict.h"

namespace orvane_tool {

struct module_outcome {
    std::string module;
    std::string row;                   // the module's line of lot.csv, without the newline
    std::string verdict;               // "PASS", "FAIL" or "ERROR"
    std::string root_cause;            // the stage that failed first, "error", or ""
    std::vector<std::string> reasons;  // the status flags raised (or "error")
    std::string error;                 // one line, for "error"
    bool resumed = false;              // complete outputs were there already
};

// First line of lot.csv (without the newline). runtime_s is the last column,
// the only one that differs between runs of the same lot.
std::string lot_table_header();

// The row of a module with outputs in `dir` and their verdict; throws
// io_error when its summary.json cannot be read.
module_outcome outcome_from_summary(const std::string& module, const std::filesystem::path& dir,
                                    double runtime, const acceptance::verdict& verdict);

// The yield of a lot as `orvane batch` prints it: the modules by verdict,
// then each failed module once under the stage that failed first.
// `acceptance` names the limits ("" leaves it out).
std::string yield_summary(const std::vector<module_outcome>& outcomes,
                          const std::string& acceptance);

// The module, verdict and root cause of every row of lot.csv's text; throws
// io_error naming `source` when it is not a lot table.
std::vector<module_outcome> outcomes_from_table(const std::string& text,
                                                const std::string& source);

// The row of a module that could not be calibrated.
module_outcome error_outcome(const std::string& module, const std::string& error, double runtime);

}  // namespace orvane_tool
