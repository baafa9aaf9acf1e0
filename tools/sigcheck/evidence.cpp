#include "evidence.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "compare.h"

namespace sigcheck {

namespace {

// A landmark is named in the evidence when no more than this many functions use it.
constexpr std::uint32_t kNamedUses = 16;
constexpr std::size_t kLongestDiff = 40;

}  // namespace

std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::string percent(double share) { return std::to_string(static_cast<int>(std::lround(share * 100))) + "%"; }

void describeCandidates(const Program& old, const OldFunction& f, const Program& neu, const Correspondence& pairs,
                        const Found& found, Ranking& ranking) {
    const Function& oldFunction = *f.body;
    for (std::size_t r = 0; r < ranking.candidates.size() && r < kShownCandidates; ++r) {
        Candidate& c = ranking.candidates[r];
        const Function& theirs = neu.functions()[static_cast<std::size_t>(c.index)];
        auto& e = c.evidence;
        if (c.signatureMatch)
            e.push_back(ranking.uniqueMatch ? "the old signature matches here alone"
                                            : "the old signature matches here and at " +
                                                  std::to_string(found.neu.size() - 1) + " more places");
        const auto unique = [](const std::vector<int>& all) {
            return all.size() == 1 ? ", unique in the new build" : "";
        };
        if (theirs.bytesHash == oldFunction.bytesHash)
            e.push_back(std::string("the same bytes but for addresses") + unique(neu.withBytes(theirs.bytesHash)));
        else if (theirs.exactHash == oldFunction.exactHash)
            e.push_back(std::string("the same instructions, displacements and addresses aside") +
                        unique(neu.withExact(theirs.exactHash)));
        else if (theirs.shapeHash == oldFunction.shapeHash)
            e.push_back(std::string("the same instructions, registers, displacements and addresses aside") +
                        unique(neu.withShape(theirs.shapeHash)));
        else
            e.push_back("code " + percent(c.code) + " alike");
        if (ranking.landmarkWeight > 0) {
            std::vector<std::string> named;
            std::size_t count = 0;
            for (const std::uint64_t landmark : neu.landmarks(c.index)) {
                if (!std::binary_search(f.landmarks.begin(), f.landmarks.end(), landmark)) continue;
                if (named.size() < 2 && neu.landmarkUses(landmark) <= kNamedUses)
                    named.push_back(neu.describeLandmark(landmark));
                ++count;
            }
            std::string text = "uses " + std::to_string(count) + " of the old function's " +
                               std::to_string(f.landmarks.size()) + " strings, constants and imports";
            for (std::size_t n = 0; n < named.size(); ++n) text += (n == 0 ? " (" : ", ") + named[n];
            e.push_back(text + (named.empty() ? "" : ")"));
        }
        if (ranking.graphWeight > 0)
            e.push_back("called by " + std::to_string(c.sharedCallers) + " of its " + std::to_string(f.callers.size()) +
                        " paired callers, calls " + std::to_string(c.shared - c.sharedCallers) + " of its " +
                        std::to_string(f.callees.size()) + " paired callees");
        if (c.placed) e.push_back("lies where the functions around it in the old build put it");
        if (c.moreArguments)
            e.push_back("reads " + std::to_string(arity(theirs.arguments)) + " arguments, the old function " +
                        std::to_string(arity(oldFunction.arguments)));
        if (pairs.newOf(f.index) == c.index) e.push_back("paired with it build-wide");
        const int paired = pairs.oldOf(c.index);
        if (paired >= 0 && paired != f.index)
            e.push_back("paired build-wide with the old function at RVA " +
                        hex(old.functions()[static_cast<std::size_t>(paired)].start));
    }
}

std::string whyNoAnswer(const Decision& d, const Ranking& ranking, const Program& neu) {
    const auto& candidates = ranking.candidates;
    if (candidates.empty()) return "no function of the new build is like it";
    const Candidate& best = candidates[0];
    const double second = candidates.size() > 1 ? candidates[1].score : 0.0;
    if (d.callersDisagree && best.score >= kAnswer)
        return "none of the old function's paired callers calls the best candidate; one calls another";
    if (d.wrapper >= 0 && best.score >= kAnswer)
        return "RVA " + hex(neu.functions()[static_cast<std::size_t>(d.wrapper)].start) +
               ", new beside the best candidate, calls it: the old function may now be split in two";
    if (best.score < kAnswer || best.code < kLooksAlike)
        return "no candidate is alike enough (best " + percent(best.score) + ")";
    if (d.weak) return "too short to tell by its code alone";
    return "no clear lead: " + percent(best.score) + " against " + percent(second);
}

std::vector<std::string> diffLines(const ModuleView& oldView, const std::vector<Instruction>& oldCode,
                                   const ModuleView& newView, const std::vector<Instruction>& newCode) {
    std::vector<std::string> lines;
    std::size_t i = 0;
    std::size_t j = 0;
    std::size_t alike = 0;
    const auto flush = [&] {
        if (alike > 0) lines.push_back("  (" + std::to_string(alike) + " alike)");
        alike = 0;
    };
    const auto pairs = align(exactForms(oldCode), exactForms(newCode));
    for (std::size_t p = 0; p <= pairs.size() && lines.size() < kLongestDiff; ++p) {
        const std::size_t toI = p < pairs.size() ? pairs[p].first : std::min(oldCode.size(), kLongestCompared);
        const std::size_t toJ = p < pairs.size() ? pairs[p].second : std::min(newCode.size(), kLongestCompared);
        if (i < toI || j < toJ) flush();
        for (; i < toI && lines.size() < kLongestDiff; ++i) lines.push_back("- " + format(oldView, oldCode[i]));
        for (; j < toJ && lines.size() < kLongestDiff; ++j) lines.push_back("+ " + format(newView, newCode[j]));
        if (p < pairs.size()) ++alike, i = toI + 1, j = toJ + 1;
    }
    flush();
    return lines;
}

std::vector<std::string> changedDisplacements(const ModuleView& oldView, const std::vector<Instruction>& oldCode,
                                              const ModuleView& newView, const std::vector<Instruction>& newCode) {
    std::vector<std::string> changed;
    const auto displacement = [](const Instruction& instruction) -> const Field* {
        if (instruction.framePointerBased) return nullptr;  // a stack slot, not a struct member
        for (std::uint8_t k = 0; k < instruction.fieldCount; ++k)
            if (instruction.fields[k].kind == FieldKind::displacement) return &instruction.fields[k];
        return nullptr;
    };
    for (const auto& [i, j] : align(shapeForms(oldCode), shapeForms(newCode))) {
        const Field* before = displacement(oldCode[i]);
        const Field* after = displacement(newCode[j]);
        if (before == nullptr || after == nullptr || before->value == after->value) continue;
        changed.push_back("+" + hex(newCode[j].rva - newCode[0].rva) + ": " + format(oldView, oldCode[i]) + " -> " +
                          format(newView, newCode[j]));
    }
    return changed;
}

}  // namespace sigcheck
