#include "native_host.h"

#include "platform/platform_native.h"

// Bounds of the section that holds the stand-in game's machine code.
extern "C" const std::uint8_t __start_gamecode[];
extern "C" const std::uint8_t __stop_gamecode[];

namespace sim {
namespace {

World& worldInstance() {
    static World world;
    return world;
}

Registration registration;

std::uint64_t worldClock() { return worldInstance().clock; }

}  // namespace

World& nativeWorld() { return worldInstance(); }

void resetNativeWorld() {
    worldInstance() = World{};
    registration = {};
    // The plug-in's clock is the world's, and its "main module" the game's code.
    platform::setNativeTickSource(&worldClock);
    platform::setNativeMainModule({__start_gamecode, __stop_gamecode});
}

const Registration& nativeRegistration() { return registration; }

}  // namespace sim

extern "C" {

void scriptRegister(ModuleHandle module, ScriptEntry entry) {
    sim::registration = {module, entry};
    sim::nativeWorld().recordEvent(sim::EventKind::registered, 0);
}

void scriptUnregister(ModuleHandle) {
    sim::registration = {};
    sim::nativeWorld().recordEvent(sim::EventKind::unregistered, 0);
}

void scriptWait(std::uint32_t milliseconds) {
    sim::nativeWorld().recordEvent(sim::EventKind::wait, milliseconds);
    sim::nativeWorld().clock += milliseconds;
}

void nativeInit(std::uint64_t hash) { sim::nativeWorld().nativeInit(hash); }
void nativePush64(std::uint64_t value) { sim::nativeWorld().nativePush(value); }
std::uint64_t* nativeCall() { return sim::nativeWorld().nativeCall(); }
}
