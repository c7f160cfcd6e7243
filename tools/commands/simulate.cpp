// `orvane simulate --out DIR`: the synthetic module's capture set on disk,
// exactly the set `orvane demo` calibrates for the same options.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "commands/commands.h"
#include "io/capture_io.h"
#include "io/files.h"
#include "lot.h"
#include "simulation/sim_options.h"
#include "simulation/tuning.h"

namespace orvane_tool {
namespace {

struct simulate_options {
    sim_options sim;
    std::string out;
    io::frame_format format = io::frame_format::raw16;
    bool verify = false;
    int lot = 0;
    float dcc_scale = 1.0f;
};

// `--lot N`: N modules of the design the options describe, one capture set
// each under DIR/<module>/, calibrated with the design's settings as a line
// would; lot_truth.csv says how each module was built, manifests.txt lists
// the sets (a lot list for orvane batch).
void run_simulate_lot(const simulate_options& o) {
    const auto t0 = std::chrono::steady_clock::now();
    const orvane_sim::sensor_model design = sim_model(o.sim);
    const cal_settings settings = tuned_settings(design, o.sim.kind);
    const gain_limits limits = tuned_limits(design, o.sim.kind);
    // A shifted lot (a lens batch off its design) still runs the design's
    // settings, as a line would: only the modules' DCC moves.
    orvane_sim::sensor_model shifted = design;
    shifted.dcc_centre *= o.dcc_scale;
    const std::vector<orvane_sim::lot_module> lot = orvane_sim::make_lot(shifted, o.lot, o.sim.seed);
    std::printf(
        "orvane simulate: a lot of %d %s PD modules, %u x %u sensor, lot seed %llu, %s "
        "frames\n",
        o.lot, layout_name(o.sim.kind), o.sim.width, o.sim.height,
        static_cast<unsigned long long>(o.sim.seed), io::frame_format_name(o.format));
    std::fflush(stdout);

    std::string truth_csv =
        "module,fault,seed,focus_centre,field_curvature,focus_tilt_x,focus_tilt_y,dcc_centre,"
        "dcc_edge,dcc_tilt_x,vignetting,pd_sensitivity,pd_shading\n";
    std::string manifests;
    for (const orvane_sim::lot_module& m : lot) {
        const orvane_sim::rendering scene =
            orvane_sim::render(m.model, o.sim.kind, m.seed, settings, limits);
        io::save_capture_set(scene.capture, (std::filesystem::path(o.out) / m.name).string(),
                             &scene.truth, o.format);
        const orvane_sim::sensor_model& s = m.model;
        char row[512];
        std::snprintf(row, sizeof row,
                      "%s,%s,%llu,%.3f,%.3f,%.3f,%.3f,%.4f,%.4f,%.4f,%.4f,%.4f,%.4f\n",
                      m.name.c_str(), orvane_sim::lot_fault_name(m.fault),
                      static_cast<unsigned long long>(m.seed), static_cast<double>(s.focus_centre),
                      static_cast<double>(s.field_curvature), static_cast<double>(s.focus_tilt_x),
                      static_cast<double>(s.focus_tilt_y), static_cast<double>(s.dcc_centre),
                      static_cast<double>(s.dcc_edge), static_cast<double>(s.dcc_tilt_x),
                      static_cast<double>(s.vignetting), static_cast<double>(s.pd_sensitivity),
                      static_cast<double>(s.pd_shading));
        truth_csv += row;
        manifests += m.name + "/manifest.json\n";
        std::printf(
            "  %s  %s\n", m.name.c_str(),
            m.fault == orvane_sim::lot_fault::none ? "" : orvane_sim::lot_fault_name(m.fault));
        std::fflush(stdout);
    }
    io::write_file_atomic((std::filesystem::path(o.out) / "lot_truth.csv").string(), truth_csv);
    io::write_file_atomic((std::filesystem::path(o.out) / "manifests.txt").string(), manifests);
    std::printf(
        "Wrote %d capture sets, lot_truth.csv and manifests.txt in %s in %.2f s\n"
        "Calibrate the lot with: orvane batch %s --out CALIBRATION_DIR\n",
        o.lot, o.out.c_str(),
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(),
        o.out.c_str());
}

void run_simulate(const simulate_options& o) {
    if (o.lot > 0) return run_simulate_lot(o);
    const auto t0 = std::chrono::steady_clock::now();
    std::printf("orvane simulate: %s PD layout, %u x %u sensor, seed %llu, %s frames\n",
                layout_name(o.sim.kind), o.sim.width, o.sim.height,
                static_cast<unsigned long long>(o.sim.seed), io::frame_format_name(o.format));
    std::fflush(stdout);
    const orvane_sim::rendering scene = o.verify ? render_verification(o.sim) : render_tuned(o.sim);
    const capture_set& cs = scene.capture;
    io::save_capture_set(cs, o.out, &scene.truth, o.format);

    const auto by_lens = [](const frame& a, const frame& b) {
        return a.lens_position < b.lens_position;
    };
    const std::string manifest = (std::filesystem::path(o.out) / "manifest.json").string();
    std::printf(
        "Wrote %s: the flat field and %zu %s frames (%u x %u %s, lens %d..%d), %s"
        "settings, limits and ground truth, in %.2f s\n",
        manifest.c_str(), cs.sweep.size(), o.verify ? "verification" : "sweep", cs.width, cs.height,
        cs.kind == layout::dual ? "left and right images" : "raw frames",
        std::min_element(cs.sweep.begin(), cs.sweep.end(), by_lens)->lens_position,
        std::max_element(cs.sweep.begin(), cs.sweep.end(), by_lens)->lens_position,
        cs.kind == layout::dual ? "" : "sensor configuration, ",
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    if (o.verify) {
        std::printf("Check a calibration with it: orvane verify CALIBRATION_DIR %s\n",
                    manifest.c_str());
    } else {
        std::printf("Calibrate it with: orvane calibrate %s\n", manifest.c_str());
    }
}

}  // namespace

void add_simulate_command(CLI::App& app) {
    auto opts = std::make_shared<simulate_options>();
    auto* cmd = app.add_subcommand(
        "simulate", "Write the synthetic PD sensor's capture set (the one demo calibrates)");
    add_sim_options(*cmd, opts->sim);
    auto* format = cmd->add_option_function<std::string>(
        "--format",
        [opts](const std::string& name) {
            opts->format = io::frame_format_from_name(name, "--format");
        },
        "frame files: raw16 (16-bit little-endian), raw10 (MIPI CSI-2 packed), pgm or png");
    format->transform(CLI::IsMember({"raw16", "raw10", "pgm", "png"}, CLI::ignore_case))
        ->default_str("raw16");
    cmd->add_option("--out", opts->out, "folder for the capture set")
        ->required()
        ->check(kNonEmptyPath);
    cmd->add_flag("--verify", opts->verify,
                  "write the module's verification set instead: the chart moved, lens positions "
                  "off the calibration grid in a shuffled order (for orvane verify)");
    cmd->add_option("--lot", opts->lot,
                    "write a lot of N modules scattered around the design (a few made to fail), "
                    "one capture set each under OUT/<module>/, seeded by --seed")
        ->check(CLI::Range(1, 100000))
        ->excludes("--verify");
    cmd->add_option("--dcc-scale", opts->dcc_scale,
                    "with --lot: the modules' DCC scattered around the design's times this "
                    "factor (a lot whose lenses drifted), the settings still the design's")
        ->check(CLI::Range(0.5f, 2.0f))
        ->needs("--lot");
    cmd->callback([opts] { run_simulate(*opts); });
}

}  // namespace orvane_tool
