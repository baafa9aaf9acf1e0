// The stand-in script hook: runs each registered script on a fiber of its
// own, parks it in scriptWait until the world's clock has moved on far
// enough, and answers natives from the simulated world.
#include <windows.h>

#include <memory>
#include <vector>

#include "world.h"

namespace {

struct Script {
    HMODULE module = nullptr;
    void (*entry)() = nullptr;
    LPVOID fiber = nullptr;
    std::uint64_t wakeAt = 0;
    bool finished = false;
};

sim::World world;
std::vector<std::unique_ptr<Script>> scripts;
LPVOID gameFiber = nullptr;
Script* running = nullptr;
LARGE_INTEGER registeredAt{};

void WINAPI runScript(LPVOID parameter) {
    auto* script = static_cast<Script*>(parameter);
    script->entry();
    // A script that returns is done; the hook never resumes it again.
    script->finished = true;
    SwitchToFiber(gameFiber);
}

void dropFiber(Script& script) {
    // A script that unregisters itself keeps its fiber: it is still running on it.
    if (script.fiber != nullptr && &script != running) DeleteFiber(script.fiber);
    script.fiber = nullptr;
}

}  // namespace

extern "C" {

void hookScriptRegister(HMODULE module, void (*entry)()) {
    QueryPerformanceCounter(&registeredAt);
    auto script = std::make_unique<Script>();
    script->module = module;
    script->entry = entry;
    scripts.push_back(std::move(script));
    world.recordEvent(sim::EventKind::registered, 0);
}

void hookScriptUnregister(HMODULE module) {
    for (auto it = scripts.begin(); it != scripts.end();) {
        if ((*it)->module == module) {
            dropFiber(**it);
            it = scripts.erase(it);
        } else {
            ++it;
        }
    }
    world.recordEvent(sim::EventKind::unregistered, 0);
}

void hookScriptWait(DWORD milliseconds) {
    world.recordEvent(sim::EventKind::wait, milliseconds);
    if (running == nullptr) return;  // not called from a script: nothing to park
    running->wakeAt = world.clock + milliseconds;
    SwitchToFiber(gameFiber);
}

void hookNativeInit(UINT64 hash) { world.nativeInit(hash); }
void hookNativePush64(UINT64 value) { world.nativePush(value); }
UINT64* hookNativeCall() { return world.nativeCall(); }

sim::World* simWorld() { return &world; }

int simRunScripts() {
    if (gameFiber == nullptr) {
        gameFiber = ConvertThreadToFiber(nullptr);
        if (gameFiber == nullptr) return 0;
    }
    int ran = 0;
    // Index loop: a script may unregister scripts while it runs.
    for (std::size_t i = 0; i < scripts.size(); ++i) {
        Script* script = scripts[i].get();
        if (script->finished || script->wakeAt > world.clock) continue;
        if (script->fiber == nullptr) {
            script->fiber = CreateFiber(0, runScript, script);
            if (script->fiber == nullptr) continue;
        }
        running = script;
        SwitchToFiber(script->fiber);
        running = nullptr;
        ++ran;
    }
    return ran;
}

void simRestartScripts() {
    for (auto& script : scripts) {
        dropFiber(*script);
        script->finished = false;
        script->wakeAt = 0;
    }
}

int simScriptCount() { return static_cast<int>(scripts.size()); }

long long simRegistrationTime() { return registeredAt.QuadPart; }
}
