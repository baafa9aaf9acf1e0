#include "plugin/process_state.h"

#include "config/settings.h"
#include "diag/log.h"
#include "memory/prop_state.h"
#include "nozzle/controller.h"

namespace plugin {

void resetProcessState() {
    diag::resetLog();
    config::resetSettings();
    nozzle::resetController();
    memory::resetPropStateAccess();
}

}  // namespace plugin
