// The script hook's functions. The import library maps these plain names to
// the hook's decorated exports (see ScriptHookV.def); on the host build the stand-in
// world provides them at link time.
#pragma once

#include <cstdint>

using ModuleHandle = void*;
using ScriptEntry = void (*)();

extern "C" {
void scriptRegister(ModuleHandle module, ScriptEntry entry);
void scriptUnregister(ModuleHandle module);
void scriptWait(std::uint32_t milliseconds);
void nativeInit(std::uint64_t hash);
void nativePush64(std::uint64_t value);
std::uint64_t* nativeCall();
}
