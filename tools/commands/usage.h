// What the tool says about a command line it does not take: the unknown
// command or option by name, with the closest known one when it looks like a
// typo, instead of CLI11's list of every word it could not place.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace orvane_tool {

// One line, without the trailing newline, for a parse error of `app` (not
// for --help or --version, which are not errors).
std::string usage_message(const CLI::App& app, const CLI::ParseError& error);

// "orvane 0.1.0", and on a second line the library's own version line.
std::string version_text();

}  // namespace orvane_tool
