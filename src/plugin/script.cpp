#include "plugin/script.h"

#include "config/settings.h"
#include "diag/log.h"
#include "hook/hook.h"
#include "nozzle/controller.h"

void scriptStart() {
    openLog();
    loadSettings();
}

void scriptFrame() {
    updateNozzles();
    scriptWait(0);
}

void scriptMain() {
    scriptStart();
    for (;;) scriptFrame();
}
