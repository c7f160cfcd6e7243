// `orvane capture MANIFEST`: a capture set read and checked exactly as
// `orvane calibrate` reads it (every record check, every frame format),
// written to standard output for a host that leaves reading capture sets to
// the tool (the Python package): one line of JSON, then the images.
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "commands/commands.h"
#include "io/capture_io.h"
#include "io/files.h"

namespace orvane_tool {
namespace {

struct capture_options {
    std::string manifest;
    io::record_overrides records;
    bool any_order = false;
};

void write_images(const capture_set& cs, const frame& f) {
    const std::vector<uint16_t>* images[2] = {&f.raw, nullptr};
    if (cs.kind == layout::dual) images[0] = &f.left, images[1] = &f.right;
    for (const std::vector<uint16_t>* image : images) {
        if (!image) continue;
        if (std::fwrite(image->data(), sizeof(uint16_t), image->size(), stdout) != image->size())
            throw io::io_error("standard output: cannot write the images");
    }
}

void run_capture(const capture_options& o) {
    std::optional<ground_truth> truth;
    io::sweep_files sweep;
    const capture_set cs =
        io::load_capture_set(o.manifest, truth, o.records, !o.any_order, &sweep);
    io::json head = io::json::object();
    head["layout"] = layout_name(cs.kind);
    head["width"] = cs.width;
    head["height"] = cs.height;
    head["black_level"] = cs.kind == layout::dual ? cs.black_level : cs.cfg.black_level;
    head["settings"] = io::to_json(cs.settings);
    head["limits"] = io::to_json(cs.limits);
    if (cs.kind != layout::dual) head["sensor"] = io::to_json(cs.cfg);
    if (truth) head["truth"] = io::to_json(*truth);
    head["flat_lens_position"] = cs.flat.lens_position;
    io::json lens = io::json::array();
    for (const frame& f : cs.sweep) lens.push_back(f.lens_position);
    head["lens_positions"] = std::move(lens);
    head["images"] = cs.kind == layout::dual ? "left right" : "raw";
    std::fputs((head.dump() + "\n").c_str(), stdout);
    // The flat field, then each sweep frame, read one at a time.
    write_images(cs, cs.flat);
    for (size_t k = 0; k < cs.sweep.size(); ++k) write_images(cs, sweep.read(k));
    if (std::fflush(stdout) != 0) throw io::io_error("standard output: cannot write the images");
}

}  // namespace

void add_capture_command(CLI::App& app) {
    auto opts = std::make_shared<capture_options>();
    auto* cmd = app.add_subcommand(
        "capture",
        "Read and check a capture set as calibrate does, and write it to standard output: one "
        "JSON line (layout, size, records, truth, lens positions), then the flat field's and "
        "each sweep frame's images as 16-bit little-endian samples (raw, or left then right)");
    cmd->add_option("MANIFEST", opts->manifest, "manifest.json of the capture set")->required();
    cmd->add_option("--settings", opts->records.settings,
                    "cal_settings to use instead of the manifest's (JSON or 356-byte record)");
    cmd->add_option("--sensor", opts->records.sensor,
                    "sensor_cfg to use instead of the manifest's (JSON or 2,072-byte record)");
    cmd->add_option("--limits", opts->records.limits,
                    "gain_limits to use instead of the manifest's (JSON or 8-byte record)");
    cmd->add_flag("--any-order", opts->any_order,
                  "take sweep lens positions in any order (a verification set)");
    cmd->callback([opts] { run_capture(*opts); });
}

}  // namespace orvane_tool
