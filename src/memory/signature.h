// The search for byte signatures: in a range, and in the executable memory of one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace memory {

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

// Searches the process's main module afresh on every call; null when absent.
void* findSignature(const char* mask, const std::uint8_t* pattern);

}  // namespace memory
