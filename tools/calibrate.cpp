#include <cstdio>

#include "commands.h"

namespace orvane_tool {

void add_calibrate_command(CLI::App& app) {
    auto* cmd = app.add_subcommand("calibrate", "not built yet");
    cmd->callback([] { std::fprintf(stderr, "orvane calibrate: not built yet\n"); });
}

}  // namespace orvane_tool
