#include <cstdio>
#include <exception>
#include <string>

#include "commands/commands.h"
#include "commands/usage.h"

// Exit codes: 0 done, 1 an error in the input, the calibration or the
// outputs (one line on stderr), 2 a command line the tool does not take.
int main(int argc, char** argv) {
    CLI::App app{"orvane: phase-detection autofocus calibration"};
    app.require_subcommand(1);
    app.set_version_flag("--version", orvane_tool::version_text(),
                         "print the tool's and the library's versions");
    orvane_tool::add_demo_command(app);
    orvane_tool::add_simulate_command(app);
    orvane_tool::add_calibrate_command(app);
    orvane_tool::add_inspect_command(app);
    orvane_tool::add_verify_command(app);
    orvane_tool::add_batch_command(app);
    orvane_tool::add_capture_command(app);
    orvane_tool::add_init_command(app);
    orvane_tool::add_page_commands(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
        std::fprintf(stderr, "%s\n", orvane_tool::usage_message(app, e).c_str());
        return 2;
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
