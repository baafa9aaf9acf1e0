#include "memory/prop_state.h"

#include "diag/log.h"
#include "memory/function_set.h"
#include "memory/game_signatures.h"

namespace memory {

PropStateAccess propStateAccess;
void resetPropStateAccess() { propStateAccess = {}; }

namespace {

template <typename Function>
Function asFunction(void* address) {
    return reinterpret_cast<Function>(address);
}

// The game's object for the vehicle, or null (logged) when either the
// function or the object cannot be had.
void* objectOf(natives::EntityHandle vehicle) {
    if (!propStateAccess.ready) {
        diag::logText("before init memory");
        initMemory();
    }
    if (propStateAccess.handleToAddress == nullptr) {
        diag::logText("address not found");
        return nullptr;
    }
    void* object = propStateAccess.handleToAddress(vehicle);
    if (object == nullptr) diag::logText("address not found");
    return object;
}

// The three lines around a search for a prop-state function, in the log's words.
struct SearchStages {
    const char* before;
    const char* after;
    const char* missing;
};

constexpr SearchStages kGetPropStateStages{"before looking for getpropstate", "after looking for getpropstate",
                                           "getpropstate is null"};
constexpr SearchStages kSetPropStateStages{"before looking for setpropstate", "after looking for setpropstate",
                                           "setpropstate is null"};

// Finds the function on the first call that needs it; a search that finds
// nothing is repeated on the operation's next call. False while it is missing.
template <typename Function>
bool locate(Function& function, const SignatureSet& signatures, const SearchStages& stages) {
    if (function != nullptr) return true;
    diag::logText(stages.before);
    void* found = findFunction(signatures);
    diag::logText(stages.after);
    function = asFunction<Function>(found);
    if (found != nullptr) return true;
    diag::logText(stages.missing);
    return false;
}

}  // namespace

void initMemory() {
    propStateAccess.handleToAddress = asFunction<HandleToAddressFunction>(findFunction(kHandleToAddressSignatures));
    propStateAccess.ready = true;
}

bool readPropState(natives::EntityHandle vehicle) {
    void* object = objectOf(vehicle);
    if (object == nullptr) return false;
    if (!locate(propStateAccess.getPropState, kGetPropStateSignatures, kGetPropStateStages)) return false;
    // Each stage is flushed before the call: if the game crashes in it, the
    // log's last line names this stage.
    diag::logText("before call getpropstate");
    const std::int32_t logged = propStateAccess.getPropState(object, kPropStateIndex);
    diag::logFormatted("getpropstate vehicle %u address %p index %i state %i", vehicle, object, kPropStateIndex,
                       logged);
    return propStateAccess.getPropState(object, kPropStateIndex) == 1;
}

void writePropState(natives::EntityHandle vehicle, bool enabled) {
    void* object = objectOf(vehicle);
    if (object == nullptr) return;
    if (!locate(propStateAccess.setPropState, kSetPropStateSignatures, kSetPropStateStages)) return;
    diag::logFormatted("setpropstate vehicle %u address %p index %i state %s", vehicle, object, kPropStateIndex,
                       enabled ? "enabled" : "disabled");
    propStateAccess.setPropState(object, kPropStateIndex, enabled ? 1u : 0u);
}

}  // namespace memory
