#include "config/settings.h"

#include <cstdio>

#include "config/char_source.h"
#include "config/field_reader.h"
#include "diag/log.h"
#include "platform/platform.h"

namespace config {

Settings settings;

void resetSettings() { settings = Settings{}; }

void readSettings(CharSource* source, Settings& target) {
    FieldReader reader(source);
    reader.readInt(target.upControl);
    diag::logText("before up control");
    diag::logInt("control up %i", target.upControl);
    reader.readInt(target.downControl);
    diag::logText("before down control");
    diag::logInt("control down %i", target.downControl);
    reader.readFloat(target.angleStep);
    diag::logText("before angle step");
    diag::logFloat("angle step %5.3f", target.angleStep);
}

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

}  // namespace config
