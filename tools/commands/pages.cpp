// `orvane report DIR`, `orvane lot-page DIR` and `orvane history ...`: the Python package's pages
// run with the package found for the user, from the installed prefix or the
// source tree this tool was built from, so the printed commands work as they
// stand without PYTHONPATH.
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "commands/commands.h"
#include "io/files.h"
#include "orvane.h"

namespace orvane_tool {
namespace fs = std::filesystem;

namespace {

constexpr const char* kPython = "/usr/bin/python3";

bool holds_package(const fs::path& dir) {
    std::error_code ec;
    return fs::is_regular_file(dir / "orvane" / "__init__.py", ec);
}

// The folder that holds the `orvane` package: the installed one beside this
// tool first, else the source tree's.
std::string python_dir() {
    std::vector<fs::path> candidates;
#ifdef ORVANE_PYTHON_FROM_BIN
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) candidates.push_back(exe.parent_path() / ORVANE_PYTHON_FROM_BIN);
#endif
#ifdef ORVANE_PYTHON_SOURCE_DIR
    candidates.emplace_back(ORVANE_PYTHON_SOURCE_DIR);
#endif
    for (const fs::path& dir : candidates)
        if (holds_package(dir)) return fs::weakly_canonical(dir).string();
    std::string tried;
    for (const fs::path& dir : candidates) tried += " " + dir.string();
    throw io::io_error("cannot find the orvane Python package (looked in" + tried + ")");
}

// The library this tool runs on, for a page that calls it.
std::string library_path() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&Orvane_get_lib_version), &info) == 0 ||
        info.dli_fname == nullptr)
        return {};
    return info.dli_fname;
}

// Sets PYTHONPATH and ORVANE_LIBRARY for the page and returns its argv words.
std::vector<std::string> page_words(const char* module, const std::vector<std::string>& args) {
    std::string path = python_dir();
    if (const char* old = std::getenv("PYTHONPATH"); old != nullptr && *old != '\0')
        path += std::string(":") + old;
    ::setenv("PYTHONPATH", path.c_str(), 1);
    const std::string library = library_path();
    if (!library.empty() && fs::path(library).is_absolute())
        ::setenv("ORVANE_LIBRARY", library.c_str(), 0);
    std::vector<std::string> words = {kPython, "-m", module};
    words.insert(words.end(), args.begin(), args.end());
    return words;
}

std::vector<char*> argv_of(std::vector<std::string>& words) {
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    return argv;
}

[[noreturn]] void run_page(const char* module, const std::vector<std::string>& args) {
    std::vector<std::string> words = page_words(module, args);
    std::vector<char*> argv = argv_of(words);
    std::fflush(stdout);
    ::execv(kPython, argv.data());
    throw io::io_error(std::string(kPython) + ": cannot run it: " + std::strerror(errno));
}

void add_page(CLI::App& app, const char* name, const char* module, const char* about,
              const char* folder) {
    auto dir = std::make_shared<std::string>();
    auto* cmd = app.add_subcommand(name, about);
    cmd->add_option("DIR", *dir, folder)->required();
    // Everything after DIR goes to the page as given (e.g. --out FILE).
    cmd->prefix_command();
    cmd->callback([cmd, dir, module] {
        std::vector<std::string> args = {*dir};
        for (const std::string& a : cmd->remaining()) args.push_back(a);
        run_page(module, args);
    });
}

}  // namespace

namespace {

// Runs a module of the package and waits for it; stdout quiet when the
// module's own lines are not the caller's output.
void run_module(const char* module, const std::vector<std::string>& args, bool quiet) {
    std::vector<std::string> words = page_words(module, args);
    std::vector<char*> argv = argv_of(words);
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = ::fork();
    if (pid < 0) throw io::io_error(std::string("cannot start ") + kPython);
    if (pid == 0) {
        if (quiet && std::freopen("/dev/null", "w", stdout) == nullptr) ::_exit(127);
        ::execv(kPython, argv.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw io::io_error(std::string(kPython) + " -m " + module + " " + args.front() +
                           " failed");
}

}  // namespace

void write_lot_page(const std::string& out_dir, const std::string& module_reports) {
    std::vector<std::string> args = {out_dir};
    if (module_reports != "none") args.insert(args.end(), {"--module-reports", module_reports});
    // The page's own line (its path) is not the batch summary's.
    run_module("orvane.lot_page", args, true);
}

void ingest_history(const std::string& out_dir, const std::string& url) {
    run_module("orvane.history", {"ingest", out_dir, "--db", url}, false);
}

void add_page_commands(CLI::App& app) {
    add_page(app, "report", "orvane.report",
             "Write a calibration's report.html (python3 -m orvane.report, the package found "
             "for you); options after DIR go to it",
             "output folder of orvane calibrate, demo or batch (one module)");
    add_page(app, "lot-page", "orvane.lot_page",
             "Write a lot's lot.html (python3 -m orvane.lot_page, the package found for you); "
             "options after DIR go to it",
             "output folder of orvane batch");
    add_page(app, "history", "orvane.history",
             "The lots' history database (python3 -m orvane.history, the package found for "
             "you): ingest RESULTS_DIR, module NAME, lots; options after the command go to it",
             "ingest, module or lots");
}

}  // namespace orvane_tool
