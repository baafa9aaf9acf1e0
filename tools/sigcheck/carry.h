// One function's signatures carried from the old build to the new: the old
// function they find, where that function is in the new build (or no
// answer), and the set of signatures to use there; and every function of a
// run carried at once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "candidates.h"
#include "correspondence.h"
#include "program.h"
#include "propose.h"
#include "propose_set.h"
#include "verdict.h"

namespace sigcheck {

struct Carried {
    Verdict verdict = Verdict::notFound;
    std::size_t oldFoundCount = 0;  // Found::old's size: a single signature's matches (3: three or more)
    std::uint32_t oldRva = 0;
    std::vector<std::uint32_t> newFound;  // Found::neu: where the old signatures find it in the new build
    std::vector<Candidate> candidates;    // best first
    bool answered = false;                // candidates[0] is the function
    std::string evidence;
    Proposal proposal;                   // the entry signature
    std::vector<ProposedSignature> set;  // every signature to use, the entry's among them where it holds
    std::vector<std::string> changedDisplacements;
    std::vector<std::int64_t> olderRva;  // the function in each older build, -1 where not located
};

// One function's signatures as they stand: a set, or a single entry signature.
struct SetToCarry {
    std::string name;
    std::vector<ProposedSignature> signatures;
    const ProposedSignature* entry() const;
};

// What the signatures find in each build: a single entry signature its
// matches (as a maintainer reads them), a set the function its rule gives.
Found findInBoth(const ModuleView& old, const ModuleView& neu, const SetToCarry& set);

Carried carry(const Program& old, const Program& neu, const Correspondence& pairs, const Found& found,
              const SetToCarry& set, Deadline& deadline);

// Two old functions cannot both be one new function: where two answers
// meet, neither stands.
void settleConflicts(std::vector<Carried>& carried, const std::vector<std::string>& names);

struct CarryRun {
    bool expired = false;  // past the time limit: nothing below counts
    std::size_t oldFunctions = 0, newFunctions = 0, paired = 0;
    std::vector<Carried> carried;  // one per signature, in their order
};

// Every function carried: both builds read (one thread each), paired, and
// each function's signatures carried, conflicts settled; the function
// located in each older build too, by a carry from the old one, and a set
// proposed that holds in all of them.
CarryRun carryAll(const ModuleView& old, const ModuleView& neu, const std::vector<const ModuleView*>& older,
                  const std::vector<SetToCarry>& sets, double seconds);

}  // namespace sigcheck
