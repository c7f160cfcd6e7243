#include "pipeline/manifest_calibration.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>

#include "io/files.h"
#include "pipeline/calibration_report.h"

namespace orvane_tool {

void calibrate_manifest(const std::string& given, const std::string& out,
                        const io::record_overrides& records, std::FILE* log) {
    const auto t0 = std::chrono::steady_clock::now();
    const std::string manifest = io::manifest_path_of(given);
    // The output folder belongs to the tool (it replaces and removes its
    // files there): never the capture set's own folder.
    std::error_code ec;
    const std::filesystem::path set_folder = std::filesystem::absolute(manifest).parent_path();
    if (std::filesystem::equivalent(set_folder, out, ec)) {
        throw io::io_error(out + ": is the capture set's folder; give the outputs their own");
    }
    std::optional<ground_truth> truth;
    io::sweep_files sweep;
    const capture_set cs = io::load_capture_set(manifest, truth, records, true, &sweep);

    std::fprintf(log, "orvane calibrate: %s: %s PD layout, %u x %u %s, %zu sweep frames%s\n",
                 manifest.c_str(), layout_name(cs.kind), cs.width, cs.height,
                 cs.kind == layout::dual ? "left and right images" : "raw frames", cs.sweep.size(),
                 truth ? ", with ground truth" : "");
    print_settings(cs, log);
    std::fprintf(
        log, "Loaded the flat field; %zu sweep frames (lens %d..%d) read one at a time; %.2f s\n",
        cs.sweep.size(), cs.sweep.front().lens_position, cs.sweep.back().lens_position,
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    if (sweep.plan.captured_falling)
        std::fprintf(log,
                     "The sweep was captured far to near (lens positions falling): its frames "
                     "are fed in rising order, the manifest's last first\n");
    std::fflush(log);

    calibrate_and_report(cs, truth ? &*truth : nullptr, out, log,
                         [&sweep](size_t k) { return sweep.read(k); });
    std::fprintf(log, "Total %.2f s\n",
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
}

}  // namespace orvane_tool
