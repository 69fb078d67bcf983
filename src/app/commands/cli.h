#pragma once
// What every new command does alike on the command line: its one-line errors and the
// parsing of its options (CLI11).
#include <string>

// "tarvo <command>: error: <message>" on standard error.
void commandError(const char* command, const std::string& message);

namespace CLI {
class App;
}
// Parses the command's options. False when the command ends here with `status`: 0 after
// printing the help, 1 after one line naming what is wrong.
bool parseCommand(CLI::App& app, int argc, char** argv, const char* command, int& status);
