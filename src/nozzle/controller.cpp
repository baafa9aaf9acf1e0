#include "nozzle/controller.h"

#include "config/settings.h"
#include "diag/log.h"
#include "hook/hook.h"
#include "nozzle/prop_sync.h"
#include "platform/platform.h"

namespace nozzle {

std::uint64_t lastRun = 0;

void resetController() { lastRun = 0; }

namespace {

// The position after one step. Clamped on both paths so that a negative
// step cannot push the value outside 0.0..1.0.
float clampPosition(float position) {
    if (position < 0.0f) return 0.0f;
    if (position > 1.0f) return 1.0f;
    return position;
}

void adjustPosition(natives::EntityHandle vehicle, bool up, bool down, float& position) {
    diag::logFloat("current nozzle angle %7.3f", position);
    float next = 0.0f;
    if (up && !(position >= 1.0f)) {
        const float sum = position + config::settings.angleStep;
        next = sum < 1.0f ? sum : 1.0f;
    } else if (down && position > 0.0f) {
        const float difference = position - config::settings.angleStep;
        next = difference > 0.0f ? difference : 0.0f;
    } else {
        return;
    }
    next = clampPosition(next);
    diag::logFloat("set nozzle angle %7.3f", next);
    natives::setNozzlePosition(vehicle, next);
    position = next;
}

void fitNozzleMod(natives::EntityHandle vehicle, std::int32_t index) {
    natives::fitMod(vehicle, kNozzleModSlot, index);
    diag::logInt("set nozzle mod %i", index);
    scriptWait(kModStepWaitMilliseconds);
}

void stepNozzleMod(natives::EntityHandle vehicle, bool modControl) {
    const std::int32_t count = natives::modCount(vehicle, kNozzleModSlot);
    if (count == -1) return;
    const std::int32_t current = natives::fittedMod(vehicle, kNozzleModSlot);
    diag::logInt("nozzle mod %i", current);
    // Wrapping arithmetic: the game's values are never near the limits, but
    // an odd answer must not be undefined behaviour here.
    if (modControl) {
        const auto next = static_cast<std::int32_t>(static_cast<std::uint32_t>(current) + 1u);
        if (next < count && next != 0)
            fitNozzleMod(vehicle, next);
        else if (next == count)
            fitNozzleMod(vehicle, -1);
    } else {
        const auto next = static_cast<std::int32_t>(static_cast<std::uint32_t>(current) - 1u);
        if (next >= 0)
            fitNozzleMod(vehicle, next);
        else if (next == -2)
            fitNozzleMod(vehicle, static_cast<std::int32_t>(static_cast<std::uint32_t>(count) - 1u));
    }
}

}  // namespace

bool isControlActive(natives::ControlId control) {
    if (natives::controlStateFirst(control) == 1) return true;
    return natives::controlStateSecond(control) == 1;
}

void updateNozzles() {
    const natives::EntityHandle player = natives::playerCharacter();
    const natives::EntityHandle vehicle = natives::vehicleOf(player);
    const natives::ModelHash model = natives::modelOf(vehicle);
    const bool controlledClass = natives::isModelOfControlledClass(model);

    if (lastRun + kThrottleMilliseconds >= platform::tickCount()) return;
    lastRun = platform::tickCount();

    const bool up = isControlActive(config::settings.upControl);
    const bool down = isControlActive(config::settings.downControl);
    const bool modControl = isControlActive(kModControl);
    float position = natives::nozzlePosition(vehicle);

    const bool present = vehicle != 0 && natives::entityExists(vehicle);
    if (controlledClass) {
        if (present && (up || down)) adjustPosition(vehicle, up, down, position);
        stepNozzleMod(vehicle, modControl);
    }
    syncPropState(vehicle, model, position);
}

}  // namespace nozzle
