#include "scenario.h"

#include <cctype>
#include <cstdlib>
#include <sstream>

namespace sim {

Scenario parseScenario(const std::string& text) {
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
            case 'x': {
                // Two hex digits; anything else stays as it was written.
                const auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
                if (i + 2 < text.size() && hex(text[i + 1]) && hex(text[i + 2])) {
                    out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
                    i += 2;
                } else {
                    out += "\\x";
                }
                break;
            }
            default: out += next; break;
        }
    }
    return out;
}

const char* builtInScenario() {
    return R"(# Built-in flight: a zr72 climbs through half travel, walks its nozzle mod up and back, comes down again
step 8                 # a frame every 8 ms, so every other frame falls inside the 10 ms throttle
settings 61 62 0.0625\r\n
vehicle 100 zr72 class 1 mods 3 fitted 0 position 0.0
frames 10              # sitting still: the prop state is enabled at once
hold 61
frames 40              # climb to full travel; the prop state flips off at half travel
release
hold 87
frames 60              # walk the nozzle mod up: 1, 2, then none (-1)
release
frames 60              # and back down: 2, 1, 0
hold 62
frames 40              # down through half travel; the prop state flips on again
release
frames 10
)";
}

}  // namespace sim
