#include <cstdio>

#include "commands.h"

namespace orvane_tool {

void add_inspect_command(CLI::App& app) {
    auto* cmd = app.add_subcommand("inspect", "not built yet");
    cmd->callback([] { std::fprintf(stderr, "orvane inspect: not built yet\n"); });
}

}  // namespace orvane_tool
