// Subcommands of the `orvane` tool; each file registers its own.
#pragma once

#include <CLI/CLI.hpp>

namespace orvane_tool {

void add_demo_command(CLI::App& app);
void add_simulate_command(CLI::App& app);
void add_calibrate_command(CLI::App& app);
void add_inspect_command(CLI::App& app);
void add_verify_command(CLI::App& app);

}  // namespace orvane_tool
