#include "lot/calibrate_module.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "acceptance/verdict.h"
#include "io/files.h"
#include "lot/library_output.h"
#include "lot/marks.h"
#include "lot/progress.h"
#include "pipeline/manifest_calibration.h"

namespace orvane_tool {
namespace fs = std::filesystem;

namespace {

// The text `orvane calibrate` would print, gathered in memory: workers run
// side by side, and their lines must not interleave on the terminal.
class memory_log {
  public:
    memory_log() : file_(open_memstream(&data_, &size_)) {}
    ~memory_log() {
        if (file_) std::fclose(file_);
        std::free(data_);
    }
    memory_log(const memory_log&) = delete;
    memory_log& operator=(const memory_log&) = delete;
    std::FILE* file() { return file_ ? file_ : stderr; }
    std::string text() {
        if (!file_) return "";
        std::fflush(file_);
        return std::string(data_, size_);
    }

  private:
    char* data_ = nullptr;
    size_t size_ = 0;
    std::FILE* file_;
};

}  // namespace

module_outcome calibrate_lot_module(const lot_entry& e, const std::string& out_dir,
                                    const module_options& o) {
    const auto t0 = std::chrono::steady_clock::now();
    const fs::path dir = fs::path(out_dir) / e.module;
    try {
        const provenance p = provenance_of(e, o.records);
        if (!o.force) {
            if (const std::optional<double> runtime = complete_outputs(dir, p)) {
                module_outcome done = outcome_from_summary(
                    e.module, dir, *runtime,
                    acceptance::judge_outputs(dir, o.limits, o.acceptance, {}, dir, nullptr));
                done.resumed = true;
                return done;
            }
        }
        // Unmarked while it is redone: an interruption, or a failure that
        // leaves the earlier outputs in place, is never taken for complete.
        std::error_code ec;
        fs::remove(dir / kMarkName, ec);

        memory_log log;
        const module_log_scope log_scope(log.file());
        calibrate_manifest(e.manifest, dir.string(), o.records, log.file());
        io::write_file_atomic((dir / kLogName).string(), log.text());
        const double runtime = seconds_since(t0);
        module_outcome done = outcome_from_summary(
            e.module, dir, runtime,
            acceptance::judge_outputs(dir, o.limits, o.acceptance, {}, dir, nullptr));
        write_mark(dir, p, runtime);
        return done;
    } catch (const std::exception& ex) {
        return error_outcome(e.module, ex.what(), seconds_since(t0));
    }
}

}  // namespace orvane_tool
