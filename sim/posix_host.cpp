#include "posix_host.h"

#include "platform/platform_posix.h"

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

World& hostWorld() { return worldInstance(); }

void resetHostWorld() {
    worldInstance() = World{};
    registration = {};
    // The plug-in's clock is the world's, and its "main module" the game's code.
    platform::setHostTickSource(&worldClock);
    platform::setHostMainModule({__start_gamecode, __stop_gamecode});
}

const Registration& hostRegistration() { return registration; }

}  // namespace sim

extern "C" {

void scriptRegister(ModuleHandle module, ScriptEntry entry) {
    sim::registration = {module, entry};
    sim::hostWorld().recordEvent(sim::EventKind::registered, 0);
}

void scriptUnregister(ModuleHandle) {
    sim::registration = {};
    sim::hostWorld().recordEvent(sim::EventKind::unregistered, 0);
}

void scriptWait(std::uint32_t milliseconds) {
    sim::hostWorld().recordEvent(sim::EventKind::wait, milliseconds);
    sim::hostWorld().clock += milliseconds;
}

void nativeInit(std::uint64_t hash) { sim::hostWorld().nativeInit(hash); }
void nativePush64(std::uint64_t value) { sim::hostWorld().nativePush(value); }
std::uint64_t* nativeCall() { return sim::hostWorld().nativeCall(); }
}
