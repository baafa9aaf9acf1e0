// The carry's findings in words, for the report: what speaks for each
// candidate shown, why there is no answer, the instruction diff against
// the old function, and the struct displacements that changed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "candidates.h"
#include "verdict.h"

namespace sigcheck {

// How many candidates a report shows, best first.
inline constexpr std::size_t kShownCandidates = 3;

std::string hex(std::uint64_t value);
std::string percent(double share);

// Each shown candidate's evidence, from the counts its score took.
void describeCandidates(const Program& old, const OldFunction& f, const Program& neu, const Correspondence& pairs,
                        const Found& found, Ranking& ranking);

// Why the decision gives no answer, in one line.
std::string whyNoAnswer(const Decision& decision, const Ranking& ranking, const Program& neu);

// `-` old only, `+` new only, `(N alike)` for runs of the same instructions.
std::vector<std::string> diffLines(const ModuleView& oldView, const std::vector<Instruction>& oldCode,
                                   const ModuleView& newView, const std::vector<Instruction>& newCode);

// "+0xF: mov rax, qword ptr [r9+8h] -> mov rax, qword ptr [r9+10h]": a
// member's displacement that differs between aligned instructions.
std::vector<std::string> changedDisplacements(const ModuleView& oldView, const std::vector<Instruction>& oldCode,
                                              const ModuleView& newView, const std::vector<Instruction>& newCode);

}  // namespace sigcheck
