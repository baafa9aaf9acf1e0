#include "carry.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <unordered_set>

#include "compare.h"

namespace sigcheck {

namespace {

// An answer needs this score, this lead over the runner-up, and code at
// least this alike; a lone match of the old signature that scores below
// kAnother is another function.
constexpr double kAnswer = 0.5;
constexpr double kMargin = 0.15;
constexpr double kLooksAlike = 0.35;
constexpr double kAnother = 0.35;
// The old signature still matching one place alone is evidence of its own.
constexpr double kSignatureBonus = 0.1;
// Code this short, with nothing else to go by, is too common to answer on.
constexpr std::uint32_t kFewestInstructionsAlone = 6;
constexpr std::size_t kMostNewMatches = 16;
// Code that changed beyond likeness still answers when it shares this much
// of the old function's paired callers and callees, and this many of them.
constexpr double kSameNeighbours = 0.75;
constexpr std::size_t kFewestNeighbours = 3;
// Its place among its neighbours counts for less than its code.
constexpr double kPlaceWeight = 0.5;
// Functions around the old one looked at for a paired one, on either side.
constexpr int kPlaceReach = 32;
constexpr std::size_t kMostPlaced = 64;
// How far from a function, in functions, a caller counts as beside it.
constexpr int kWrapperReach = 4;
constexpr std::size_t kMostCandidates = 400;
constexpr std::size_t kComparedInFull = 24;
constexpr std::size_t kFromEachSource = 64;
constexpr std::uint32_t kRareUses = 16;
constexpr std::size_t kShownCandidates = 3;
constexpr std::size_t kLongestDiff = 40;

std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::string percent(double share) { return std::to_string(static_cast<int>(std::lround(share * 100))) + "%"; }

// Everything the candidates are measured against, of the old function.
struct Old {
    int function = -1;
    std::vector<Instruction> code;
    std::vector<std::uint64_t> exact, shape;
    std::vector<std::uint64_t> anchors;
    std::unordered_set<int> callees, callers;  // paired ones, as functions of the new build
};

double weight(const Program& old, const Program& neu, std::uint64_t anchor) {
    const double uses =
        std::max(1u, old.anchorUses(anchor)) * static_cast<double>(std::max(1u, neu.anchorUses(anchor)));
    return 1.0 / std::sqrt(uses);
}

std::vector<std::string> diffLines(const Image& oldImage, const std::vector<Instruction>& oldCode,
                                   const Image& newImage, const std::vector<Instruction>& newCode) {
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
        for (; i < toI && lines.size() < kLongestDiff; ++i) lines.push_back("- " + format(oldImage, oldCode[i]));
        for (; j < toJ && lines.size() < kLongestDiff; ++j) lines.push_back("+ " + format(newImage, newCode[j]));
        if (p < pairs.size()) ++alike, i = toI + 1, j = toJ + 1;
    }
    flush();
    return lines;
}

std::vector<std::string> changedDisplacements(const Image& oldImage, const std::vector<Instruction>& oldCode,
                                              const Image& newImage, const std::vector<Instruction>& newCode) {
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
        changed.push_back("+" + hex(newCode[j].rva - newCode[0].rva) + ": " + format(oldImage, oldCode[i]) + " -> " +
                          format(newImage, newCode[j]));
    }
    return changed;
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
        case Verdict::wrongFunction: return "wrong-function";
        case Verdict::notFound: return "not-found";
        case Verdict::oldNotUnique: return "old-not-unique";
    }
    return "?";
}

Matches findMatches(const Image& old, const Image& neu, const char* mask, const std::uint8_t* pattern) {
    return {old.matchesInCode(mask, pattern, 3), neu.matchesInCode(mask, pattern, kMostNewMatches)};
}

Carried carry(const Program& old, const Program& neu, const Correspondence& pairs, const Matches& matches,
              const char* mask, const std::uint8_t* pattern, Deadline& deadline) {
    Carried result;
    result.oldMatches = matches.old.size();
    result.newMatches = matches.neu;
    if (matches.old.size() != 1) {
        result.verdict = Verdict::oldNotUnique;
        result.evidence = "the old signature matches " + std::to_string(matches.old.size()) +
                          (matches.old.size() > 2    ? " or more places"
                           : matches.old.size() == 1 ? " place"
                                                     : " places") +
                          " in the old build's code";
        return result;
    }
    result.oldRva = matches.old[0];

    Old f;
    f.function = old.indexOf(result.oldRva);
    if (f.function < 0) {  // the program was given this start: only a time limit leaves it out
        result.evidence = "the old function could not be read";
        return result;
    }
    const Function& oldFunction = old.functions()[static_cast<std::size_t>(f.function)];
    f.code = old.instructionsOf(f.function);
    f.exact = exactForms(f.code);
    f.shape = shapeForms(f.code);
    f.anchors.assign(old.anchors(f.function).begin(), old.anchors(f.function).end());
    for (const std::uint32_t callee : old.callees(f.function))
        if (const int n = pairs.newOf(static_cast<int>(callee)); n >= 0) f.callees.insert(n);
    for (const std::uint32_t caller : old.callers(f.function))
        if (const int n = pairs.newOf(static_cast<int>(caller)); n >= 0) f.callers.insert(n);

    // Where it lies: the linker keeps the order of a module's functions, so
    // the function stands between the new places of the paired functions
    // that stood before and after it.
    const Range between = placeBetween(old, f.function, neu, pairs);
    const double placeWeight = between.end > between.begin ? kPlaceWeight : 0.0;

    // Who might be the function now.
    std::vector<int> pool;
    const auto add = [&](const std::vector<int>& found) {
        for (std::size_t k = 0; k < found.size() && k < kFromEachSource; ++k) pool.push_back(found[k]);
    };
    for (const std::uint32_t rva : matches.neu) add({neu.indexOf(rva)});
    add({pairs.newOf(f.function)});
    add(neu.withBytes(oldFunction.bytes));
    add(neu.withExact(oldFunction.exact));
    add(neu.withShape(oldFunction.shape));
    for (const std::uint64_t anchor : f.anchors)
        if (neu.anchorUses(anchor) <= kRareUses) add(neu.usersOf(anchor));
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
    if (placeWeight > 0) {
        std::vector<int> placed;
        for (int n = neu.indexOf(between.begin) + 1; n > 0 && static_cast<std::size_t>(n) < neu.functions().size() &&
                                                     neu.functions()[static_cast<std::size_t>(n)].start < between.end;
             ++n)
            placed.push_back(n);
        add(placed);
    }
    // The strongest sources first: a long list of neighbours' neighbours is what the cap cuts.
    std::vector<int> distinct;
    std::unordered_set<int> seen;
    for (const int c : pool)
        if (c >= 0 && distinct.size() < kMostCandidates && seen.insert(c).second) distinct.push_back(c);
    pool = distinct;

    // What each is measured on: the old function's code always; its rare
    // things and its paired neighbours where it has any.
    // A common constant, or a single paired neighbour, counts for less than
    // a string only this function uses or a handful of paired neighbours.
    double anchorTotal = 0;
    for (const std::uint64_t anchor : f.anchors) anchorTotal += weight(old, neu, anchor);
    const double anchorWeight = std::min(2.0, anchorTotal);
    const double graphWeight = std::min(3.0, static_cast<double>(f.callees.size() + f.callers.size()) / 2.0);
    const bool uniqueMatch = matches.neu.size() == 1;
    std::vector<Candidate> candidates;
    for (const int c : pool) {
        if (deadline.expired()) break;
        // A jump through an import slot is that import, not a function of the game's.
        if ((neu.functions()[static_cast<std::size_t>(c)].importThunk >= 0) != (oldFunction.importThunk >= 0)) continue;
        Candidate candidate;
        candidate.function = c;
        candidate.rva = neu.functions()[static_cast<std::size_t>(c)].start;
        candidate.signatureMatch =
            std::find(matches.neu.begin(), matches.neu.end(), candidate.rva) != matches.neu.end();
        if (anchorWeight > 0) {
            const auto theirs = neu.anchors(c);
            double shared = 0;
            double union_ = anchorTotal;
            for (const std::uint64_t anchor : theirs) {
                const double w = weight(old, neu, anchor);
                if (std::binary_search(f.anchors.begin(), f.anchors.end(), anchor))
                    shared += w;
                else
                    union_ += w;
            }
            candidate.anchors = union_ > 0 ? shared / union_ : 0;
        }
        if (graphWeight > 0) {
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
        candidate.placed = placeWeight > 0 && candidate.rva > between.begin && candidate.rva < between.end;
        candidates.push_back(candidate);
    }
    // Code compared in full for the likeliest only, chosen on the cheap measure.
    std::vector<std::vector<Instruction>> code(candidates.size());
    for (std::size_t k = 0; k < candidates.size() && !deadline.expired(); ++k) {
        code[k] = neu.instructionsOf(candidates[k].function);
        candidates[k].code = bagSimilarity(f.shape, shapeForms(code[k]));
    }
    const auto total = [&](const Candidate& c) {
        return (c.code + c.anchors * anchorWeight + c.graph * graphWeight + (c.placed ? placeWeight : 0.0)) /
                   (1.0 + anchorWeight + graphWeight + placeWeight) +
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
        const int paired = pairs.oldOf(c.function);
        if (paired >= 0 && paired != f.function) c.score *= 0.5;
        // Called with the old function's arguments, it would read one it is not given.
        const Function& theirs = neu.functions()[static_cast<std::size_t>(c.function)];
        c.moreArguments = oldFunction.argumentsKnown && theirs.argumentsKnown &&
                          arity(theirs.arguments) > arity(oldFunction.arguments);
        if (c.moreArguments) c.score *= 0.5;
    }
    std::vector<std::size_t> ranked = order;
    std::sort(ranked.begin(), ranked.end(), [&](std::size_t a, std::size_t b) {
        return candidates[a].score > candidates[b].score ||
               (candidates[a].score == candidates[b].score && candidates[a].rva < candidates[b].rva);
    });

    // The evidence, in words, of the candidates the report shows.
    for (std::size_t r = 0; r < ranked.size() && r < kShownCandidates; ++r) {
        Candidate& c = candidates[ranked[r]];
        const Function& theirs = neu.functions()[static_cast<std::size_t>(c.function)];
        auto& e = c.evidence;
        if (c.signatureMatch)
            e.push_back(uniqueMatch ? "the old signature matches here alone"
                                    : "the old signature matches here and at " +
                                          std::to_string(matches.neu.size() - 1) + " more places");
        const auto unique = [](const std::vector<int>& all) {
            return all.size() == 1 ? ", unique in the new build" : "";
        };
        if (theirs.bytes == oldFunction.bytes)
            e.push_back(std::string("the same bytes but for addresses") + unique(neu.withBytes(theirs.bytes)));
        else if (theirs.exact == oldFunction.exact)
            e.push_back(std::string("the same instructions, displacements and addresses aside") +
                        unique(neu.withExact(theirs.exact)));
        else if (theirs.shape == oldFunction.shape)
            e.push_back(std::string("the same instructions, registers, displacements and addresses aside") +
                        unique(neu.withShape(theirs.shape)));
        else
            e.push_back("code " + percent(c.code) + " alike");
        if (anchorWeight > 0) {
            std::vector<std::string> named;
            std::size_t count = 0;
            for (const std::uint64_t anchor : neu.anchors(c.function)) {
                if (!std::binary_search(f.anchors.begin(), f.anchors.end(), anchor)) continue;
                if (named.size() < 2 && neu.anchorUses(anchor) <= kRareUses)
                    named.push_back(neu.describeAnchor(anchor));
                ++count;
            }
            std::string text = "uses " + std::to_string(count) + " of the old function's " +
                               std::to_string(f.anchors.size()) + " strings, constants and imports";
            for (std::size_t n = 0; n < named.size(); ++n) text += (n == 0 ? " (" : ", ") + named[n];
            e.push_back(text + (named.empty() ? "" : ")"));
        }
        if (graphWeight > 0)
            e.push_back("called by " + std::to_string(c.sharedCallers) + " of its " + std::to_string(f.callers.size()) +
                        " paired callers, calls " + std::to_string(c.shared - c.sharedCallers) + " of its " +
                        std::to_string(f.callees.size()) + " paired callees");
        if (c.placed) e.push_back("lies where the functions around it in the old build put it");
        if (c.moreArguments)
            e.push_back("reads " + std::to_string(arity(theirs.arguments)) + " arguments, the old function " +
                        std::to_string(arity(oldFunction.arguments)));
        if (pairs.newOf(f.function) == c.function) e.push_back("paired with it build-wide");
        const int paired = pairs.oldOf(c.function);
        if (paired >= 0 && paired != f.function)
            e.push_back("paired build-wide with the old function at RVA " +
                        hex(old.functions()[static_cast<std::size_t>(paired)].start));
    }
    for (const std::size_t k : ranked) result.candidates.push_back(candidates[k]);

    const Candidate* best = result.candidates.empty() ? nullptr : &result.candidates[0];
    const double second = result.candidates.size() > 1 ? result.candidates[1].score : 0.0;
    // A signature that runs past the end of the old function found it by the code after it.
    const bool signatureInside = std::strlen(mask) <= oldFunction.end - oldFunction.start;
    // Short code with nothing else to go by: only the old signature still
    // matching it alone, or code unique in the new build, says which it is.
    const bool weak = best != nullptr && oldFunction.instructions < kFewestInstructionsAlone &&
                      anchorWeight + graphWeight == 0 && !(best->signatureMatch && uniqueMatch && signatureInside) &&
                      !best->placed && neu.withBytes(oldFunction.bytes).size() != 1;
    // Code alike, or called by and calling the same functions, many of them.
    const bool alike = best != nullptr && (best->code >= kLooksAlike ||
                                           (best->graph >= kSameNeighbours && best->shared >= kFewestNeighbours));
    // Inlining that changed: a function new in this build, beside the best one,
    // calls it where the old function had no such caller. The old function
    // may be that caller now, and the best one what it calls.
    const int wrapper = best == nullptr ? -1 : newWrapper(old, f.function, neu, best->function, pairs);
    // Who calls a function says which it is: none of the old one's paired
    // callers calls the best candidate, while one of them calls another.
    bool callersDisagree = false;
    if (best != nullptr && best->sharedCallers == 0 && !f.callers.empty())
        for (const Candidate& c : result.candidates) callersDisagree = callersDisagree || c.sharedCallers > 0;
    const bool confident = best != nullptr && best->score >= kAnswer && best->score - second >= kMargin && alike &&
                           !weak && wrapper < 0 && !callersDisagree;
    const Candidate* atMatch = nullptr;
    for (const Candidate& c : result.candidates)
        if (uniqueMatch && c.rva == matches.neu[0]) atMatch = &c;
    if (uniqueMatch && confident && best->rva == matches.neu[0]) {
        result.verdict = Verdict::kept;
    } else if (uniqueMatch && (confident || atMatch == nullptr || atMatch->score < kAnother)) {
        result.verdict = Verdict::wrongFunction;
    } else {
        result.verdict = confident ? Verdict::replaced : Verdict::notFound;
    }
    result.answered = confident;
    if (!confident) {
        if (result.candidates.size() > kShownCandidates) result.candidates.resize(kShownCandidates);
        for (std::size_t r = 0; r < result.candidates.size(); ++r)
            result.candidates[r].diff = diffLines(old.image(), f.code, neu.image(), code[ranked[r]]);
        result.evidence =
            best == nullptr ? "no function of the new build is like it"
            : callersDisagree && best->score >= kAnswer
                ? "none of the old function's paired callers calls the best candidate; one calls another"
            : wrapper >= 0 && best->score >= kAnswer
                ? "RVA " + hex(neu.functions()[static_cast<std::size_t>(wrapper)].start) +
                      ", new beside the best candidate, calls it: the old function may now be split in two"
            : best->score < kAnswer || best->code < kLooksAlike
                ? "no candidate is alike enough (best " + percent(best->score) + ")"
            : weak ? "too short to tell by its code alone"
                   : "no clear lead: " + percent(best->score) + " against " + percent(second);
        if (result.verdict == Verdict::wrongFunction)
            result.evidence =
                "the old signature's only match is another function (" +
                (atMatch == nullptr ? std::string("not like the old one") : "scores " + percent(atMatch->score)) +
                "); " + result.evidence;
        return result;
    }
    for (std::size_t n = 0; n < best->evidence.size(); ++n) result.evidence += (n ? "; " : "") + best->evidence[n];
    if (result.verdict == Verdict::wrongFunction)
        result.evidence = "the old signature's only match, RVA " + hex(matches.neu[0]) +
                          ", is another function; the function is at RVA " + hex(best->rva) + ": " + result.evidence;
    result.evidence += "; lead " + percent(best->score - second);
    result.changedDisplacements = changedDisplacements(old.image(), f.code, neu.image(), code[ranked[0]]);
    if (result.verdict == Verdict::kept) {
        result.proposal.found = true;
        result.proposal.mask = mask;
        result.proposal.pattern.assign(pattern, pattern + result.proposal.mask.size());
        result.proposal.survives = true;
        const Image& image = neu.image();
        result.proposal.margin = image.nearMissMargin(mask, pattern);
    } else {
        result.proposal = propose(old, result.oldRva, neu, best->rva, deadline);
    }
    if (!result.proposal.found)
        result.evidence += "; no signature of whole instructions, up to " + std::to_string(kLongestSignature) +
                           " bytes, matches there alone";
    result.candidates.resize(std::min(result.candidates.size(), kShownCandidates));
    return result;
}

void settleConflicts(std::vector<Carried>& carried, const std::vector<std::string>& names) {
    std::vector<bool> conflicted(carried.size(), false);
    std::vector<std::string> with(carried.size());
    for (std::size_t a = 0; a < carried.size(); ++a)
        for (std::size_t b = a + 1; b < carried.size(); ++b)
            if (carried[a].answered && carried[b].answered && carried[a].oldRva != carried[b].oldRva &&
                carried[a].candidates[0].rva == carried[b].candidates[0].rva) {
                conflicted[a] = conflicted[b] = true;
                with[a] = names[b];
                with[b] = names[a];
            }
    for (std::size_t k = 0; k < carried.size(); ++k) {
        if (!conflicted[k]) continue;
        Carried& c = carried[k];
        c.answered = false;
        if (c.verdict != Verdict::wrongFunction) c.verdict = Verdict::notFound;
        c.evidence = "RVA " + hex(c.candidates[0].rva) + " is the answer for " + with[k] +
                     " too, another old function: neither stands";
        c.proposal = Proposal{};
        c.changedDisplacements.clear();
    }
}

}  // namespace sigcheck
