// Typed calls into the game's natives, one wrapper per native the plug-in
// uses. All run in the script context.
#pragma once

#include <cstdint>

namespace natives {

using EntityHandle = std::uint32_t;
using ModelHash = std::uint32_t;
using ControlId = std::int32_t;

// One native call: init with the hash, one push per argument, call. The
// three steps are never interleaved with another invocation.
class NativeInvocation {
public:
    explicit NativeInvocation(std::uint64_t hash);
    NativeInvocation& push(std::int32_t value);   // zero-extended, -1 included
    NativeInvocation& push(std::uint32_t value);  // zero-extended
    NativeInvocation& push(float value);          // its 32 bits in the low half
    NativeInvocation& push(const char* text);     // the string's address
    std::int32_t callInt();
    float callFloat();
    void call();

private:
    std::uint32_t callLow32();
};

EntityHandle playerCharacter();
EntityHandle vehicleOf(EntityHandle character);
ModelHash modelOf(EntityHandle entity);
bool isModelOfControlledClass(ModelHash model);
bool entityExists(EntityHandle entity);
std::int32_t controlStateFirst(ControlId control);
std::int32_t controlStateSecond(ControlId control);
float nozzlePosition(EntityHandle vehicle);
void setNozzlePosition(EntityHandle vehicle, float position);
std::int32_t modCount(EntityHandle vehicle, std::int32_t slot);
std::int32_t fittedMod(EntityHandle vehicle, std::int32_t slot);
void fitMod(EntityHandle vehicle, std::int32_t slot, std::int32_t index);
ModelHash modelHashOfName(const char* name);

}  // namespace natives
