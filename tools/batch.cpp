// `orvane batch LOT`: every module of a lot calibrated as `orvane calibrate`
// would, one library context per worker thread, with a progress line, resume
// and the lot table.
#include "batch.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "calibrate.h"
#include "commands.h"
#include "flags.h"
#include "io/files.h"
#include "io/records.h"
#include "orvane.h"
#include "report.h"

namespace orvane_tool {
namespace fs = std::filesystem;

namespace {

constexpr const char* kMarkName = "batch.json";
constexpr const char* kLogName = "calibrate.log";

// ---- The lot -------------------------------------------------------------

std::string trimmed(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos) return "";
    return s.substr(a, s.find_last_not_of(" \t\r") - a + 1);
}

bool same_place(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    return fs::equivalent(a, b, ec);
}

std::vector<lot_entry> lot_of_folder(const fs::path& root, const fs::path& out_dir) {
    std::vector<lot_entry> lot;
    std::error_code ec;
    fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec);
    if (ec) throw io::io_error(root.string() + ": cannot read the lot folder: " + ec.message());
    for (const fs::recursive_directory_iterator end; it != end; it.increment(ec)) {
        if (ec) throw io::io_error(root.string() + ": cannot read the lot folder: " + ec.message());
        const fs::directory_entry& e = *it;
        if (e.is_directory(ec)) {
            // The outputs may sit inside the lot; they hold no capture sets.
            if (same_place(e.path(), out_dir)) it.disable_recursion_pending();
            continue;
        }
        if (e.path().filename() != "manifest.json" || !e.is_regular_file(ec)) continue;
        const fs::path folder = e.path().parent_path();
        std::string name = folder.lexically_relative(root).generic_string();
        if (name.empty() || name == ".") {
            fs::path abs = fs::absolute(root).lexically_normal();
            if (abs.filename().empty()) abs = abs.parent_path();
            name = abs.filename().string();
        }
        if (name.empty()) name = "module";
        lot.push_back({name, fs::absolute(e.path()).lexically_normal().string()});
    }
    return lot;
}

std::vector<lot_entry> lot_of_list(const fs::path& list) {
    const std::vector<uint8_t> bytes = io::read_file(list.string());
    std::istringstream in(std::string(bytes.begin(), bytes.end()));
    std::vector<lot_entry> lot;
    std::string line;
    while (std::getline(in, line)) {
        const size_t hash = line.find('#');
        if (hash != std::string::npos) line.resize(hash);
        line = trimmed(line);
        if (line.empty()) continue;
        fs::path p = io::resolve_beside(list.string(), line);
        std::error_code ec;
        if (fs::is_directory(p, ec)) p /= "manifest.json";
        p = fs::absolute(p).lexically_normal();
        std::string name = p.parent_path().filename().string();
        if (name.empty()) name = "module";
        lot.push_back({name, p.string()});
    }
    return lot;
}

// ---- Files ------------------------------------------------------------------

// FNV-1a, 64 bits: enough to tell an edited manifest or settings file.
std::string fingerprint_of(const std::string& path) {
    if (path.empty()) return "";
    std::vector<uint8_t> bytes;
    try {
        bytes = io::read_file(path);
    } catch (const io::io_error&) {
        return "unreadable";
    }
    uint64_t h = 0xcbf29ce484222325ull;
    for (uint8_t b : bytes) {
        h ^= b;
        h *= 0x100000001b3ull;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
    return text;
}

std::string library_version() {
    char buf[64] = {};
    const int32_t n = Orvane_get_lib_version(buf);
    return n > 0 ? std::string(buf, std::min<size_t>(static_cast<size_t>(n), sizeof buf - 1))
                 : std::string();
}

// What a module's outputs were made from; a mark records it.
struct provenance {
    std::string manifest, manifest_hash, settings, settings_hash, library;

    io::json to_json() const {
        io::json j = io::json::object();
        j["manifest"] = manifest;
        j["manifest_fnv1a"] = manifest_hash;
        j["settings"] = settings;
        j["settings_fnv1a"] = settings_hash;
        j["library"] = library;
        return j;
    }
    bool matches(const io::json& j) const {
        auto text = [&](const char* key) {
            return j.contains(key) && j[key].is_string() ? j[key].get<std::string>()
                                                         : std::string("\x01");
        };
        return text("manifest") == manifest && text("manifest_fnv1a") == manifest_hash &&
               text("settings") == settings && text("settings_fnv1a") == settings_hash &&
               text("library") == library;
    }
};

provenance provenance_of(const lot_entry& e, const module_options& o) {
    provenance p;
    p.manifest = e.manifest;
    p.manifest_hash = fingerprint_of(e.manifest);
    if (!o.settings.empty()) {
        p.settings = fs::absolute(o.settings).lexically_normal().string();
        p.settings_hash = fingerprint_of(o.settings);
    }
    p.library = library_version();
    return p;
}

// The runtime a complete folder's mark records, when the mark matches and
// every file it lists is there with its size.
std::optional<double> complete_outputs(const fs::path& dir, const provenance& p) {
    const fs::path mark = dir / kMarkName;
    std::error_code ec;
    if (!fs::is_regular_file(mark, ec)) return std::nullopt;
    io::json j;
    try {
        const std::vector<uint8_t> bytes = io::read_file(mark.string());
        j = io::parse_json(std::string(bytes.begin(), bytes.end()), mark.string());
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (!j.is_object() || !p.matches(j) || !j.contains("files") || !j["files"].is_object() ||
        !j.contains("runtime_s") || !j["runtime_s"].is_number()) {
        return std::nullopt;
    }
    if (!j["files"].contains("summary.json")) return std::nullopt;
    for (const auto& [name, size] : j["files"].items()) {
        if (!size.is_number_unsigned()) return std::nullopt;
        const uint64_t actual = fs::file_size(dir / name, ec);
        if (ec || actual != size.get<uint64_t>()) return std::nullopt;
    }
    return j["runtime_s"].get<double>();
}

void write_mark(const fs::path& dir, const provenance& p, double runtime) {
    io::json j = p.to_json();
    j["runtime_s"] = std::round(runtime * 1000.0) / 1000.0;
    io::json files = io::json::object();
    std::vector<std::string> names = output_names(true);
    names.push_back(kLogName);
    for (const std::string& name : names) {
        std::error_code ec;
        const uint64_t size = fs::file_size(dir / name, ec);
        if (!ec) files[name] = size;
    }
    j["files"] = std::move(files);
    io::write_file_atomic((dir / kMarkName).string(), io::json_text(j));
}

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

// ---- The lot table --------------------------------------------------------

std::string csv_field(const std::string& v) {
    if (v.find_first_of(",\"\n\r") == std::string::npos) return v;
    std::string q = "\"";
    for (char c : v) q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

std::string one_line(std::string s) {
    for (char& c : s)
        if (c == '\n' || c == '\r') c = ' ';
    return trimmed(s);
}

std::string hex_word(uint32_t v) {
    char t[16];
    std::snprintf(t, sizeof t, "0x%08X", v);
    return t;
}

std::string fixed(double v, int digits) {
    char t[64];
    std::snprintf(t, sizeof t, "%.*f", digits, v);
    return t;
}

std::string joined(const std::vector<std::string>& parts, const char* sep) {
    std::string out;
    for (const std::string& p : parts) out += (out.empty() ? "" : sep) + p;
    return out;
}

struct spread {
    double min = 0, median = 0, max = 0;
};

spread spread_of(std::vector<double> v) {
    spread s;
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    s.min = v.front();
    s.max = v.back();
    s.median = n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
    return s;
}

// The numbers of a grid (rows of values) in row-major order; "nan" and other
// non-numbers are left out.
std::vector<double> grid_values(const io::json& grid) {
    std::vector<double> v;
    if (!grid.is_array()) return v;
    for (const io::json& row : grid) {
        if (!row.is_array()) continue;
        for (const io::json& x : row)
            if (x.is_number()) v.push_back(x.get<double>());
    }
    return v;
}

uint32_t word(const io::json& j, const char* key) {
    return j.contains(key) && j[key].is_number_unsigned() ? j[key].get<uint32_t>() : 0u;
}

void add_reasons(std::vector<std::string>& reasons, uint32_t status, uint32_t scope) {
    for (const std::string& name : flag_list(status, scope))
        if (std::find(reasons.begin(), reasons.end(), name) == reasons.end())
            reasons.push_back(name);
}

constexpr int kColumns = 22;

std::string row_text(const std::vector<std::string>& fields) {
    std::string row;
    for (size_t i = 0; i < fields.size(); ++i) row += (i ? "," : "") + csv_field(fields[i]);
    return row;
}

// The row of a module with outputs, from its summary.json alone, so a resumed
// module gets the very row it got when it was calibrated.
module_outcome outcome_from_summary(const std::string& module, const fs::path& dir,
                                    double runtime) {
    const fs::path path = dir / "summary.json";
    const std::vector<uint8_t> bytes = io::read_file(path.string());
    const io::json j = io::parse_json(std::string(bytes.begin(), bytes.end()), path.string());

    const uint32_t gain = word(j, "gain_status");
    const uint32_t dcc = word(j, "dcc_status");
    std::vector<std::string> frame_words, frame_names;
    uint32_t frames_or = 0;
    if (j.contains("frame_status") && j["frame_status"].is_array()) {
        int k = 0;
        for (const io::json& s : j["frame_status"]) {
            const uint32_t w = s.is_number_unsigned() ? s.get<uint32_t>() : 0u;
            frame_words.push_back(hex_word(w));
            if (w)
                frame_names.push_back(std::to_string(k) + ":" +
                                      joined(flag_list(w, ORVANE_FLAGS_FRAME), "+"));
            frames_or |= w;
            ++k;
        }
    }
    const bool read_back = j.value("block_read_back_equal", false);

    module_outcome o;
    o.module = module;
    add_reasons(o.reasons, gain, ORVANE_FLAGS_FRAME);
    add_reasons(o.reasons, frames_or, ORVANE_FLAGS_FRAME);
    add_reasons(o.reasons, dcc, ORVANE_FLAGS_DCC_MAP);
    if (!read_back) o.reasons.push_back("block_read_back");
    o.verdict = o.reasons.empty() ? "pass" : "fail";

    const std::vector<double> dccs = grid_values(j.value("dcc_lens_per_px", io::json()));
    const std::vector<double> peaks = grid_values(j.value("peak_lens", io::json()));
    const io::json fit = j.value("fit_flags", io::json());
    int flagged = 0;
    for (double f : grid_values(fit)) flagged += f != 0.0;
    const spread d = spread_of(dccs), p = spread_of(peaks);
    io::json residual = j.value("gain_residual", io::json::object());
    auto number = [](const io::json& v) {
        return v.is_number() ? fixed(v.get<double>(), 5) : std::string("nan");
    };

    const std::vector<std::string> fields = {
        module,
        o.verdict,
        joined(o.reasons, " "),
        hex_word(gain),
        flag_names(gain, false),
        joined(frame_words, " "),
        frame_names.empty() ? "none" : joined(frame_names, " "),
        hex_word(dcc),
        flag_names(dcc, true),
        std::to_string(dccs.size()),
        std::to_string(flagged),
        fixed(d.min, 4),
        fixed(d.median, 4),
        fixed(d.max, 4),
        fixed(p.min, 1),
        fixed(p.median, 1),
        fixed(p.max, 1),
        number(residual.value("median", io::json())),
        number(residual.value("worst", io::json())),
        read_back ? "equal" : "mismatch",
        "",
        fixed(runtime, 3),
    };
    o.row = row_text(fields);
    return o;
}

module_outcome error_outcome(const std::string& module, const std::string& error, double runtime) {
    module_outcome o;
    o.module = module;
    o.verdict = "error";
    o.reasons = {"error"};
    o.error = one_line(error);
    std::vector<std::string> fields(kColumns, "");
    fields[0] = module;
    fields[1] = o.verdict;
    fields[2] = "error";
    fields[kColumns - 2] = o.error;
    fields[kColumns - 1] = fixed(runtime, 3);
    o.row = row_text(fields);
    return o;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

std::string lot_table_header() {
    static const char* const kNames[kColumns] = {"module",
                                                 "verdict",
                                                 "reasons",
                                                 "gain_status",
                                                 "gain_flags",
                                                 "frame_status",
                                                 "frame_flags",
                                                 "dcc_status",
                                                 "dcc_flags",
                                                 "windows",
                                                 "flagged_windows",
                                                 "dcc_min",
                                                 "dcc_median",
                                                 "dcc_max",
                                                 "peak_lens_min",
                                                 "peak_lens_median",
                                                 "peak_lens_max",
                                                 "gain_residual_median",
                                                 "gain_residual_worst",
                                                 "block_read_back",
                                                 "error",
                                                 "runtime_s"};
    std::string h;
    for (int i = 0; i < kColumns; ++i) h += (i ? "," : "") + std::string(kNames[i]);
    return h;
}

std::vector<lot_entry> find_lot(const std::string& lot, const std::string& out_dir) {
    std::error_code ec;
    std::vector<lot_entry> entries;
    if (fs::is_directory(lot, ec)) {
        entries = lot_of_folder(lot, out_dir);
    } else {
        entries = lot_of_list(lot);
    }
    if (entries.empty()) throw io::io_error(lot + ": no capture sets (manifest.json) in the lot");
    std::sort(entries.begin(), entries.end(),
              [](const lot_entry& a, const lot_entry& b) { return a.module < b.module; });
    for (size_t i = 1; i < entries.size(); ++i) {
        if (entries[i].module == entries[i - 1].module) {
            throw io::io_error(lot + ": two modules named '" + entries[i].module + "' (" +
                               entries[i - 1].manifest + " and " + entries[i].manifest +
                               "): give their capture sets folders of their own names");
        }
    }
    return entries;
}

module_outcome calibrate_lot_module(const lot_entry& e, const std::string& out_dir,
                                    const module_options& o) {
    const auto t0 = std::chrono::steady_clock::now();
    const fs::path dir = fs::path(out_dir) / e.module;
    try {
        const provenance p = provenance_of(e, o);
        if (!o.force) {
            if (const std::optional<double> runtime = complete_outputs(dir, p)) {
                module_outcome done = outcome_from_summary(e.module, dir, *runtime);
                done.resumed = true;
                return done;
            }
        }
        // Unmarked while it is redone: an interruption, or a failure that
        // leaves the earlier outputs in place, is never taken for complete.
        std::error_code ec;
        fs::remove(dir / kMarkName, ec);

        memory_log log;
        calibrate_manifest(e.manifest, dir.string(), {"", o.settings, ""}, log.file());
        io::write_file_atomic((dir / kLogName).string(), log.text());
        const double runtime = seconds_since(t0);
        module_outcome done = outcome_from_summary(e.module, dir, runtime);
        write_mark(dir, p, runtime);
        return done;
    } catch (const std::exception& ex) {
        return error_outcome(e.module, ex.what(), seconds_since(t0));
    }
}

namespace {

struct batch_options {
    std::string lot;
    std::string out = "orvane-lot";
    std::string settings;
    unsigned jobs = 0;
    bool force = false;
    bool list = false;
    std::string one;       // a single manifest: its header and row on stdout
    std::string one_name;  // its module name
};

std::string duration_text(double s) {
    if (!std::isfinite(s) || s < 0) return "?";
    const long t = std::lround(s);
    char buf[32];
    if (t >= 3600) {
        std::snprintf(buf, sizeof buf, "%ldh%02ldm", t / 3600, t / 60 % 60);
    } else if (t >= 60) {
        std::snprintf(buf, sizeof buf, "%ldm%02lds", t / 60, t % 60);
    } else {
        std::snprintf(buf, sizeof buf, "%lds", t);
    }
    return buf;
}

// The progress line on a terminal: modules done, failed, and the time left
// at the pace of the modules calibrated so far in this run.
class progress_line {
  public:
    progress_line(size_t total, bool shown) : total_(total), shown_(shown) {}

    void module_done(const module_outcome& m) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++done_;
        if (m.verdict == "fail") ++failed_;
        if (m.verdict == "error") ++errors_;
        if (!m.resumed) ++calibrated_;
        if (m.verdict == "error") {
            clear();
            std::fprintf(stderr, "orvane batch: %s: %s\n", m.module.c_str(), m.error.c_str());
        }
        draw();
    }
    void tick() {
        std::lock_guard<std::mutex> lock(mutex_);
        draw();
    }
    void finish() {
        std::lock_guard<std::mutex> lock(mutex_);
        clear();
    }

  private:
    void clear() {
        if (shown_) std::fprintf(stderr, "\r\x1b[K");
    }
    void draw() {
        if (!shown_) return;
        const double elapsed = seconds_since(start_);
        const size_t left = total_ - done_;
        std::string eta = "ETA ?";
        if (left == 0) {
            eta = "done";
        } else if (calibrated_ > 0) {
            eta = "ETA " + duration_text(elapsed / static_cast<double>(calibrated_) *
                                         static_cast<double>(left));
        }
        constexpr int kWidth = 24;
        const int filled = static_cast<int>(kWidth * done_ / std::max<size_t>(1, total_));
        std::fprintf(stderr, "\r\x1b[K[%s%s] %zu/%zu done, %zu failed, %zu errors, %s, %s",
                     std::string(static_cast<size_t>(filled), '#').c_str(),
                     std::string(static_cast<size_t>(kWidth - filled), '.').c_str(), done_, total_,
                     failed_, errors_, duration_text(elapsed).c_str(), eta.c_str());
        std::fflush(stderr);
    }

    const size_t total_;
    const bool shown_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::mutex mutex_;
    size_t done_ = 0, failed_ = 0, errors_ = 0, calibrated_ = 0;
};

// The library prints its few diagnostics to standard output, from whichever
// worker meets them; while modules run they go to `fd` instead, so the
// tool's own output (the summary, --one's row) stays clean.
class stdout_diverted {
  public:
    explicit stdout_diverted(int fd) {
        std::fflush(stdout);
        saved_ = ::dup(STDOUT_FILENO);
        if (saved_ >= 0 && ::dup2(fd, STDOUT_FILENO) < 0) {
            ::close(saved_);
            saved_ = -1;
        }
    }
    ~stdout_diverted() {
        std::fflush(stdout);
        if (saved_ >= 0) {
            ::dup2(saved_, STDOUT_FILENO);
            ::close(saved_);
        }
    }
    stdout_diverted(const stdout_diverted&) = delete;
    stdout_diverted& operator=(const stdout_diverted&) = delete;

  private:
    int saved_ = -1;
};

void run_one(const batch_options& o) {
    fs::path manifest = o.one;
    std::error_code ec;
    if (fs::is_directory(manifest, ec)) manifest /= "manifest.json";
    lot_entry e{o.one_name, fs::absolute(manifest).lexically_normal().string()};
    if (e.module.empty()) e.module = fs::path(e.manifest).parent_path().filename().string();
    std::optional<module_outcome> m;
    {
        const stdout_diverted diverted(STDERR_FILENO);
        m = calibrate_lot_module(e, o.out, {o.settings, o.force});
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
    const module_options mo{o.settings, o.force};
    auto work = [&] {
        for (size_t i; (i = next.fetch_add(1)) < lot.size();) {
            outcomes[i] = calibrate_lot_module(lot[i], o.out, mo);
            progress.module_done(outcomes[i]);
            finished.fetch_add(1);
        }
    };
    const std::string library_log = (fs::path(o.out) / "library_output.log").string();
    const int log_fd = ::open(library_log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (log_fd < 0) throw io::io_error(library_log + ": cannot create it");
    {
        const stdout_diverted diverted(log_fd);
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
    std::printf("Lot page: /usr/bin/python3 -m orvane.lot_page %s\n", o.out.c_str());
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
    cmd->add_option("--settings", opts->settings,
                    "cal_settings for every module instead of each manifest's (JSON or "
                    "356-byte record)");
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
