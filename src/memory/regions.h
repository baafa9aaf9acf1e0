// The search in the executable memory of a range, region by region, and in
// the process's main module: who says what memory is, the platform's page
// queries in the game or a game file's section table in the signature tools.
#pragma once

#include <cstdint>

#include "memory/signature.h"
#include "platform/platform.h"

namespace memory {

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

// Several signatures in one pass over the executable memory of [begin,
// end), as findEachInRange gives them (matches that lie wholly in code).
void findEachInExecutableRegions(const std::uint8_t* begin, const std::uint8_t* end, const Signature* signatures,
                                 std::size_t count, EachMatch* found, VectorPath path,
                                 RegionSource regions = processRegions());

// Searches the process's main module afresh on every call; null when absent.
void* findSignature(const char* mask, const std::uint8_t* pattern);

}  // namespace memory
