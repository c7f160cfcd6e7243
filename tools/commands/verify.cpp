// `orvane verify CALIBRATION_DIR VERIFY_MANIFEST`: does phase-detection AF,
// with this calibration, land in focus on frames it never saw?
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "acceptance/verdict.h"
#include "commands/commands.h"
#include "io/capture_io.h"
#include "io/files.h"
#include "pipeline/verification.h"

namespace orvane_tool {
namespace {

struct verify_options {
    std::string calibration;
    std::string manifest;
    std::string out = "orvane-verification";
    std::string acceptance;
};

void run_verify(const verify_options& o) {
    const auto t0 = std::chrono::steady_clock::now();
    const acceptance::limits limits = acceptance::limits_of(o.acceptance);
    const calibration_files cal = load_calibration(o.calibration);
    std::optional<ground_truth> truth;
    const capture_set cs = io::load_capture_set(io::manifest_path_of(o.manifest), truth, {}, false);
    std::printf("orvane verify: %s against %s: %s PD layout, %zu frames%s\n", o.calibration.c_str(),
                o.manifest.c_str(), layout_name(cs.kind), cs.sweep.size(),
                truth ? ", with ground truth" : "");
    std::fflush(stdout);

    const verification v = run_verification(cal, cs, truth ? &*truth : nullptr);
    print_verification(stdout, v);
    write_verification(o.out, v);
    acceptance::judge_outputs(o.calibration, limits,
                              o.acceptance.empty() ? "defaults" : o.acceptance,
                              std::filesystem::path(o.out) / "verify.json", o.out, stdout);
    std::printf("Outputs in %s: verify.json verdict.json\nTotal %.2f s\n", o.out.c_str(),
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
}

}  // namespace

void add_verify_command(CLI::App& app) {
    auto opts = std::make_shared<verify_options>();
    auto* cmd = app.add_subcommand(
        "verify",
        "Check a calibration closed-loop: predict focus from one frame's disparity on a "
        "verification sweep and compare with where focus is");
    cmd->add_option("CALIBRATION_DIR", opts->calibration,
                    "output folder of orvane calibrate or orvane demo")
        ->required();
    cmd->add_option("VERIFY_MANIFEST", opts->manifest,
                    "manifest.json of the verification set (any lens positions, any order), or "
                    "its folder")
        ->required();
    cmd->add_option("--out", opts->out, "output folder for verify.json")
        ->check(kNonEmptyPath)
        ->capture_default_str();
    cmd->add_option("--acceptance", opts->acceptance,
                    "acceptance.json: the limits of a good module (default: the built-in "
                    "defaults); the verdict of the calibration with this verification goes "
                    "to verdict.json beside verify.json");
    cmd->callback([opts] { run_verify(*opts); });
}

}  // namespace orvane_tool
