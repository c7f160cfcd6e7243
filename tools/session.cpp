#include "session.h"

#include <chrono>
#include <cstdio>

#include "flags.h"
#include "report.h"
#include "residual.h"
#include "run.h"
#include "tuning.h"

namespace orvane_tool {

void print_settings(const capture_set& cs) {
    std::printf("Settings:\n%s", describe_settings(cs.settings, cs.limits, cs.kind).c_str());
}

void calibrate_and_report(const capture_set& cs, const ground_truth* truth,
                          const std::string& out_dir, const frame_reader& read_frame) {
    if (truth &&
        (truth->win_cols != cs.settings.win_cols || truth->win_rows != cs.settings.win_rows)) {
        std::printf(
            "Ground truth left aside: its %d x %d window grid is not the settings' %d x %d\n",
            truth->win_cols, truth->win_rows, cs.settings.win_cols, cs.settings.win_rows);
        truth = nullptr;
    }

    const auto t0 = std::chrono::steady_clock::now();
    const calibration_result r = run_calibration(
        cs, {},
        [](int k, int n, int32_t lens, uint32_t status) {
            std::printf("  frame %2d/%d  lens %4d  status 0x%08X %s\n", k + 1, n, lens, status,
                        flag_names(status, false).c_str());
            std::fflush(stdout);
        },
        read_frame);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("Gain map: status 0x%08X %s; DCC map: status 0x%08X %s", r.gain_status,
                flag_names(r.gain_status, false).c_str(), r.dcc_status,
                flag_names(r.dcc_status, true).c_str());
    if (cs.kind == layout::dual) {
        std::printf("; focus on the mean of the two images\n");
    } else {
        std::printf("; focus on Bayer channel %u\n", r.bayer_channel);
    }
    std::printf("Calibration ran in %.2f s (%s, %zu bytes; curve of field %zu bytes)\n\n", seconds,
                r.block_writer.c_str(), r.block.size(), r.cof_block.size());

    print_window_table(stdout, r, truth);
    std::printf("\n");
    accuracy acc = assess(r, truth ? *truth : ground_truth{}, truth ? &cs : nullptr);
    acc.residual = measure_gain_residual(cs, r.gains);
    print_summary(stdout, r, acc, truth != nullptr);
    std::fflush(stdout);

    write_outputs(out_dir, cs, r, truth, acc);
    std::printf("Outputs in %s:", out_dir.c_str());
    for (const std::string& name : output_names(truth != nullptr)) {
        std::printf(" %s", name.c_str());
    }
    std::printf("\n");
}

}  // namespace orvane_tool
