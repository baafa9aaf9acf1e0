// Scenario files for the stand-in game: one command per line, '#' starts a
// comment. sim/README.md lists the commands.
#pragma once

#include <string>
#include <vector>

namespace sim {

struct Command {
    int line = 0;
    std::string name;
    std::vector<std::string> arguments;
};

struct Scenario {
    std::string description;  // the first comment line
    std::vector<Command> commands;
};

// Splits the text into commands; the game says which line it cannot carry out.
Scenario parseScenario(const std::string& text);

// The flight that `make demo` plays when no scenario file is named.
const char* builtInScenario();

// "a\nb" style escapes in a settings text: \n \r \t \\ \xHH, and \s for a space.
std::string unescape(const std::string& text);

}  // namespace sim
