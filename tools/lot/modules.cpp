#include "lot/modules.h"

#include <algorithm>
#include <sstream>

#include "io/files.h"

namespace orvane_tool {
namespace fs = std::filesystem;

std::string trimmed(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos) return "";
    return s.substr(a, s.find_last_not_of(" \t\r") - a + 1);
}

bool same_place(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    return fs::equivalent(a, b, ec);
}

namespace {

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

}  // namespace

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

}  // namespace orvane_tool
