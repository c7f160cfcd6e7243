// Subcommands of the `orvane` tool; each file registers its own.
#pragma once

#include <CLI/CLI.hpp>

namespace orvane_tool {

void add_demo_command(CLI::App& app);
void add_simulate_command(CLI::App& app);
void add_calibrate_command(CLI::App& app);
void add_inspect_command(CLI::App& app);
void add_verify_command(CLI::App& app);
void add_batch_command(CLI::App& app);
void add_capture_command(CLI::App& app);
void add_init_command(CLI::App& app);
// `orvane report` and `orvane lot-page`.
void add_page_commands(CLI::App& app);

// Runs the lot page on a batch's output folder and waits for it, writing the
// reports of "all" modules, the "failed" ones or "none" first; throws
// io_error when the page cannot be written.
void write_lot_page(const std::string& out_dir, const std::string& module_reports);

// Records a batch's output folder in the history database at `url`
// (python3 -m orvane.history ingest) and waits for it; throws io_error when
// the ingest fails.
void ingest_history(const std::string& out_dir, const std::string& url);

// An output folder named "" would resolve to the current folder (or, for
// paths built beside an input, that input's own folder): a usage error.
inline const CLI::Validator kNonEmptyPath(
    [](std::string& v) { return v.empty() ? std::string("must not be empty") : std::string(); },
    "PATH");

}  // namespace orvane_tool
