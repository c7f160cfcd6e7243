#include "commands/usage.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "orvane.h"

#ifndef ORVANE_TOOL_VERSION
#define ORVANE_TOOL_VERSION "unknown"
#endif

namespace orvane_tool {
namespace {

size_t edit_distance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] =
                std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The closest name, when close enough to be a typo: a third of the word's
// letters wrong at most, or the word a prefix of exactly one name.
std::string closest(const std::string& word, const std::vector<std::string>& names) {
    std::string best;
    size_t best_distance = std::max<size_t>(2, word.size() / 3) + 1;
    std::vector<std::string> prefixed;
    for (const std::string& name : names) {
        const size_t d = edit_distance(word, name);
        if (d < best_distance) best_distance = d, best = name;
        if (word.size() >= 3 && name.rfind(word, 0) == 0) prefixed.push_back(name);
    }
    if (best.empty() && prefixed.size() == 1) best = prefixed.front();
    return best;
}

std::string suggestion(const std::string& word, const std::vector<std::string>& names) {
    const std::string best = closest(word, names);
    return best.empty() ? std::string() : "; did you mean '" + best + "'?";
}

std::vector<std::string> option_names(const CLI::App& app) {
    std::vector<std::string> names;
    for (const CLI::Option* o : app.get_options()) {
        for (const std::string& n : o->get_lnames()) names.push_back("--" + n);
        for (const std::string& n : o->get_snames()) names.push_back("-" + n);
    }
    return names;
}

}  // namespace

std::string usage_message(const CLI::App& app, const CLI::ParseError& error) {
    const std::vector<CLI::App*> used = app.get_subcommands();
    const CLI::App& where = used.empty() ? app : *used.front();
    const std::string command = used.empty() ? "orvane" : "orvane " + where.get_name();
    const std::string help = " (see " + command + " --help)";
    std::vector<std::string> left = where.remaining();
    if (used.empty() && !left.empty() && left.front().rfind("-", 0) != 0) {
        std::vector<std::string> commands;
        for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
            commands.push_back(sub->get_name());
        std::string list;
        for (const std::string& c : commands) list += (list.empty() ? "" : ", ") + c;
        return "orvane: unknown command '" + left.front() + "'" +
               suggestion(left.front(), commands) + " (commands: " + list + ")";
    }
    for (const std::string& word : left) {
        if (word.rfind("-", 0) != 0 || word == "-") continue;
        const std::string name = word.substr(0, word.find('='));
        return command + ": unknown option '" + name + "'" + suggestion(name, option_names(where)) +
               help;
    }
    if (!left.empty()) return command + ": unexpected argument '" + left.front() + "'" + help;
    return command + ": " + error.what() + help;
}

std::string version_text() {
    char library[ORVANE_LIB_VERSION_BUFFER_SIZE] = {};
    Orvane_get_lib_version(library);
    std::string line = library;
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    return std::string("orvane ") + ORVANE_TOOL_VERSION + "\nlibrary: " + line;
}

}  // namespace orvane_tool
