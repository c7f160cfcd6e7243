// The acceptance checks of one module, each measured from the module's output
// files against its limit and filed under the stage of the calibration it
// belongs to. The only place that decides what a flag or a figure means for
// the verdict.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "acceptance/limits.h"
#include "io/json.h"

namespace orvane_tool::acceptance {

// The stages in the order the calibration runs them: a failure of an earlier
// stage explains failures of the later ones.
enum class stage { gain_map, intake, focus, dcc_fit, verification, truth };
constexpr int kStages = 5;  // truth is reported beside the verdict, never in it

const char* stage_id(stage s);     // "gain_map", ...
const char* stage_title(stage s);  // "flat field and gain map", ...

enum class outcome { pass, fail, not_run, allowed };
const char* outcome_id(outcome o);

struct check {
    std::string name;  // "<stage>.<check>", flags "<stage>.flag.<flag name>"
    stage where = stage::gain_map;
    outcome result = outcome::not_run;
    std::optional<double> value;
    io::json limit;          // a number, [min, max] or null
    std::string relation;    // "<=", ">=" or "in"
    std::string unit;
    std::string text;        // value against limit, or why it did not run
    std::vector<int> windows;  // row-major indices of the windows that fail it
};

// What the checks read: a calibration's summary.json and gainmap.json, and a
// verification's verify.json when one was run (null otherwise).
struct module_files {
    io::json summary;
    io::json gainmap;  // null: not read
    io::json verify;   // null: no verification sweep
};

// Every check of the module in stage order; the truth checks last when the
// summary holds an accuracy against a ground truth.
std::vector<check> run_checks(const module_files& files, const limits& l);

}  // namespace orvane_tool::acceptance
