#include "scenario.h"

#include <sstream>

namespace sim {

Scenario parseScenario(const std::string& text, std::string& error) {
    Scenario scenario;
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto hash = line.find('#');
        if (hash != std::string::npos) {
            if (scenario.description.empty() && scenario.commands.empty()) {
                std::string comment = line.substr(hash + 1);
                const auto start = comment.find_first_not_of(' ');
                scenario.description = start == std::string::npos ? "" : comment.substr(start);
            }
            line.erase(hash);
        }
        std::istringstream words(line);
        Command command;
        command.line = number;
        if (!(words >> command.name)) continue;
        if (command.name == "settings") {
            // The rest of the line is the file's text, escapes and all.
            std::string rest;
            std::getline(words, rest);
            const auto start = rest.find_first_not_of(' ');
            command.arguments.push_back(start == std::string::npos ? "" : rest.substr(start));
        } else {
            for (std::string word; words >> word;) command.arguments.push_back(word);
        }
        scenario.commands.push_back(command);
    }
    (void)error;
    return scenario;
}

std::string unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char next = text[++i];
        switch (next) {
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 's': out += ' '; break;
            case 'x':
                if (i + 2 < text.size() + 0 && i + 2 <= text.size()) {
                    out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
                    i += 2;
                }
                break;
            default: out += next; break;
        }
    }
    return out;
}

const char* builtInScenario() {
    return R"(# Built-in flight: a zr72 climbs through half travel, walks its nozzle mod, comes back down
step 16
settings 61 62 0.125
vehicle 100 zr72 class 1 mods 3 fitted 0 position 0.0
frames 3
hold 61
frames 8
release
hold 87
frames 5
release
frames 5
hold 62
frames 10
release
frames 2
)";
}

}  // namespace sim
