#include <cstdio>
#include <exception>
#include <string>

#include "commands/commands.h"

// Exit codes: 0 done, 1 an error in the input, the calibration or the
// outputs (one line on stderr), 2 a command line the tool does not take.
int main(int argc, char** argv) {
    CLI::App app{"orvane: phase-detection autofocus calibration"};
    app.require_subcommand(1);
    app.failure_message([](const CLI::App*, const CLI::Error& e) {
        return "orvane: " + std::string(e.what()) + " (see orvane --help)\n";
    });
    orvane_tool::add_demo_command(app);
    orvane_tool::add_simulate_command(app);
    orvane_tool::add_calibrate_command(app);
    orvane_tool::add_inspect_command(app);
    orvane_tool::add_verify_command(app);
    orvane_tool::add_batch_command(app);
    orvane_tool::add_capture_command(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : 2;
    } catch (const std::exception& e) {
        // One line, whatever names from the input files the message quotes.
        std::string line = e.what();
        for (char& c : line)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
        std::fflush(stdout);
        std::fprintf(stderr, "orvane: %s\n", line.c_str());
        return 1;
    }
    return 0;
}
