// One signature carried from the old build to the new: the old function it
// finds, where that function is in the new build (or no answer), and the
// signature to use there; and every signature of a run carried at once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "candidates.h"
#include "correspondence.h"
#include "program.h"
#include "propose.h"
#include "verdict.h"

namespace sigcheck {

struct Carried {
    Verdict verdict = Verdict::notFound;
    std::size_t oldMatches = 0;  // of the old signature, in the old build's code (3: three or more)
    std::uint32_t oldRva = 0;
    std::vector<std::uint32_t> newMatches;  // of the old signature, in the new build's code
    std::vector<Candidate> candidates;      // best first
    bool answered = false;                  // candidates[0] is the function
    std::string evidence;
    Proposal proposal;
    std::vector<std::string> changedDisplacements;
};

Matches findMatches(const ModuleView& old, const ModuleView& neu, const char* mask, const std::uint8_t* pattern);

Carried carry(const Program& old, const Program& neu, const Correspondence& pairs, const Matches& matches,
              const char* mask, const std::uint8_t* pattern, Deadline& deadline);

// Two old functions cannot both be one new function: where two answers
// meet, neither stands.
void settleConflicts(std::vector<Carried>& carried, const std::vector<std::string>& names);

struct SignatureToCarry {
    std::string name;
    std::string mask;  // 'x' fixed, '?' open
    std::vector<std::uint8_t> pattern;
};

struct CarryRun {
    bool expired = false;  // past the time limit: nothing below counts
    std::size_t oldFunctions = 0, newFunctions = 0, paired = 0;
    std::vector<Carried> carried;  // one per signature, in their order
};

// Every signature carried: both builds read (one thread each), paired, and
// each signature's function carried, conflicts settled.
CarryRun carryAll(const ModuleView& old, const ModuleView& neu, const std::vector<SignatureToCarry>& signatures,
                  double seconds);

}  // namespace sigcheck
