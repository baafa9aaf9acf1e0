#include "hook/natives.h"

#include <bit>
#include <cstdint>

#include "hook/hook.h"
#include "hook/native_hashes.h"

namespace natives {

NativeInvocation::NativeInvocation(std::uint64_t hash) { nativeInit(hash); }

NativeInvocation& NativeInvocation::push(std::int32_t value) { return push(static_cast<std::uint32_t>(value)); }

NativeInvocation& NativeInvocation::push(std::uint32_t value) {
    nativePush64(static_cast<std::uint64_t>(value));
    return *this;
}

NativeInvocation& NativeInvocation::push(float value) {
    nativePush64(static_cast<std::uint64_t>(std::bit_cast<std::uint32_t>(value)));
    return *this;
}

NativeInvocation& NativeInvocation::push(const char* text) {
    nativePush64(reinterpret_cast<std::uintptr_t>(text));
    return *this;
}

std::uint32_t NativeInvocation::callLow32() {
    const std::uint64_t* result = nativeCall();
    return result != nullptr ? static_cast<std::uint32_t>(*result) : 0u;
}

std::int32_t NativeInvocation::callInt() { return static_cast<std::int32_t>(callLow32()); }

float NativeInvocation::callFloat() { return std::bit_cast<float>(callLow32()); }

void NativeInvocation::call() { nativeCall(); }

EntityHandle playerCharacter() {
    return static_cast<EntityHandle>(NativeInvocation(hashes::kPlayerCharacter).callInt());
}

EntityHandle vehicleOf(EntityHandle character) {
    return static_cast<EntityHandle>(
        NativeInvocation(hashes::kVehicleOfCharacter).push(character).push(std::int32_t{0}).callInt());
}

ModelHash modelOf(EntityHandle entity) {
    return static_cast<ModelHash>(NativeInvocation(hashes::kEntityModel).push(entity).callInt());
}

bool isModelOfControlledClass(ModelHash model) {
    return NativeInvocation(hashes::kIsModelOfClass).push(model).callInt() != 0;
}

bool entityExists(EntityHandle entity) { return NativeInvocation(hashes::kEntityExists).push(entity).callInt() != 0; }

std::int32_t controlStateFirst(ControlId control) {
    return NativeInvocation(hashes::kControlActiveFirst).push(std::int32_t{0}).push(control).callInt();
}

std::int32_t controlStateSecond(ControlId control) {
    return NativeInvocation(hashes::kControlActiveSecond).push(std::int32_t{0}).push(control).callInt();
}

float nozzlePosition(EntityHandle vehicle) {
    return NativeInvocation(hashes::kNozzlePosition).push(vehicle).callFloat();
}

void setNozzlePosition(EntityHandle vehicle, float position) {
    NativeInvocation(hashes::kSetNozzlePosition).push(vehicle).push(position).call();
}

std::int32_t modCount(EntityHandle vehicle, std::int32_t slot) {
    return NativeInvocation(hashes::kModCount).push(vehicle).push(slot).callInt();
}

std::int32_t fittedMod(EntityHandle vehicle, std::int32_t slot) {
    return NativeInvocation(hashes::kFittedMod).push(vehicle).push(slot).callInt();
}

void fitMod(EntityHandle vehicle, std::int32_t slot, std::int32_t index) {
    NativeInvocation(hashes::kFitMod).push(vehicle).push(slot).push(index).push(std::int32_t{0}).call();
}

ModelHash modelHashOfName(const char* name) {
    return static_cast<ModelHash>(NativeInvocation(hashes::kModelHashOfName).push(name).callInt());
}

}  // namespace natives
