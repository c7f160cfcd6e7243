#include <cstdio>

#include "commands.h"

namespace orvane_tool {

void add_demo_command(CLI::App& app) {
    auto* cmd = app.add_subcommand("demo", "not built yet");
    cmd->callback([] { std::fprintf(stderr, "orvane demo: not built yet\n"); });
}

}  // namespace orvane_tool
