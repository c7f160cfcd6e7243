#include <cstdio>
#include <exception>

#include "commands.h"

int main(int argc, char** argv) {
    CLI::App app{"orvane: phase-detection autofocus calibration"};
    app.require_subcommand(1);
    orvane_tool::add_demo_command(app);
    orvane_tool::add_simulate_command(app);
    orvane_tool::add_calibrate_command(app);
    orvane_tool::add_inspect_command(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "orvane: %s\n", e.what());
        return 1;
    }
    return 0;
}
