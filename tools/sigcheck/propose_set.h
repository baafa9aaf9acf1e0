// A set of signatures for a function found in the new build: its entry
// signature where one holds, and up to three call signatures (at different
// callers) and three inside signatures (at different places in it, none at
// its first instruction). Every one must find the function alone, by the
// plug-in's own rule, in every build given: the new one, the old one, and
// any older one where the carry located the function. Where none does, the
// entry signature made for the new build alone. An entry signature that
// would stand alone is joined by its own bytes as an inside signature, so
// that a second match finds nothing instead of the lower one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "correspondence.h"
#include "memory/function_set.h"
#include "memory/game_signatures.h"
#include "program.h"
#include "propose.h"

namespace sigcheck {

inline constexpr std::size_t kMostCallSignatures = 3;
inline constexpr std::size_t kMostInsideSignatures = 3;

struct ProposedSignature {
    memory::SignatureKind kind = memory::SignatureKind::entry;
    std::uint32_t callAt = 0;  // call: where the E8 or E9 stands in it
    std::string mask;
    std::vector<std::uint8_t> pattern;
    // Where its bytes stand: the caller (a function of the new build's
    // program) for a call signature, -1 for the function's own code.
    // Signatures of one source break together when that code changes.
    int source = -1;
};

// How many independent sources a set's evidence comes from: the function's
// own code (its entry and inside signatures) counts once, and each caller
// that holds call signatures once.
std::size_t independentSources(const std::vector<ProposedSignature>& set);

// A build besides the new one, and where the function is in it.
struct CheckedBuild {
    const ModuleView* view = nullptr;
    std::uint32_t functionRva = 0;
};

// `entry`: the entry signature proposed (or kept) for the new build, if
// found; it stays in the set where it holds in every build, and is the set
// where nothing does. The old function's code, and its callers' (paired
// with the new ones), decide which displacements and immediates stay fixed.
std::vector<ProposedSignature> proposeSet(const Program& old, std::uint32_t oldStart, const Correspondence& pairs,
                                          const Program& neu, std::uint32_t start, const Proposal& entry,
                                          const std::vector<CheckedBuild>& others, Deadline& deadline);

// What each signature finds alone in one build, by the plug-in's rule: its
// matches in code (0, 1, or 2 for two or more), its lowest, and the address
// it gives (exactly one match, and what that match says); RVAs, -1 for none.
struct Given {
    unsigned matchCount = 0;
    std::int64_t first = -1;
    std::int64_t functionRva = -1;
};
std::vector<Given> functionsGiven(const ModuleView& view, const std::vector<ProposedSignature>& signatures);

// The plug-in's form of a signature, and of a set (its first
// kMostSignaturesInSet signatures).
memory::SetSignature toSetSignature(const ProposedSignature& signature);
memory::SignatureSet toSignatureSet(const std::vector<ProposedSignature>& signatures);

// The laid-out module as the plug-in's search sees a module.
memory::ModuleAccess accessOf(const ModuleView& view);

}  // namespace sigcheck
