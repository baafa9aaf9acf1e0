#include "verdict.h"

#include <cstdlib>

namespace sigcheck {

namespace {

// An answer also needs this lead over the runner-up; a lone match of the
// old signature that scores below kAnother is another function.
constexpr double kLead = 0.15;
constexpr double kAnother = 0.35;
// Code this short, with nothing else to go by, is too common to answer on.
constexpr std::uint32_t kFewestInstructionsAlone = 6;
// Code that changed beyond likeness still answers when it shares this much
// of the old function's paired callers and callees, and this many of them.
constexpr double kSameNeighbours = 0.75;
constexpr std::size_t kFewestNeighbours = 3;
// How far from a function, in functions, a caller counts as beside it.
constexpr int kWrapperReach = 4;

// A caller of c, near it, that no old function pairs with, and that is no mere
// jump to c (which would be c itself by another name); -1 when there is
// none, or when the old function had such a caller near it too.
int newWrapper(const Program& old, int f, const Program& neu, int c, const Correspondence& pairs) {
    const auto unpairedCallerNear = [](const Program& program, int function, auto paired) {
        for (const std::uint32_t caller : program.callers(function)) {
            const int t = static_cast<int>(caller);
            if (paired(t) || std::abs(t - function) > kWrapperReach) continue;
            const Function& body = program.functions()[caller];
            const bool mereJump = body.instructions == 1;
            if (!mereJump) return t;
        }
        return -1;
    };
    if (unpairedCallerNear(old, f, [&](int t) { return pairs.newOf(t) >= 0; }) >= 0) return -1;
    return unpairedCallerNear(neu, c, [&](int t) { return pairs.oldOf(t) >= 0; });
}

}  // namespace

const char* verdictName(Verdict verdict) {
    switch (verdict) {
        case Verdict::kept: return "kept";
        case Verdict::replaced: return "replaced";
        case Verdict::foundNoSignature: return "found-no-signature";
        case Verdict::wrongFunction: return "wrong-function";
        case Verdict::notFound: return "not-found";
        case Verdict::oldNotUnique: return "old-not-unique";
        case Verdict::count: break;
    }
    return "?";
}

Decision decide(const Program& old, const OldFunction& f, const Program& neu, const Correspondence& pairs,
                const Ranking& ranking, const Found& found, std::size_t signatureLength) {
    Decision d;
    const auto& candidates = ranking.candidates;
    const bool uniqueMatch = ranking.uniqueMatch;
    const Candidate* best = candidates.empty() ? nullptr : &candidates[0];
    const double second = candidates.size() > 1 ? candidates[1].score : 0.0;
    // A signature that runs past the end of the old function found it by the code after it.
    const bool signatureInside = signatureLength <= f.body->end - f.body->start;
    // Short code with nothing else to go by: only the old signature still
    // matching it alone, or code unique in the new build, says which it is.
    d.weak = best != nullptr && f.body->instructions < kFewestInstructionsAlone &&
             ranking.landmarkWeight + ranking.graphWeight == 0 &&
             !(best->signatureMatch && uniqueMatch && signatureInside) && !best->placed &&
             neu.withBytes(f.body->bytesHash).size() != 1;
    // Code alike, or called by and calling the same functions, many of them.
    const bool alike = best != nullptr && (best->code >= kLooksAlike ||
                                           (best->graph >= kSameNeighbours && best->shared >= kFewestNeighbours));
    // Inlining that changed: a function new in this build, beside the best one,
    // calls it where the old function had no such caller. The old function
    // may be that caller now, and the best one what it calls.
    d.wrapper = best == nullptr ? -1 : newWrapper(old, f.index, neu, best->index, pairs);
    // Who calls a function says which it is: none of the old one's paired
    // callers calls the best candidate, while one of them calls another.
    if (best != nullptr && best->sharedCallers == 0 && !f.callers.empty())
        for (const Candidate& c : candidates) d.callersDisagree = d.callersDisagree || c.sharedCallers > 0;
    const bool confident = best != nullptr && best->score >= kAnswer && best->score - second >= kLead && alike &&
                           !d.weak && d.wrapper < 0 && !d.callersDisagree;
    for (const Candidate& c : candidates)
        if (uniqueMatch && c.rva == found.neu[0]) d.atMatch = &c;
    if (uniqueMatch && confident && best->rva == found.neu[0]) {
        d.verdict = Verdict::kept;
    } else if (uniqueMatch && (confident || d.atMatch == nullptr || d.atMatch->score < kAnother)) {
        d.verdict = Verdict::wrongFunction;
    } else {
        d.verdict = confident ? Verdict::replaced : Verdict::notFound;
    }
    d.answered = confident;
    return d;
}

}  // namespace sigcheck
