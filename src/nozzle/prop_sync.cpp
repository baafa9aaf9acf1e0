#include "nozzle/prop_sync.h"

#include "memory/prop_state.h"

void syncPropState(EntityHandle vehicle, ModelHash model, float position) {
    // The hashes are asked for on every run rather than cached: the host owns them.
    bool listed = false;
    for (const char* name : kModelHashList) {
        if (natives::modelHashOfName(name) == model) {
            listed = true;
            break;
        }
    }
    if (!listed) return;
    const bool enabled = readPropState(vehicle);
    if (position >= kPropStateThreshold) {
        if (enabled) writePropState(vehicle, false);
    } else if (!enabled) {
        // Below half travel, or a position that compares with nothing.
        writePropState(vehicle, true);
    }
}
