#include "config/settings.h"

#include <cstdio>

#include "config/char_source.h"
#include "config/field_reader.h"
#include "diag/log.h"
#include "platform/platform.h"

Settings settings;

void resetSettings() { settings = Settings{}; }

namespace config {

void readSettings(CharSource* source, Settings& target) {
    FieldReader reader(source);
    reader.readInt(target.upControl);
    logText("before up control");
    logInt("control up %i", target.upControl);
    reader.readInt(target.downControl);
    logText("before down control");
    logInt("control down %i", target.downControl);
    reader.readFloat(target.angleStep);
    logText("before angle step");
    logFloat("angle step %5.3f", target.angleStep);
}

}  // namespace config

void loadSettings() {
    std::FILE* file = platform::openSharedForReading(kSettingsFileName);
    if (file == nullptr) {
        config::readSettings(nullptr, settings);
        return;
    }
    {
        config::FileSource source(file);
        config::readSettings(&source, settings);
    }
    std::fclose(file);
}
