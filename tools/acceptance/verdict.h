// A module's verdict: PASS when no check fails. On FAIL the root cause is the
// earliest stage with a failing check; failing checks of later stages are
// reported as its consequences, not as further reasons.
#pragma once

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "acceptance/checks.h"

namespace orvane_tool::acceptance {

struct verdict {
    bool pass = false;
    std::optional<stage> root;   // set on FAIL
    std::vector<check> checks;   // the verdict's, stage order
    std::vector<check> truth;    // beside the verdict, with a ground truth
    std::string acceptance;      // the file's path, or "defaults"
    std::string root_text;       // what failed first and what followed, in words

    std::vector<std::string> root_checks() const;   // failing checks of the root stage
    std::vector<std::string> consequences() const;  // failing checks after it
};

verdict judge(const module_files& files, const limits& l, const std::string& acceptance);

// The calibration outputs in `dir` (summary.json, gainmap.json when there)
// and a verify.json, or none when `verify_json` is empty. Throws io_error.
module_files read_module_files(const std::filesystem::path& dir,
                               const std::filesystem::path& verify_json = {});

// The limits of --acceptance FILE, or the defaults for "".
limits limits_of(const std::string& acceptance_file);

io::json verdict_json(const verdict& v);
// verdict.json in `dir` (atomic).
void write_verdict(const std::filesystem::path& dir, const verdict& v);
// "Verdict: FAIL, root cause ..." and one line per failing or unrun check.
void print_verdict(std::FILE* out, const verdict& v);

// The whole step: judges the calibration outputs in `dir` (with the
// verification in `verify_json` when given), writes verdict.json into
// `verdict_dir` and prints the verdict to `log` when there is one.
verdict judge_outputs(const std::filesystem::path& dir, const limits& l,
                      const std::string& acceptance, const std::filesystem::path& verify_json,
                      const std::filesystem::path& verdict_dir, std::FILE* log);

}  // namespace orvane_tool::acceptance
