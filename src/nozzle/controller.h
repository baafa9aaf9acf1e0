// One turn of the script loop: the player's vehicle, its nozzle position and
// nozzle mod, then the prop-state rule.
#pragma once

#include <cstdint>

#include "hook/natives.h"

// Tick count of the last run that passed the throttle; lives for the process.
extern std::uint64_t lastRun;
// Back to the value at load.
void resetController();

inline constexpr ControlId kModControl = 87;
inline constexpr std::uint64_t kThrottleMilliseconds = 10;
inline constexpr std::uint32_t kModStepWaitMilliseconds = 50;

bool isControlActive(ControlId control);
void updateNozzles();
