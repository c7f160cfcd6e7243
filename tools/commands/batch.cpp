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
    std::string acceptance;
    std::string module_reports = "failed";
    bool no_page = false;
    std::string db;        // history database URL to ingest the lot into at the end
    unsigned jobs = 0;
    bool force = false;
    bool list = false;
    std::string one;       // a single manifest: its header and row on stdout
    std::string one_name;  // its module name
    std::string summary;   // a results folder: print its lot.csv's yield
};

module_options module_options_of(const batch_options& o) {
    module_options mo{o.records, o.force};
    if (!o.acceptance.empty()) {
        mo.limits = acceptance::read_limits(o.acceptance);
        mo.acceptance = o.acceptance;
    }
    return mo;
}

void run_one(const batch_options& o) {
    const fs::path manifest = io::manifest_path_of(o.one);
    lot_entry e{o.one_name, fs::absolute(manifest).lexically_normal().string()};
    if (e.module.empty()) e.module = fs::path(e.manifest).parent_path().filename().string();
    std::optional<module_outcome> m;
    {
        const library_messages messages(STDERR_FILENO);
        const module_scope scope(e.module);
        m = calibrate_lot_module(e, o.out, module_options_of(o));
    }
    std::printf("%s\n%s\n", lot_table_header().c_str(), m->row.c_str());
}

// `--summary DIR`: the yield of a lot table written by another runner (the
// Python package's Dask path), worded as this command words its own.
void print_summary(const batch_options& o) {
    const std::string path = (fs::path(o.summary) / "lot.csv").string();
    const std::vector<uint8_t> bytes = io::read_file(path);
    std::printf("%s", yield_summary(outcomes_from_table(std::string(bytes.begin(), bytes.end()),
                                                        path),
                                    o.acceptance.empty() ? "defaults" : o.acceptance)
                          .c_str());
}

void run_batch(const batch_options& o) {
    if (!o.summary.empty()) return print_summary(o);
    if (!o.one.empty()) return run_one(o);
    if (o.lot.empty()) throw CLI::ValidationError("LOT", "a lot folder or list is required");
    const std::vector<lot_entry> lot = find_lot(o.lot, o.out);
    const module_options checked = module_options_of(o);  // a bad acceptance file stops here
    (void)checked;
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
    const module_options mo = module_options_of(o);
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
    size_t resumed = 0;
    for (const module_outcome& m : outcomes) {
        table += m.row + "\n";
        resumed += m.resumed;
    }
    const std::string table_path = (fs::path(o.out) / "lot.csv").string();
    io::write_file_atomic(table_path, table);

    std::printf(
        "orvane batch: %zu modules in %s with %u worker%s (%zu calibrated, %zu already "
        "complete)\n%s",
        lot.size(), duration_text(seconds_since(t0)).c_str(), jobs, jobs == 1 ? "" : "s",
        lot.size() - resumed, resumed,
        yield_summary(outcomes, o.acceptance.empty() ? "defaults" : o.acceptance).c_str());
    std::printf("Lot table: %s\n", table_path.c_str());
    if (!o.db.empty()) {
        // The lot's folder is complete whatever the database does: a failed
        // ingest is the run's error, but after the outputs and the page.
        std::fflush(stdout);
        ingest_history(o.out, o.db);
    }
    if (o.no_page) {
        std::printf("Lot page: orvane lot-page %s\n", o.out.c_str());
        return;
    }
    // The calibration is done whatever the page does: a page that cannot be
    // written is reported, not an error of the run.
    std::fflush(stdout);
    try {
        write_lot_page(o.out, o.module_reports);
        std::printf("Lot page: %s%s\n", (fs::path(o.out) / "lot.html").string().c_str(),
                    o.module_reports == "none"  ? ""
                    : o.module_reports == "all" ? ", linking every module's report.html"
                                                : ", linking the failed modules' report.html");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "orvane batch: the lot page was not written (%s); write it with: "
                     "orvane lot-page %s\n", e.what(), o.out.c_str());
    }
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
    cmd->add_option("--acceptance", opts->acceptance,
                    "acceptance.json: the limits of a good module (default: the built-in "
                    "defaults); each module's verdict goes to DIR/<module>/verdict.json");
    cmd->add_option("--module-reports", opts->module_reports,
                    "whose report.html to write for the lot page (a few seconds each): all, "
                    "failed or none")
        ->check(CLI::IsMember({"all", "failed", "none"}))
        ->capture_default_str();
    cmd->add_option("--db", opts->db,
                    "at the end, record the lot in this history database (sqlite:///FILE or "
                    "postgresql://...; orvane history, docs/history.md)");
    cmd->add_flag("--no-page", opts->no_page, "do not write lot.html and the modules' reports");
    cmd->add_flag("--force", opts->force, "redo modules whose outputs are complete");
    cmd->add_flag("--list", opts->list, "print the lot's modules (name TAB manifest) and stop");
    cmd->add_option("--one", opts->one,
                    "calibrate this one manifest into DIR/<module>/ and print its lot-table "
                    "header and row (what each task of the Python package's batch runs)")
        ->excludes("LOT")
        ->excludes("--list");
    cmd->add_option("--summary", opts->summary,
                    "print the yield summary of DIR/lot.csv (--acceptance names the limits) "
                    "and stop")
        ->excludes("LOT")
        ->excludes("--one");
    cmd->add_option("--name", opts->one_name,
                    "module name for --one (default: the capture set's folder name)")
        ->needs("--one");
    cmd->callback([opts] { run_batch(*opts); });
}

}  // namespace orvane_tool
