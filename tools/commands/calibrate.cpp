// `orvane calibrate MANIFEST|FOLDER`: the full calibration of a capture set from
// files, printed and written as `orvane demo` does.
#include <memory>
#include <string>

#include "commands/commands.h"
#include "acceptance/verdict.h"
#include "io/capture_io.h"
#include "pipeline/manifest_calibration.h"

namespace orvane_tool {
namespace {

struct calibrate_options {
    std::string manifest;
    std::string out = "orvane-calibration";
    io::record_overrides records;
    std::string acceptance;
};

void run_calibrate(const calibrate_options& o) {
    // A bad acceptance file is refused before the frames are read.
    const acceptance::limits limits = acceptance::limits_of(o.acceptance);
    calibrate_manifest(o.manifest, o.out, o.records);
    acceptance::judge_outputs(o.out, limits, o.acceptance.empty() ? "defaults" : o.acceptance,
                              {}, o.out, stdout);
}

}  // namespace

void add_calibrate_command(CLI::App& app) {
    auto opts = std::make_shared<calibrate_options>();
    auto* cmd = app.add_subcommand(
        "calibrate", "Calibrate a capture set from files (a manifest of the flat field and sweep)");
    cmd->add_option("MANIFEST", opts->manifest,
                    "manifest.json of the capture set, or the folder that holds it")
        ->required();
    cmd->add_option("--out", opts->out, "output folder")
        ->check(kNonEmptyPath)
        ->capture_default_str();
    cmd->add_option("--settings", opts->records.settings,
                    "cal_settings to use instead of the manifest's (JSON or 356-byte record)");
    cmd->add_option("--sensor", opts->records.sensor,
                    "sensor_cfg to use instead of the manifest's (JSON or 2,072-byte record)");
    cmd->add_option("--limits", opts->records.limits,
                    "gain_limits to use instead of the manifest's (JSON or 8-byte record)");
    cmd->add_option("--acceptance", opts->acceptance,
                    "acceptance.json: the limits of a good module (default: the built-in "
                    "defaults); the verdict goes to verdict.json");
    cmd->callback([opts] { run_calibrate(*opts); });
}

}  // namespace orvane_tool
