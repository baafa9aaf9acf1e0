// Keeps the prop state of the listed models in step with the nozzle position:
// enabled below half travel, disabled from half travel on.
#pragma once

#include "hook/natives.h"

namespace nozzle {

inline constexpr const char* kModelHashList[] = {"qm31varlo", "zr72", "zr72v"};
inline constexpr float kPropStateThreshold = 0.5f;

void syncPropState(natives::EntityHandle vehicle, natives::ModelHash model, float position);

}  // namespace nozzle
