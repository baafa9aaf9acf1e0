// What the stand-in game process asks of the stand-in hook, through plain
// exports beside the hook's own decorated ones.
#pragma once

#include <cstdint>

namespace sim {
class World;
}

extern "C" {
// The world that answers the natives.
__declspec(dllimport) sim::World* simWorld();
// Resumes every registered script whose wait is over; returns how many ran.
__declspec(dllimport) int simRunScripts();
// Starts every registered script afresh, as the hook does when the game reloads.
__declspec(dllimport) void simRestartScripts();
__declspec(dllimport) int simScriptCount();
// The performance counter's reading at the last scriptRegister.
__declspec(dllimport) long long simRegistrationTime();
}
