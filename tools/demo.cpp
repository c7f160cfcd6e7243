// `orvane demo`: a full calibration of the synthetic PD sensor, checked against
// the sensor's ground truth.
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "commands.h"
#include "report.h"
#include "run.h"
#include "sim.h"
#include "tuning.h"

namespace orvane_tool {
namespace {

struct demo_options {
    std::string layout_text = "horizontal";
    layout kind = layout::horizontal;
    uint32_t width = 1600;
    uint32_t height = 1200;
    uint64_t seed = 1;
    std::string out = "orvane-demo";
};

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void run_demo(const demo_options& o) {
    const auto t0 = std::chrono::steady_clock::now();
    const orvane_sim::sensor_model model = orvane_sim::default_model(o.width, o.height);
    const cal_settings settings = tuned_settings(model, o.kind);
    const gain_limits limits = tuned_limits(model, o.kind);

    std::printf("orvane demo: %s PD layout, %u x %u sensor, seed %llu\n", layout_name(o.kind),
                o.width, o.height, static_cast<unsigned long long>(o.seed));
    std::printf("Settings:\n%s", describe_settings(settings, limits, o.kind).c_str());

    const orvane_sim::rendering scene = orvane_sim::render(model, o.kind, o.seed, settings, limits);
    const capture_set& cs = scene.capture;
    std::printf(
        "Rendered the flat field and %zu sweep frames (%u x %u images, lens %d..%d step %d) "
        "in %.2f s\n",
        cs.sweep.size(), cs.width, cs.height, cs.sweep.empty() ? 0 : cs.sweep.front().lens_position,
        cs.sweep.empty() ? 0 : cs.sweep.back().lens_position, model.lens_step, seconds_since(t0));

    run_options ro;
    ro.dump_path = (std::filesystem::path(o.out) / "state_dump.bin").string();
    std::filesystem::create_directories(o.out);
    const auto t1 = std::chrono::steady_clock::now();
    const calibration_result r =
        run_calibration(cs, ro, [](int k, int n, int32_t lens, uint32_t status) {
            std::printf("  frame %2d/%d  lens %4d  status 0x%08X %s\n", k + 1, n, lens, status,
                        flag_names(status, false).c_str());
            std::fflush(stdout);
        });
    std::printf("Gain map: status 0x%08X %s; DCC map: status 0x%08X %s", r.gain_status,
                flag_names(r.gain_status, false).c_str(), r.dcc_status,
                flag_names(r.dcc_status, true).c_str());
    if (o.kind == layout::dual) {
        std::printf("; focus on the mean of the two images\n");
    } else {
        std::printf("; focus on Bayer channel %u\n", r.bayer_channel);
    }
    std::printf("Calibration ran in %.2f s (%s, %zu bytes; curve of field %zu bytes)\n\n",
                seconds_since(t1), r.block_writer.c_str(), r.block.size(), r.cof_block.size());

    print_window_table(stdout, r, scene.truth);
    std::printf("\n");
    const accuracy acc = assess(r, scene.truth);
    print_summary(stdout, r, acc);
    write_outputs(o.out, cs, r, scene.truth, acc);
    std::printf(
        "Outputs in %s: calibration_block.bin curve_of_field_block.bin state_dump.bin "
        "gainmap.json dccmap.json ground_truth.json summary.json\n",
        o.out.c_str());
    std::printf("Total %.2f s\n", seconds_since(t0));
}

}  // namespace

void add_demo_command(CLI::App& app) {
    auto opts = std::make_shared<demo_options>();
    auto* cmd = app.add_subcommand(
        "demo",
        "Calibrate a synthetic PD sensor end to end and check the result against its truth");
    cmd->add_option("--layout", opts->layout_text, "PD layout")
        ->check(CLI::IsMember({"horizontal", "vertical", "dual"}, CLI::ignore_case))
        ->capture_default_str();
    // A Bayer sensor has even dimensions; 4096 x 3072 keeps a sweep near 300 MB.
    const CLI::Validator even(
        [](std::string& v) {
            return std::strtoul(v.c_str(), nullptr, 10) % 2 ? std::string("must be even")
                                                            : std::string();
        },
        "EVEN");
    cmd->add_option("--width", opts->width, "sensor width in pixels")
        ->check(CLI::Range(256u, 4096u) & even)
        ->capture_default_str();
    cmd->add_option("--height", opts->height, "sensor height in pixels")
        ->check(CLI::Range(192u, 3072u) & even)
        ->capture_default_str();
    cmd->add_option("--seed", opts->seed, "noise seed")->capture_default_str();
    cmd->add_option("--out", opts->out, "output folder")->capture_default_str();
    cmd->callback([opts] {
        for (char& ch : opts->layout_text) {
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        }
        opts->kind = opts->layout_text == "vertical" ? layout::vertical
                     : opts->layout_text == "dual"   ? layout::dual
                                                     : layout::horizontal;
        run_demo(*opts);
    });
}

}  // namespace orvane_tool
