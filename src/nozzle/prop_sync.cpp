#include "nozzle/prop_sync.h"

#include "memory/prop_state.h"

namespace nozzle {

void syncPropState(natives::EntityHandle vehicle, natives::ModelHash model, float position) {
    // The hashes are asked for on every run rather than cached: the game owns them.
    bool listed = false;
    for (const char* name : kModelHashList) {
        if (natives::modelHashOfName(name) == model) {
            listed = true;
            break;
        }
    }
    if (!listed) return;
    const bool enabled = memory::readPropState(vehicle);
    if (position >= kPropStateThreshold) {
        if (enabled) memory::writePropState(vehicle, false);
    } else if (!enabled) {
        // Below half travel, or a position that compares with nothing.
        memory::writePropState(vehicle, true);
    }
}

}  // namespace nozzle
