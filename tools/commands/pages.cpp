// `orvane report DIR` and `orvane lot-page DIR`: the Python package's pages
// run with the package found for the user, from the installed prefix or the
// source tree this tool was built from, so the printed commands work as they
// stand without PYTHONPATH.
#include <dlfcn.h>
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

[[noreturn]] void run_page(const char* module, const std::vector<std::string>& args) {
    std::string path = python_dir();
    if (const char* old = std::getenv("PYTHONPATH"); old != nullptr && *old != '\0')
        path += std::string(":") + old;
    ::setenv("PYTHONPATH", path.c_str(), 1);
    const std::string library = library_path();
    if (!library.empty() && fs::path(library).is_absolute())
        ::setenv("ORVANE_LIBRARY", library.c_str(), 0);
    std::vector<std::string> words = {kPython, "-m", module};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
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

void add_page_commands(CLI::App& app) {
    add_page(app, "report", "orvane.report",
             "Write a calibration's report.html (python3 -m orvane.report, the package found "
             "for you); options after DIR go to it",
             "output folder of orvane calibrate, demo or batch (one module)");
    add_page(app, "lot-page", "orvane.lot_page",
             "Write a lot's lot.html (python3 -m orvane.lot_page, the package found for you); "
             "options after DIR go to it",
             "output folder of orvane batch");
}

}  // namespace orvane_tool
