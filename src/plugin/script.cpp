#include "plugin/script.h"

#include "config/settings.h"
#include "diag/log.h"
#include "hook/hook.h"
#include "nozzle/controller.h"

namespace plugin {

void scriptStart() {
    diag::openLog();
    config::loadSettings();
}

void scriptFrame() {
    nozzle::updateNozzles();
    scriptWait(0);
}

void scriptMain() {
    scriptStart();
    for (;;) scriptFrame();
}

}  // namespace plugin
