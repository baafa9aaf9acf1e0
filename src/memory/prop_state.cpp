#include "memory/prop_state.h"

#include "diag/log.h"
#include "memory/signature.h"

namespace memory {
PropStateAccess propStateAccess;
}  // namespace memory

using memory::propStateAccess;

namespace {

template <typename Function>
Function asFunction(void* address) {
    return reinterpret_cast<Function>(address);
}

// The game's object for the vehicle, or null (logged) when either the
// function or the object cannot be had.
void* objectOf(EntityHandle vehicle) {
    if (!propStateAccess.ready) {
        logText("before init memory");
        initMemory();
    }
    if (propStateAccess.handleToAddress == nullptr) {
        logText("address not found");
        return nullptr;
    }
    void* object = propStateAccess.handleToAddress(vehicle);
    if (object == nullptr) logText("address not found");
    return object;
}

}  // namespace

void initMemory() {
    propStateAccess.handleToAddress = asFunction<HandleToAddressFunction>(
        findSignature(memory::kHandleToAddressSignature.mask, memory::kHandleToAddressSignature.pattern));
    propStateAccess.ready = true;
}

bool readPropState(EntityHandle vehicle) {
    void* object = objectOf(vehicle);
    if (object == nullptr) return false;
    if (propStateAccess.getPropState == nullptr) {
        logText("before looking for getpropstate");
        void* found = findSignature(memory::kGetPropStateSignature.mask, memory::kGetPropStateSignature.pattern);
        logText("after looking for getpropstate");
        propStateAccess.getPropState = asFunction<GetPropStateFunction>(found);
        if (found == nullptr) {
            logText("getpropstate is null");
            return false;
        }
    }
    // Each stage is flushed before the call: if the game crashes in it, the
    // log's last line names this stage.
    logText("before call getpropstate");
    const std::int32_t logged = propStateAccess.getPropState(object, kPropStateIndex);
    logFormatted("getpropstate vehicle %u address %p index %i state %i", vehicle, object, kPropStateIndex, logged);
    return propStateAccess.getPropState(object, kPropStateIndex) == 1;
}

void writePropState(EntityHandle vehicle, bool enabled) {
    void* object = objectOf(vehicle);
    if (object == nullptr) return;
    if (propStateAccess.setPropState == nullptr) {
        logText("before looking for setpropstate");
        void* found = findSignature(memory::kSetPropStateSignature.mask, memory::kSetPropStateSignature.pattern);
        logText("after looking for setpropstate");
        propStateAccess.setPropState = asFunction<SetPropStateFunction>(found);
        if (found == nullptr) {
            logText("setpropstate is null");
            return;
        }
    }
    logFormatted("setpropstate vehicle %u address %p index %i state %s", vehicle, object, kPropStateIndex,
                 enabled ? "enabled" : "disabled");
    propStateAccess.setPropState(object, kPropStateIndex, enabled ? 1u : 0u);
}
