// `orvane simulate --out DIR`: the synthetic module's capture set on disk,
// exactly the set `orvane demo` calibrates for the same options.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "commands.h"
#include "io/capture_io.h"
#include "sim_options.h"

namespace orvane_tool {
namespace {

struct simulate_options {
    sim_options sim;
    std::string out;
    io::frame_format format = io::frame_format::raw16;
    bool verify = false;
};

void run_simulate(const simulate_options& o) {
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
    cmd->callback([opts] { run_simulate(*opts); });
}

}  // namespace orvane_tool
