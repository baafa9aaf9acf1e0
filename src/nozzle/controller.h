// One turn of the script loop: the player's vehicle, its nozzle position and
// nozzle mod, then the prop-state rule.
#pragma once

#include <cstdint>

#include "hook/natives.h"

namespace nozzle {

// Tick count of the last run that passed the throttle; lives for the process.
extern std::uint64_t lastRun;
// Back to the value at load.
void resetController();

inline constexpr natives::ControlId kModControl = 87;
inline constexpr std::int32_t kNozzleModSlot = 4;
inline constexpr std::uint64_t kThrottleMilliseconds = 10;
inline constexpr std::uint32_t kModStepWaitMilliseconds = 50;

bool isControlActive(natives::ControlId control);
void updateNozzles();

}  // namespace nozzle
