// How a set of signatures (game_signatures.h) finds its function:
//  1. each signature that matches exactly once in code gives an address: an
//     entry signature its match; a call signature the target of the call or
//     jump it holds, where that lies in the module's code; an inside
//     signature the start of the function that holds its match, where the
//     module's exception directory has one;
//  2. the address given by the most signatures wins, when no other address
//     is given as often; a tie finds nothing, and so calls nothing;
//  3. when no signature gives an address, the entry signature's lowest
//     match, as a single signature has always found its function.
// The module's code is read once for the whole set.
#pragma once

#include <cstddef>
#include <cstdint>

#include "memory/game_signatures.h"
#include "memory/regions.h"
#include "memory/signature.h"

namespace memory {

// A module as a search sees it: where it lies, and who says what its memory is.
struct ModuleAccess {
    const std::uint8_t* begin = nullptr;
    const std::uint8_t* end = nullptr;
    RegionSource regions;
};

struct SetFinding {
    EachMatch matches[kMostSignaturesInSet];               // each signature's, in code
    const std::uint8_t* gives[kMostSignaturesInSet] = {};  // the address each gives, or null
    const std::uint8_t* address = nullptr;                 // the function, or null
    std::size_t votes = 0;                                 // how many signatures gave it
    bool tie = false;                                      // another address was given as often
    bool fallback = false;                                 // none gave one: the entry's lowest match
};

SetFinding resolveSet(const SignatureSet& set, const ModuleAccess& module, VectorPath path);

class ExceptionDirectory;
// What one signature that matched exactly once (at `match`) gives by step 1; null for nothing.
const std::uint8_t* addressGiven(const SetSignature& signature, const std::uint8_t* match, const ModuleAccess& module,
                                 const ExceptionDirectory& directory);

// The plug-in's search for a function in the process's main module, afresh
// on every call. A set of one entry signature is searched as it always was:
// its lowest match, the pass stopping there.
void* findFunction(const SignatureSet& set);

}  // namespace memory
