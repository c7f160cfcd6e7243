#include "pipeline/calibration_report.h"

#include <chrono>
#include <cstdio>

#include "io/flags.h"
#include "pipeline/outputs.h"
#include "pipeline/residual.h"
#include "pipeline/calibration.h"
#include "simulation/tuning.h"

namespace orvane_tool {

void print_settings(const capture_set& cs, std::FILE* log) {
    std::fprintf(log, "Settings:\n%s", describe_settings(cs.settings, cs.limits, cs.kind).c_str());
}

void calibrate_and_report(const capture_set& cs, const ground_truth* truth,
                          const std::string& out_dir, std::FILE* log,
                          const frame_reader& read_frame) {
    if (truth &&
        (truth->win_cols != cs.settings.win_cols || truth->win_rows != cs.settings.win_rows)) {
        std::fprintf(
            log, "Ground truth left aside: its %d x %d window grid is not the settings' %d x %d\n",
            truth->win_cols, truth->win_rows, cs.settings.win_cols, cs.settings.win_rows);
        truth = nullptr;
    }

    const auto t0 = std::chrono::steady_clock::now();
    const calibration_result r = run_calibration(
        cs, {},
        [log](int k, int n, int32_t lens, uint32_t status) {
            std::fprintf(log, "  frame %2d/%d  lens %4d  status 0x%08X %s\n", k + 1, n, lens,
                         status, flag_names(status, false).c_str());
            std::fflush(log);
        },
        read_frame);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::fprintf(log, "Gain map: status 0x%08X %s; DCC map: status 0x%08X %s", r.gain_status,
                 flag_names(r.gain_status, false).c_str(), r.dcc_status,
                 flag_names(r.dcc_status, true).c_str());
    if (cs.kind == layout::dual) {
        std::fprintf(log, "; focus on the mean of the two images\n");
    } else {
        std::fprintf(log, "; focus on Bayer channel %u\n", r.bayer_channel);
    }
    std::fprintf(log, "Calibration ran in %.2f s (%s, %zu bytes; curve of field %zu bytes)\n\n",
                 seconds, r.block_writer.c_str(), r.block.size(), r.cof_block.size());

    print_window_table(log, r, truth);
    std::fprintf(log, "\n");
    accuracy acc = assess(r, truth ? *truth : ground_truth{}, truth ? &cs : nullptr);
    acc.residual = measure_gain_residual(cs, r.gains);
    print_summary(log, r, acc, truth != nullptr);
    std::fflush(log);

    write_outputs(out_dir, cs, r, truth, acc);
    std::fprintf(log, "Outputs in %s:", out_dir.c_str());
    for (const std::string& name : output_names(truth != nullptr)) {
        std::fprintf(log, " %s", name.c_str());
    }
    std::fprintf(log, "\n");
}

}  // namespace orvane_tool
