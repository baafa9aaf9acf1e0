// Whether the ranking answers where the old function is now, and the
// verdict on the old signature: the thresholds that guard an answer, and
// the checks that refuse one, all in this one place. carry.cpp amends the
// verdict afterwards in two cases only: once the set is made (replaced or
// found-no-signature), and where two answers meet (settleConflicts).
#pragma once

#include <cstddef>

#include "candidates.h"

namespace sigcheck {

// In the order a report counts them; `count` last, for the boundary's names.
enum class Verdict { kept, replaced, foundNoSignature, wrongFunction, notFound, oldNotUnique, count };
const char* verdictName(Verdict verdict);

struct Decision {
    Verdict verdict = Verdict::notFound;
    bool answered = false;  // the best candidate is the function
    // Why there is no answer, where there is none.
    bool weak = false;             // short code with nothing else to go by
    bool callersDisagree = false;  // the old function's paired callers call another candidate
    int wrapper = -1;              // a new function beside the best one calls it: a split, perhaps
    // The candidate at the old signature's only match in the new build, if it is one.
    const Candidate* atMatch = nullptr;
};

// `signatureLength`: the old signature's, which ran past the old function's
// end when it is longer than the function.
Decision decide(const Program& old, const OldFunction& f, const Program& neu, const Correspondence& pairs,
                const Ranking& ranking, const Found& found, std::size_t signatureLength);

// An answer needs a score of at least this, and code at least this alike.
inline constexpr double kAnswer = 0.5;
inline constexpr double kLooksAlike = 0.35;

}  // namespace sigcheck
