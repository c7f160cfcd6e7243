// The modules of a production lot: where their capture sets are.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace orvane_tool {

struct lot_entry {
    std::string module;    // output folder under the lot's, and the table's key
    std::string manifest;  // absolute path
};

// The modules of LOT, sorted by name: a folder searched recursively for
// manifest.json files (a module is named by its folder's path below LOT), or a
// text file of manifests or capture-set folders, one a line ('#' starts a
// comment, relative paths are taken beside the list; a module is named by its
// folder's name). `out_dir` is not searched. Throws io_error on an unreadable
// lot, an empty one or two modules of one name.
std::vector<lot_entry> find_lot(const std::string& lot, const std::string& out_dir);

// Whether two paths name the same existing file or folder.
bool same_place(const std::filesystem::path& a, const std::filesystem::path& b);

// `s` without blanks at either end.
std::string trimmed(const std::string& s);

}  // namespace orvane_tool
