// `orvane init DIR`: the skeleton of a capture set for one's own module: the
// records at their defaults for the layout and size, and a manifest that
// names the frames to capture, ready to calibrate once they are there.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "acceptance/limits.h"
#include "commands/commands.h"
#include "io/capture_io.h"
#include "io/files.h"
#include "simulation/tuning.h"

namespace orvane_tool {
namespace fs = std::filesystem;

namespace {

struct init_options {
    std::string dir;
    layout kind = layout::horizontal;
    uint32_t width = 0;
    uint32_t height = 0;
    io::frame_format format = io::frame_format::raw16;
};

// The plan is the simulated module's, the module the defaults are tuned on:
// its sensor configuration (PD pixel positions, margins, black level), its
// gain limits and its sweep's lens positions.
capture_set plan_of(const init_options& o) {
    const orvane_sim::sensor_model model = orvane_sim::default_model(o.width, o.height);
    capture_set plan;
    plan.kind = o.kind;
    plan.cfg = orvane_sim::make_sensor_cfg(model, o.kind);
    plan.settings = tuned_settings(model, o.kind);
    plan.limits = tuned_limits(model, o.kind);
    orvane_sim::image_size(model, o.kind, plan.width, plan.height);
    plan.black_level = model.black_level;
    plan.flat.lens_position = model.flat_lens;
    plan.sweep.resize(static_cast<size_t>(plan.settings.sweep_frames));
    for (size_t k = 0; k < plan.sweep.size(); ++k)
        plan.sweep[k].lens_position = model.lens_first + static_cast<int>(k) * model.lens_step;
    return plan;
}

void run_init(const init_options& o) {
    if (fs::exists(fs::path(o.dir) / "manifest.json"))
        throw io::io_error(o.dir + ": holds a manifest.json already; init writes a new set only");
    const capture_set plan = plan_of(o);
    std::vector<std::pair<std::string, std::string>> extra;
    // The limits a good module must meet, at their defaults, to be edited.
    extra.emplace_back("acceptance.json", io::json_text(acceptance::default_limits_json()));
    io::save_capture_plan(plan, o.dir, o.format, extra);

    const bool dual = o.kind == layout::dual;
    const std::string ext = io::frame_extension(o.format);
    const std::string frames =
        dual ? "flat_left" + ext + ", flat_right" + ext + ", f00_left" + ext + " .. f" +
                   std::to_string(plan.sweep.size() - 1) + "_right" + ext
             : "flat" + ext + ", f00" + ext + " .. f" + std::to_string(plan.sweep.size() - 1) + ext;
    std::printf(
        "orvane init: wrote %s: manifest.json, %ssettings.json, limits.json and acceptance.json "
        "for a %s PD "
        "module, %u x %u %s frames\n"
        "Before calibrating (docs/own-captures.md):\n"
        "  1. Capture the flat field and %zu sweep frames into %s as %s.\n"
        "  2. Put each frame's lens position (your actuator's code) into manifest.json: the ones\n"
        "     there are placeholders, the simulated module's plan (flat %d, sweep %d to %d).\n"
        "  3. Check %ssettings.json (lens_min, lens_max%s)\n"
        "     and limits.json against your module; set acceptance.json's limits (docs/acceptance.md).\n"
        "Then: orvane calibrate %s --acceptance %s/acceptance.json --out RESULTS\n",
        o.dir.c_str(), dual ? "" : "sensor.json, ", layout_name(o.kind), plan.width, plan.height,
        io::frame_format_name(o.format), plan.sweep.size(), o.dir.c_str(), frames.c_str(),
        plan.flat.lens_position, plan.sweep.front().lens_position,
        plan.sweep.back().lens_position, dual ? "" : "sensor.json (black level, PD pixels), ",
        dual ? ", pd_pitch_2pd" : "", o.dir.c_str(), o.dir.c_str());
}

}  // namespace

void add_init_command(CLI::App& app) {
    auto opts = std::make_shared<init_options>();
    auto* cmd = app.add_subcommand(
        "init", "Write a capture set's skeleton for one's own module: manifest, records at "
                "their defaults, the frames to capture");
    cmd->add_option("DIR", opts->dir, "folder for the capture set")
        ->required()
        ->check(kNonEmptyPath);
    cmd->add_option_function<std::string>(
           "--layout",
           [opts](const std::string& name) {
               opts->kind = io::layout_from_name(name, "--layout");
           },
           "PD layout: horizontal, vertical or dual")
        ->transform(CLI::IsMember({"horizontal", "vertical", "dual"}, CLI::ignore_case))
        ->required();
    const CLI::Validator even(
        [](std::string& v) {
            return std::strtoul(v.c_str(), nullptr, 10) % 2 ? std::string("must be even")
                                                            : std::string();
        },
        "EVEN");
    cmd->add_option("--width", opts->width,
                    "sensor width in pixels (dual: the PD images are this over pd_pitch_2pd)")
        ->check(CLI::Range(64u, 65534u) & even)
        ->required();
    cmd->add_option("--height", opts->height, "sensor height in pixels")
        ->check(CLI::Range(64u, 65534u) & even)
        ->required();
    cmd->add_option_function<std::string>(
           "--format",
           [opts](const std::string& name) {
               opts->format = io::frame_format_from_name(name, "--format");
           },
           "frame files: raw16 (16-bit little-endian), raw10 (MIPI CSI-2 packed), pgm or png")
        ->transform(CLI::IsMember({"raw16", "raw10", "pgm", "png"}, CLI::ignore_case))
        ->default_str("raw16");
    cmd->callback([opts] { run_init(*opts); });
}

}  // namespace orvane_tool
