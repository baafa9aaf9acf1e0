// Who in the new build might be the old function, and how like it each one
// is: the candidates gathered from every kind of evidence, then scored and
// ranked. What makes an answer of the ranking is verdict.h's.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "correspondence.h"
#include "program.h"

namespace sigcheck {

// Where the signatures find the function in each build: a single entry
// signature's matches, or the one address a set's rule gives (none where it
// gives none). Found before the programs are made, so that the functions
// they start are among the programs' functions.
struct Found {
    std::vector<std::uint32_t> old, neu;
};

// Everything the candidates are measured against, of the old function.
struct OldFunction {
    int index = -1;  // in the old build's program
    const Function* body = nullptr;
    std::vector<Instruction> code;
    std::vector<std::uint64_t> exact, shape;
    std::vector<std::uint64_t> landmarks;
    std::unordered_set<int> callees, callers;  // paired ones, as functions of the new build
};
OldFunction describeOld(const Program& old, int function, const Correspondence& pairs);

struct Candidate {
    std::uint32_t rva = 0;
    int index = -1;  // in the new build's program
    double score = 0;
    double code = 0;         // how alike its instructions are
    double landmarks = 0;    // how many of the old function's landmarks it uses, weighed by rarity
    double graph = 0;        // how many of the old function's paired callers and callees it shares
    std::size_t shared = 0;  // of those, how many
    std::size_t sharedCallers = 0;
    bool placed = false;         // it lies between the new places of the functions around the old one
    bool moreArguments = false;  // it reads an argument the old function had not
    bool signatureMatch = false;
    std::vector<std::string> evidence;
    std::vector<std::string> diff;  // against the old function, for a report without an answer
};

// The candidates, best first, with what they were weighed on.
struct Ranking {
    std::vector<Candidate> candidates;
    std::vector<std::vector<Instruction>> code;  // each candidate's, in the same order
    double landmarkWeight = 0;                   // 0 where the old function has no landmark
    double graphWeight = 0;                      // 0 where it has no paired neighbour
    bool uniqueMatch = false;                    // the old signature matches one place alone in the new build
};

Ranking rankCandidates(const Program& old, const OldFunction& f, const Program& neu, const Correspondence& pairs,
                       const Found& found, Deadline& deadline);

}  // namespace sigcheck
