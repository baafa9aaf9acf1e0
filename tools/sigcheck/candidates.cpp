#include "candidates.h"

#include <algorithm>
#include <cmath>

#include "compare.h"

namespace sigcheck {

namespace {

// The old signature still matching one place alone is evidence of its own.
constexpr double kSignatureBonus = 0.1;
// Its place among its neighbours counts for less than its code.
constexpr double kPlaceWeight = 0.5;
// Functions around the old one looked at for a paired one, on either side.
constexpr int kPlaceReach = 32;
constexpr std::size_t kMostPlaced = 64;
// How many candidates are scored, how many of the best of them have their
// code compared in full, and how many each source may bring.
constexpr std::size_t kMostCandidates = 400;
constexpr std::size_t kComparedInFull = 24;
constexpr std::size_t kFromEachSource = 64;
// A landmark used by more functions than this brings no candidates.
constexpr std::uint32_t kRareUses = 16;

double weight(const Program& old, const Program& neu, std::uint64_t landmark) {
    const double uses =
        std::max(1u, old.landmarkUses(landmark)) * static_cast<double>(std::max(1u, neu.landmarkUses(landmark)));
    return 1.0 / std::sqrt(uses);
}

// The new places of the nearest paired functions before and after the old one,
// when they keep their order and hold few functions between them; empty otherwise.
Range placeBetween(const Program& old, int f, const Program& neu, const Correspondence& pairs) {
    int before = -1;
    int after = -1;
    for (int k = f - 1; k >= 0 && k >= f - kPlaceReach && before < 0; --k) before = pairs.newOf(k);
    const int count = static_cast<int>(old.functions().size());
    for (int k = f + 1; k < count && k <= f + kPlaceReach && after < 0; ++k) after = pairs.newOf(k);
    if (before < 0 || after < 0 || after <= before || static_cast<std::size_t>(after - before) > kMostPlaced) return {};
    return {neu.functions()[static_cast<std::size_t>(before)].start,
            neu.functions()[static_cast<std::size_t>(after)].start};
}

// Who might be the function now, the strongest sources first: a long list
// of neighbours' neighbours is what the cap cuts.
std::vector<int> gatherCandidates(const OldFunction& f, const Program& neu, const Correspondence& pairs,
                                  const Found& found, Range between) {
    std::vector<int> pool;
    const auto add = [&](const std::vector<int>& from) {
        for (std::size_t k = 0; k < from.size() && k < kFromEachSource; ++k) pool.push_back(from[k]);
    };
    for (const std::uint32_t rva : found.neu) add({neu.indexOf(rva)});
    add({pairs.newOf(f.index)});
    add(neu.withBytes(f.body->bytesHash));
    add(neu.withExact(f.body->exactHash));
    add(neu.withShape(f.body->shapeHash));
    for (const std::uint64_t landmark : f.landmarks)
        if (neu.landmarkUses(landmark) <= kRareUses) add(neu.usersOf(landmark));
    for (const int callee : f.callees) {
        std::vector<int> callers;
        for (const std::uint32_t c : neu.callers(callee)) callers.push_back(static_cast<int>(c));
        add(callers);
    }
    for (const int caller : f.callers) {
        std::vector<int> callees;
        for (const std::uint32_t c : neu.callees(caller)) callees.push_back(static_cast<int>(c));
        add(callees);
    }
    if (between.end > between.begin) {
        std::vector<int> placed;
        for (int n = neu.indexOf(between.begin) + 1; n > 0 && static_cast<std::size_t>(n) < neu.functions().size() &&
                                                     neu.functions()[static_cast<std::size_t>(n)].start < between.end;
             ++n)
            placed.push_back(n);
        add(placed);
    }
    std::vector<int> distinct;
    std::unordered_set<int> seen;
    for (const int c : pool)
        if (c >= 0 && distinct.size() < kMostCandidates && seen.insert(c).second) distinct.push_back(c);
    return distinct;
}

// The cheap measures of one candidate: the landmarks and paired neighbours
// it shares with the old function, its place, the old signature's match.
Candidate measure(const Program& old, const OldFunction& f, const Program& neu, const Correspondence& pairs,
                  const Found& found, int c, double landmarkTotal, const Ranking& ranking, Range between) {
    Candidate candidate;
    candidate.index = c;
    candidate.rva = neu.functions()[static_cast<std::size_t>(c)].start;
    candidate.signatureMatch = std::find(found.neu.begin(), found.neu.end(), candidate.rva) != found.neu.end();
    if (ranking.landmarkWeight > 0) {
        double shared = 0;
        double union_ = landmarkTotal;
        for (const std::uint64_t landmark : neu.landmarks(c)) {
            const double w = weight(old, neu, landmark);
            if (std::binary_search(f.landmarks.begin(), f.landmarks.end(), landmark))
                shared += w;
            else
                union_ += w;
        }
        candidate.landmarks = union_ > 0 ? shared / union_ : 0;
    }
    if (ranking.graphWeight > 0) {
        std::size_t shared = 0;
        std::size_t union_ = f.callees.size() + f.callers.size();
        for (const std::uint32_t callee : neu.callees(c)) {
            if (f.callees.count(static_cast<int>(callee)))
                ++shared;
            else if (pairs.oldOf(static_cast<int>(callee)) >= 0)
                ++union_;
        }
        for (const std::uint32_t caller : neu.callers(c)) {
            if (f.callers.count(static_cast<int>(caller)))
                ++shared, ++candidate.sharedCallers;
            else if (pairs.oldOf(static_cast<int>(caller)) >= 0)
                ++union_;
        }
        candidate.graph = union_ > 0 ? static_cast<double>(shared) / static_cast<double>(union_) : 0;
        candidate.shared = shared;
    }
    candidate.placed = between.end > between.begin && candidate.rva > between.begin && candidate.rva < between.end;
    return candidate;
}

// Each candidate's score: its code, landmarks, neighbours and place, each
// weighed by how much the old function offers of it. Code is compared in
// full for the likeliest only, chosen on the cheap measure; then what says
// it is another function halves the score.
void scoreCandidates(const OldFunction& f, const Program& neu, const Correspondence& pairs, double placeWeight,
                     Ranking& ranking, Deadline& deadline) {
    auto& candidates = ranking.candidates;
    auto& code = ranking.code;
    for (std::size_t k = 0; k < candidates.size() && !deadline.expired(); ++k) {
        code[k] = neu.instructionsOf(candidates[k].index);
        candidates[k].code = bagSimilarity(f.shape, shapeForms(code[k]));
    }
    const double landmarkWeight = ranking.landmarkWeight;
    const double graphWeight = ranking.graphWeight;
    const bool uniqueMatch = ranking.uniqueMatch;
    const auto total = [&](const Candidate& c) {
        return (c.code + c.landmarks * landmarkWeight + c.graph * graphWeight + (c.placed ? placeWeight : 0.0)) /
                   (1.0 + landmarkWeight + graphWeight + placeWeight) +
               (c.signatureMatch && uniqueMatch ? kSignatureBonus : 0.0);
    };
    std::vector<std::size_t> order(candidates.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return total(candidates[a]) > total(candidates[b]); });
    for (std::size_t r = 0; r < order.size() && !deadline.expired(); ++r) {
        Candidate& c = candidates[order[r]];
        if (r < kComparedInFull)
            c.code = 0.5 * similarity(f.exact, exactForms(code[order[r]])) +
                     0.5 * similarity(f.shape, shapeForms(code[order[r]]));
        else
            c.code *= 0.5;  // not compared in full: never ahead of one that was
        c.score = total(c);
        // Paired build-wide with another old function: it is that one.
        const int paired = pairs.oldOf(c.index);
        if (paired >= 0 && paired != f.index) c.score *= 0.5;
        // Called with the old function's arguments, it would read one it is not given.
        const Function& theirs = neu.functions()[static_cast<std::size_t>(c.index)];
        c.moreArguments =
            f.body->argumentsKnown && theirs.argumentsKnown && arity(theirs.arguments) > arity(f.body->arguments);
        if (c.moreArguments) c.score *= 0.5;
    }
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return candidates[a].score > candidates[b].score ||
               (candidates[a].score == candidates[b].score && candidates[a].rva < candidates[b].rva);
    });
    std::vector<Candidate> ranked;
    std::vector<std::vector<Instruction>> rankedCode;
    for (const std::size_t k : order) {
        ranked.push_back(std::move(candidates[k]));
        rankedCode.push_back(std::move(code[k]));
    }
    candidates = std::move(ranked);
    code = std::move(rankedCode);
}

}  // namespace

OldFunction describeOld(const Program& old, int function, const Correspondence& pairs) {
    OldFunction f;
    f.index = function;
    f.body = &old.functions()[static_cast<std::size_t>(function)];
    f.code = old.instructionsOf(function);
    f.exact = exactForms(f.code);
    f.shape = shapeForms(f.code);
    f.landmarks.assign(old.landmarks(function).begin(), old.landmarks(function).end());
    for (const std::uint32_t callee : old.callees(function))
        if (const int n = pairs.newOf(static_cast<int>(callee)); n >= 0) f.callees.insert(n);
    for (const std::uint32_t caller : old.callers(function))
        if (const int n = pairs.newOf(static_cast<int>(caller)); n >= 0) f.callers.insert(n);
    return f;
}

Ranking rankCandidates(const Program& old, const OldFunction& f, const Program& neu, const Correspondence& pairs,
                       const Found& found, Deadline& deadline) {
    // Where it lies: the linker keeps the order of a module's functions, so
    // the function stands between the new places of the paired functions
    // that stood before and after it.
    const Range between = placeBetween(old, f.index, neu, pairs);
    const double placeWeight = between.end > between.begin ? kPlaceWeight : 0.0;
    const std::vector<int> pool = gatherCandidates(f, neu, pairs, found, between);

    // What each is measured on: the old function's code always; its
    // landmarks and its paired neighbours where it has any. A common
    // constant, or a single paired neighbour, counts for less than a string
    // only this function uses or a handful of paired neighbours.
    Ranking ranking;
    double landmarkTotal = 0;
    for (const std::uint64_t landmark : f.landmarks) landmarkTotal += weight(old, neu, landmark);
    ranking.landmarkWeight = std::min(2.0, landmarkTotal);
    ranking.graphWeight = std::min(3.0, static_cast<double>(f.callees.size() + f.callers.size()) / 2.0);
    ranking.uniqueMatch = found.neu.size() == 1;
    for (const int c : pool) {
        if (deadline.expired()) break;
        // A jump through an import slot is that import, not a function of the game's.
        if ((neu.functions()[static_cast<std::size_t>(c)].importThunk >= 0) != (f.body->importThunk >= 0)) continue;
        ranking.candidates.push_back(measure(old, f, neu, pairs, found, c, landmarkTotal, ranking, between));
    }
    ranking.code.resize(ranking.candidates.size());
    scoreCandidates(f, neu, pairs, placeWeight, ranking, deadline);
    return ranking;
}

}  // namespace sigcheck
