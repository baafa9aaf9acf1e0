// Byte signatures of the game's internal functions and the search for them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace memory {

struct Signature {
    const char* mask;             // 'x' must match, '?' accepts any byte; NUL-ended
    const std::uint8_t* pattern;  // as many bytes as the mask has characters
};

inline constexpr std::uint8_t kHandleToAddressPattern[] = {0x83, 0xF9, 0xFF, 0x74, 0x31, 0x4C, 0x8B, 0x0D, 0x00, 0x00,
                                                           0x00, 0x00, 0x44, 0x8B, 0xC1, 0x49, 0x8B, 0x41, 0x08};
inline constexpr std::uint8_t kGetPropStatePattern[] = {0x4C, 0x8B, 0xC1, 0x83, 0xFA, 0x00, 0x77, 0x19};
inline constexpr std::uint8_t kSetPropStatePattern[] = {0x4C, 0x8B, 0xC9, 0x83, 0xFA, 0x00, 0x77, 0x1F, 0x8B, 0xCA};

inline constexpr Signature kHandleToAddressSignature{"xxxxxxxx????xxxxxxx", kHandleToAddressPattern};
inline constexpr Signature kGetPropStateSignature{"xxxxx?xx", kGetPropStatePattern};
inline constexpr Signature kSetPropStateSignature{"xxxxx?xxxx", kSetPropStatePattern};

// The vector instructions a search uses: AVX2 where the processor has it,
// SSE2 (which every x86-64 processor has) otherwise, or when asked for.
enum class VectorPath { sse2, avx2 };
VectorPath bestVectorPath();

// The lowest address in [begin, end) at which the signature occurs, overlapping
// partial matches included, or null. Reads no byte outside the range. AVX2,
// when asked for on a processor without it, falls back to SSE2.
const std::uint8_t* findInRange(const std::uint8_t* begin, const std::uint8_t* end, const char* mask,
                                const std::uint8_t* pattern, VectorPath path);

// Who says what memory is: the platform's page queries in the game, a game
// file's section table in the signature check.
struct RegionSource {
    platform::Region (*query)(const void* context, const std::uint8_t* address);
    const void* context = nullptr;
};
RegionSource processRegions();

// The lowest match that lies wholly in executable memory of [begin, end):
// committed, not a guard page, execute-read, execute-read-write or
// execute-write-copy, as `regions` reports it.
const std::uint8_t* findInExecutableRegions(const std::uint8_t* begin, const std::uint8_t* end, const char* mask,
                                            const std::uint8_t* pattern, VectorPath path,
                                            RegionSource regions = processRegions());

}  // namespace memory

// Searches the process's main module afresh on every call; null when absent.
void* findSignature(const char* mask, const std::uint8_t* pattern);
