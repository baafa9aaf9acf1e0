// One signature carried from the old build to the new: the old function it
// finds, where that function is in the new build (or no answer), and the
// signature to use there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "correspondence.h"
#include "program.h"
#include "propose.h"

namespace sigcheck {

enum class Verdict { kept, replaced, wrongFunction, notFound, oldNotUnique };
const char* verdictName(Verdict verdict);

struct Candidate {
    std::uint32_t rva = 0;
    int function = -1;  // in the new build's program
    double score = 0;
    double code = 0;         // how alike its instructions are
    double anchors = 0;      // how many of the old function's rare things it uses, weighed by rarity
    double graph = 0;        // how many of the old function's paired callers and callees it shares
    std::size_t shared = 0;  // of those, how many
    std::size_t sharedCallers = 0;
    bool placed = false;         // it lies between the new places of the functions around the old one
    bool moreArguments = false;  // it reads an argument the old function had not
    bool signatureMatch = false;
    std::vector<std::string> evidence;
    std::vector<std::string> diff;  // against the old function, for a report without an answer
};

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

// The matches of one signature in each build: found before the programs are
// made, so that the functions they start are among the programs' functions.
struct Matches {
    std::vector<std::uint32_t> old, neu;
};
Matches findMatches(const Image& old, const Image& neu, const char* mask, const std::uint8_t* pattern);

Carried carry(const Program& old, const Program& neu, const Correspondence& pairs, const Matches& matches,
              const char* mask, const std::uint8_t* pattern, Deadline& deadline);

// Two old functions cannot both be one new function: where two answers
// meet, neither stands.
void settleConflicts(std::vector<Carried>& carried, const std::vector<std::string>& names);

}  // namespace sigcheck
