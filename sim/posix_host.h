// The host build (Linux)'s stand-in for the script hook and the plug-in's clock:
// the hook's functions resolve at link time to this world, and the platform
// layer reads the world's clock. No fibers here: scriptWait records itself
// and moves the clock on by its time, as a parked script would see it.
#pragma once

#include "hook/hook.h"
#include "world.h"

namespace sim {

World& hostWorld();

// A fresh world with the clock installed as the plug-in's tick count and the
// stand-in game's code as its main module.
void resetHostWorld();

struct Registration {
    ModuleHandle module = nullptr;
    ScriptEntry entry = nullptr;
};
const Registration& hostRegistration();

}  // namespace sim
