// `orvane demo`: a full calibration of the synthetic PD sensor, checked against
// the sensor's ground truth.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "acceptance/verdict.h"
#include "commands/commands.h"
#include "pipeline/calibration_report.h"
#include "simulation/sim_options.h"
#include "pipeline/verification.h"

namespace orvane_tool {
namespace {

struct demo_options {
    sim_options sim;
    std::string out = "orvane-demo";
};

void run_demo(const demo_options& o) {
    const auto t0 = std::chrono::steady_clock::now();
    const orvane_sim::sensor_model model = sim_model(o.sim);
    std::printf("orvane demo: %s PD layout, %u x %u sensor, seed %llu\n", layout_name(o.sim.kind),
                o.sim.width, o.sim.height, static_cast<unsigned long long>(o.sim.seed));

    const orvane_sim::rendering scene = render_tuned(o.sim);
    const capture_set& cs = scene.capture;
    print_settings(cs);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf(
        "Rendered the flat field and %zu sweep frames (%u x %u images, lens %d..%d step %d) "
        "in %.2f s\n",
        cs.sweep.size(), cs.width, cs.height, cs.sweep.empty() ? 0 : cs.sweep.front().lens_position,
        cs.sweep.empty() ? 0 : cs.sweep.back().lens_position, model.lens_step, seconds);
    std::fflush(stdout);

    calibrate_and_report(cs, &scene.truth, o.out);

    // The closed loop: a second sweep of the same module at lens positions the
    // calibration never saw, judged against the calibration just written.
    const auto t1 = std::chrono::steady_clock::now();
    const orvane_sim::rendering check = render_verification(o.sim);
    std::printf("\nVerification: rendered %zu frames of the moved chart off the calibration grid\n",
                check.capture.sweep.size());
    const verification v = run_verification(load_calibration(o.out), check.capture, &check.truth);
    print_verification(stdout, v);
    write_verification(o.out, v);
    std::printf("Verification ran in %.2f s; verify.json in %s\n\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t1).count(),
                o.out.c_str());
    // The verdict a line would give this module, with the default limits.
    acceptance::judge_outputs(o.out, acceptance::default_limits(), "defaults",
                              std::filesystem::path(o.out) / "verify.json", o.out, stdout);
    std::printf("Total %.2f s\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
}

}  // namespace

void add_demo_command(CLI::App& app) {
    auto opts = std::make_shared<demo_options>();
    auto* cmd = app.add_subcommand(
        "demo",
        "Calibrate a synthetic PD sensor end to end and check the result against its truth");
    add_sim_options(*cmd, opts->sim);
    cmd->add_option("--out", opts->out, "output folder")
        ->check(kNonEmptyPath)
        ->capture_default_str();
    cmd->callback([opts] { run_demo(*opts); });
}

}  // namespace orvane_tool
