#include "app/commands/cli.h"

#include <CLI/CLI.hpp>

#include <cstdio>

void commandError(const char* command, const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "tarvo %s: error: %s\n", command, message.c_str());
}

bool parseCommand(CLI::App& app, int argc, char** argv, const char* command, int& status) {
    try {
        app.parse(argc, argv);
        return true;
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        status = 0;
    } catch (const CLI::ParseError& e) {
        commandError(command, std::string(e.what()) + " (see tarvo " + command + " --help)");
        status = 1;
    }
    return false;
}
