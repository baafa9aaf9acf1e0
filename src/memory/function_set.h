// How a set of signatures (game_signatures.h) finds its function:
//  1. each signature that matches exactly once in code gives an address: an
//     entry signature its match; a call signature the target of the call or
//     jump it holds, where that lies in the module's code; an inside
//     signature the start of the function that holds its match, where the
//     module's exception directory says so without doubt;
//  2. an address that lies strictly inside a function the exception
//     directory knows is never that function: it counts as no address;
//  3. the address given by the most signatures wins, when no other address
//     is given as often; a tie finds nothing, and so calls nothing, and so
//     does a set in which no signature gives an address.
// A set of one entry signature is the search it always was: its lowest
// match that can begin a function, the pass stopping there.
// The module's code is read once for the whole set.
#pragma once

#include <cstddef>
#include <cstdint>

#include "memory/exception_directory.h"
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

// Why a signature gives the address it gives, or none.
enum class GivenHow : std::uint8_t {
    gives,           // it gives an address
    noMatch,         // no match in code
    severalMatches,  // two or more in code: only the search of a set of one entry takes the lowest
    insideFunction,  // its address lies strictly inside a function the directory knows: ruled out
    outsideCode,     // a call whose target lies outside the module's code
    directory,       // the directory says nothing certain: of an inside signature's match, or (when
                     // its records are out of order, overlap or lie outside the image) of any address
};

struct Given {
    const std::uint8_t* address = nullptr;  // the address it gives, or null
    GivenHow how = GivenHow::noMatch;
    const std::uint8_t* within = nullptr;               // insideFunction: where that function begins
    DirectorySays directory = DirectorySays::function;  // GivenHow::directory: what it said
};

struct SetFinding {
    EachMatch matches[kMostSignaturesInSet];  // each signature's, in code
    Given gives[kMostSignaturesInSet];        // what each gives
    const std::uint8_t* address = nullptr;    // the function, or null
    std::size_t votes = 0;                    // how many signatures gave it
    bool tie = false;                         // another address was given as often
};

SetFinding resolveSet(const SignatureSet& set, const ModuleAccess& module, VectorPath path);

// What one signature that matched exactly once (at `match`) gives by steps 1 and 2.
Given addressGiven(const SetSignature& signature, const std::uint8_t* match, const ModuleAccess& module,
                   const ExceptionDirectory& directory);

// The search for a set of one entry signature: its lowest match in code
// that can begin a function; null when there is none.
const std::uint8_t* lowestFunctionStart(const Signature& signature, const ModuleAccess& module, VectorPath path,
                                        const ExceptionDirectory& directory);

// The plug-in's search for a function in the process's main module, afresh on every call.
void* findFunction(const SignatureSet& set);

}  // namespace memory
