// Reads and writes a vehicle's prop state 2 through three internal functions
// of the game, found by signature on first use and kept for the process.
#pragma once

#include "hook/natives.h"

namespace memory {

// The internal functions' types, called with the 64-bit Windows convention:
// the default on Windows, spelled out so that the host build calls the same
// machine code the same way.
using HandleToAddressFunction = void*(__attribute__((ms_abi)) *)(std::uint32_t handle);
using GetPropStateFunction = std::int32_t(__attribute__((ms_abi)) *)(void* object, std::int32_t index);
using SetPropStateFunction = std::int32_t(__attribute__((ms_abi)) *)(void* object, std::int32_t index,
                                                                     std::uint32_t state);

inline constexpr std::int32_t kPropStateIndex = 2;

void initMemory();
bool readPropState(natives::EntityHandle vehicle);
void writePropState(natives::EntityHandle vehicle, bool enabled);

// The process-wide state of this module, exposed for tests of a fresh process.
struct PropStateAccess {
    bool ready = false;
    HandleToAddressFunction handleToAddress = nullptr;
    GetPropStateFunction getPropState = nullptr;
    SetPropStateFunction setPropState = nullptr;
};
extern PropStateAccess propStateAccess;
// Back to the state at load: nothing searched, nothing found.
void resetPropStateAccess();

}  // namespace memory
