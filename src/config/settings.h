// The three user settings, read from "Nozzles.ini" once per start of the script.
#pragma once

#include <cstdint>

namespace config {

struct Settings {
    std::int32_t upControl = 0;
    std::int32_t downControl = 0;
    float angleStep = 0.1f;
};

// Process-wide; written by loadSettings only, read by the controller.
extern Settings settings;

inline constexpr const char* kSettingsFileName = "Nozzles.ini";

// Reads the three fields in order, logging each after its read, and closes
// the file before returning. A missing or malformed file never stops the
// script: what cannot be read keeps its value (or takes the failed field's).
void loadSettings();

// Back to the values at load.
void resetSettings();

class CharSource;
// The reading and logging of loadSettings over any source (null: no file).
void readSettings(CharSource* source, Settings& target);

}  // namespace config
