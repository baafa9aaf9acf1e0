#include "platform/platform.h"

#include <share.h>
#include <windows.h>

// After windows.h, which it needs.
#include <psapi.h>

namespace platform {

std::uint64_t tickCount() { return GetTickCount64(); }

// The compiler's query reads CPUID and, for AVX2, that the system saves the
// YMM registers (XGETBV), and for AVX-512 the ZMM ones: what Windows'
// feature flags say, on every version.
bool processorHasAvx2() { return __builtin_cpu_supports("avx2") != 0; }
bool processorHasAvx512() {
    return __builtin_cpu_supports("avx512bw") != 0 && __builtin_cpu_supports("avx512vbmi") != 0;
}
bool processorHasSsse3() { return __builtin_cpu_supports("ssse3") != 0; }

ByteRange mainModuleRange() {
    MODULEINFO info{};
    // A failed query leaves the record zero, which makes the range empty.
    K32GetModuleInformation(GetCurrentProcess(), GetModuleHandleA(nullptr), &info, sizeof(info));
    const auto* begin = static_cast<const std::uint8_t*>(info.lpBaseOfDll);
    return {begin, begin + static_cast<std::size_t>(info.SizeOfImage)};
}

Region queryRegion(const std::uint8_t* address) {
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(address, &info, sizeof(info)) == 0) return {};
    const auto* begin = static_cast<const std::uint8_t*>(info.BaseAddress);
    // The low byte is the protection; guard, no-cache and write-combine are modifiers above it.
    const DWORD protection = info.Protect & 0xFF;
    const bool usable = info.State == MEM_COMMIT && (info.Protect & PAGE_GUARD) == 0;
    const bool executable = usable && (protection == PAGE_EXECUTE_READ || protection == PAGE_EXECUTE_READWRITE ||
                                       protection == PAGE_EXECUTE_WRITECOPY);
    const bool readable =
        executable ||
        (usable && (protection == PAGE_READONLY || protection == PAGE_READWRITE || protection == PAGE_WRITECOPY));
    return {begin, begin + info.RegionSize, executable, readable};
}

std::FILE* openSharedForReading(const char* path) { return _fsopen(path, "rb", _SH_DENYNO); }

// "t" spelled out: the process-wide default mode is the game's to change.
std::FILE* openSharedForWriting(const char* path) { return _fsopen(path, "wt", _SH_DENYNO); }

}  // namespace platform
