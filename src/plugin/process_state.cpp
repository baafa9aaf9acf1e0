#include "plugin/process_state.h"

#include "config/settings.h"
#include "diag/log.h"
#include "memory/prop_state.h"
#include "nozzle/controller.h"

void resetProcessState() {
    resetLog();
    resetSettings();
    resetController();
    memory::resetPropStateAccess();
}
