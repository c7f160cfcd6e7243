// `orvane batch LOT`: every module of a lot calibrated as `orvane calibrate`
// would, one library context per worker thread, with a progress line, resume
// and the lot table.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "commands/commands.h"
#include "io/capture_io.h"
#include "io/files.h"
#include "lot/calibrate_module.h"
#include "lot/library_output.h"
#include "lot/modules.h"
#include "lot/progress.h"
#include "lot/table.h"

namespace orvane_tool {
namespace fs = std::filesystem;

namespace {

struct batch_options {
    std::string lot;
    std::string out = "orvane-lot";
    io::record_overrides records;
    unsigned jobs = 0;
    bool force = false;
    bool list = false;
    std::string one;       // a single manifest: its header and row on stdout
    std::string one_name;  // its module name
};

void run_one(const batch_options& o) {
    const fs::path manifest = io::manifest_path_of(o.one);
    lot_entry e{o.one_name, fs::absolute(manifest).lexically_normal().string()};
    if (e.module.empty()) e.module = fs::path(e.manifest).parent_path().filename().string();
    std::optional<module_outcome> m;
    {
        const library_messages messages(STDERR_FILENO);
        const module_scope scope(e.module);
        m = calibrate_lot_module(e, o.out, {o.records, o.force});
    }
    std::printf("%s\n%s\n", lot_table_header().c_str(), m->row.c_str());
}

void run_batch(const batch_options& o) {
    if (!o.one.empty()) return run_one(o);
    if (o.lot.empty()) throw CLI::ValidationError("LOT", "a lot folder or list is required");
    const std::vector<lot_entry> lot = find_lot(o.lot, o.out);
    if (o.list) {
        for (const lot_entry& e : lot)
            std::printf("%s\t%s\n", e.module.c_str(), e.manifest.c_str());
        return;
    }
    // The outputs' folder must not be a capture set's (calibrate refuses it
    // too), nor the lot folder itself, where module folders would mix.
    if (same_place(o.lot, o.out))
        throw io::io_error(o.out + ": is the lot's folder; give the outputs their own");
    fs::create_directories(o.out);

    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const unsigned jobs =
        static_cast<unsigned>(std::min<size_t>(o.jobs ? o.jobs : cores, lot.size()));
    const auto t0 = std::chrono::steady_clock::now();
    progress_line progress(lot.size(), isatty(STDERR_FILENO) == 1);

    // Each worker takes the next module; each calibration creates its own
    // context (settings may differ per module), so a worker holds one at a time.
    std::vector<module_outcome> outcomes(lot.size());
    std::atomic<size_t> next{0};
    std::atomic<size_t> finished{0};
    const module_options mo{o.records, o.force};
    auto work = [&] {
        for (size_t i; (i = next.fetch_add(1)) < lot.size();) {
            const module_scope scope(lot[i].module);
            outcomes[i] = calibrate_lot_module(lot[i], o.out, mo);
            progress.module_done(outcomes[i]);
            finished.fetch_add(1);
        }
    };
    const std::string library_log = (fs::path(o.out) / "library_output.log").string();
    const int log_fd = ::open(library_log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (log_fd < 0) throw io::io_error(library_log + ": cannot create it");
    {
        const library_messages messages(log_fd);
        std::vector<std::thread> workers;
        for (unsigned k = 0; k < jobs; ++k) workers.emplace_back(work);
        while (finished.load() < lot.size()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            progress.tick();
        }
        for (std::thread& t : workers) t.join();
        progress.finish();
    }
    ::close(log_fd);

    std::string table = lot_table_header() + "\n";
    size_t pass = 0, fail = 0, errors = 0, resumed = 0;
    std::map<std::string, size_t> by_reason;
    for (const module_outcome& m : outcomes) {
        table += m.row + "\n";
        pass += m.verdict == "pass";
        fail += m.verdict == "fail";
        errors += m.verdict == "error";
        resumed += m.resumed;
        for (const std::string& r : m.reasons) ++by_reason[r];
    }
    const std::string table_path = (fs::path(o.out) / "lot.csv").string();
    io::write_file_atomic(table_path, table);

    const double n = static_cast<double>(lot.size());
    std::printf(
        "orvane batch: %zu modules in %s with %u worker%s (%zu calibrated, %zu already "
        "complete)\n",
        lot.size(), duration_text(seconds_since(t0)).c_str(), jobs, jobs == 1 ? "" : "s",
        lot.size() - resumed, resumed);
    std::printf("  pass   %5zu  %5.1f%%  (yield)\n", pass, 100.0 * static_cast<double>(pass) / n);
    std::printf("  fail   %5zu  %5.1f%%\n", fail, 100.0 * static_cast<double>(fail) / n);
    std::printf("  error  %5zu  %5.1f%%  (not calibrated: bad files or a refused set)\n", errors,
                100.0 * static_cast<double>(errors) / n);
    if (!by_reason.empty()) {
        std::vector<std::pair<std::string, size_t>> reasons(by_reason.begin(), by_reason.end());
        std::stable_sort(reasons.begin(), reasons.end(),
                         [](const auto& a, const auto& b) { return a.second > b.second; });
        std::printf("Modules by failure reason (a module may have several):\n");
        for (const auto& [reason, count] : reasons)
            std::printf("  %-18s %5zu  %5.1f%%\n", reason.c_str(), count,
                        100.0 * static_cast<double>(count) / n);
    }
    std::printf("Lot table: %s\n", table_path.c_str());
    std::printf("Lot page: orvane lot-page %s\n", o.out.c_str());
}

}  // namespace

void add_batch_command(CLI::App& app) {
    auto opts = std::make_shared<batch_options>();
    auto* cmd = app.add_subcommand(
        "batch", "Calibrate every module of a lot, in parallel, with a lot table (resumes)");
    cmd->add_option("LOT", opts->lot,
                    "folder searched for capture sets (manifest.json), or a text file listing "
                    "manifests or capture-set folders one a line");
    cmd->add_option("--out", opts->out, "output folder: DIR/<module>/ and DIR/lot.csv")
        ->check(kNonEmptyPath)
        ->capture_default_str();
    cmd->add_option("--jobs", opts->jobs,
                    "worker threads, one library context each (default: "
                    "the number of cores)")
        ->check(CLI::Range(1u, 1024u));
    cmd->add_option("--settings", opts->records.settings,
                    "cal_settings for every module instead of each manifest's (JSON or "
                    "356-byte record)");
    cmd->add_option("--sensor", opts->records.sensor,
                    "sensor_cfg for every module instead of each manifest's (JSON or "
                    "2,072-byte record)");
    cmd->add_option("--limits", opts->records.limits,
                    "gain_limits for every module instead of each manifest's (JSON or "
                    "8-byte record)");
    cmd->add_flag("--force", opts->force, "redo modules whose outputs are complete");
    cmd->add_flag("--list", opts->list, "print the lot's modules (name TAB manifest) and stop");
    cmd->add_option("--one", opts->one,
                    "calibrate this one manifest into DIR/<module>/ and print its lot-table "
                    "header and row (what each task of the Python package's batch runs)")
        ->excludes("LOT")
        ->excludes("--list");
    cmd->add_option("--name", opts->one_name,
                    "module name for --one (default: the capture set's folder name)")
        ->needs("--one");
    cmd->callback([opts] { run_batch(*opts); });
}

}  // namespace orvane_tool
