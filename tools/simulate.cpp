#include <cstdio>

#include "commands.h"

namespace orvane_tool {

void add_simulate_command(CLI::App& app) {
    auto* cmd = app.add_subcommand("simulate", "not built yet");
    cmd->callback([] { std::fprintf(stderr, "orvane simulate: not built yet\n"); });
}

}  // namespace orvane_tool
