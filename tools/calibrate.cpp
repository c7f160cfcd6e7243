// `orvane calibrate MANIFEST`: the full calibration of a capture set from
// files, printed and written as `orvane demo` does.
#include "calibrate.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "commands.h"
#include "io/capture_io.h"
#include "io/files.h"
#include "session.h"

namespace orvane_tool {
namespace {

struct calibrate_options {
    std::string manifest;
    std::string out = "orvane-calibration";
    io::record_overrides records;
};

void run_calibrate(const calibrate_options& o, std::FILE* log = stdout) {
    const auto t0 = std::chrono::steady_clock::now();
    // The output folder belongs to the tool (it replaces and removes its
    // files there): never the capture set's own folder.
    std::error_code ec;
    const std::filesystem::path set_folder = std::filesystem::absolute(o.manifest).parent_path();
    if (std::filesystem::equivalent(set_folder, o.out, ec)) {
        throw io::io_error(o.out + ": is the capture set's folder; give the outputs their own");
    }
    std::optional<ground_truth> truth;
    io::sweep_files sweep;
    const capture_set cs = io::load_capture_set(o.manifest, truth, o.records, true, &sweep);

    std::fprintf(log, "orvane calibrate: %s: %s PD layout, %u x %u %s, %zu sweep frames%s\n",
                 o.manifest.c_str(), layout_name(cs.kind), cs.width, cs.height,
                 cs.kind == layout::dual ? "left and right images" : "raw frames", cs.sweep.size(),
                 truth ? ", with ground truth" : "");
    print_settings(cs, log);
    std::fprintf(
        log, "Loaded the flat field; %zu sweep frames (lens %d..%d) read one at a time; %.2f s\n",
        cs.sweep.size(), cs.sweep.front().lens_position, cs.sweep.back().lens_position,
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    std::fflush(log);

    calibrate_and_report(cs, truth ? &*truth : nullptr, o.out, log,
                         [&sweep](size_t k) { return sweep.read(k); });
    std::fprintf(log, "Total %.2f s\n",
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
}

}  // namespace

void calibrate_manifest(const std::string& manifest, const std::string& out,
                        const io::record_overrides& records, std::FILE* log) {
    run_calibrate({manifest, out, records}, log);
}

void add_calibrate_command(CLI::App& app) {
    auto opts = std::make_shared<calibrate_options>();
    auto* cmd = app.add_subcommand(
        "calibrate", "Calibrate a capture set from files (a manifest of the flat field and sweep)");
    cmd->add_option("MANIFEST", opts->manifest, "manifest.json of the capture set")->required();
    cmd->add_option("--out", opts->out, "output folder")
        ->check(kNonEmptyPath)
        ->capture_default_str();
    cmd->add_option("--settings", opts->records.settings,
                    "cal_settings to use instead of the manifest's (JSON or 356-byte record)");
    cmd->add_option("--sensor", opts->records.sensor,
                    "sensor_cfg to use instead of the manifest's (JSON or 2,072-byte record)");
    cmd->add_option("--limits", opts->records.limits,
                    "gain_limits to use instead of the manifest's (JSON or 8-byte record)");
    cmd->callback([opts] { run_calibrate(*opts); });
}

}  // namespace orvane_tool
