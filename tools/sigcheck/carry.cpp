#include "carry.h"

#include <cstring>
#include <memory>
#include <thread>

#include "evidence.h"

namespace sigcheck {

namespace {

// Matches of the old signature in the new build looked at, at most.
constexpr std::size_t kMostNewMatches = 16;

}  // namespace

Matches findMatches(const ModuleView& old, const ModuleView& neu, const char* mask, const std::uint8_t* pattern) {
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
    const int function = old.indexOf(result.oldRva);
    if (function < 0) {  // the program was given this start: only a time limit leaves it out
        result.evidence = "the old function could not be read";
        return result;
    }
    const OldFunction f = describeOld(old, function, pairs);
    Ranking ranking = rankCandidates(old, f, neu, pairs, matches, deadline);
    describeCandidates(old, f, neu, pairs, matches, ranking);
    const Decision decision = decide(old, f, neu, pairs, ranking, matches, std::strlen(mask));
    result.verdict = decision.verdict;
    result.answered = decision.answered;
    result.candidates = ranking.candidates;
    const std::size_t shown = std::min(result.candidates.size(), kShownCandidates);

    if (!decision.answered) {
        result.candidates.resize(shown);
        for (std::size_t r = 0; r < shown; ++r)
            result.candidates[r].diff = diffLines(old.view(), f.code, neu.view(), ranking.code[r]);
        result.evidence = whyNoAnswer(decision, ranking, neu);
        if (result.verdict == Verdict::wrongFunction)
            result.evidence = "the old signature's only match is another function (" +
                              (decision.atMatch == nullptr ? std::string("not like the old one")
                                                           : "scores " + percent(decision.atMatch->score)) +
                              "); " + result.evidence;
        return result;
    }
    const Candidate& best = result.candidates[0];
    const double second = result.candidates.size() > 1 ? result.candidates[1].score : 0.0;
    for (std::size_t n = 0; n < best.evidence.size(); ++n) result.evidence += (n ? "; " : "") + best.evidence[n];
    if (result.verdict == Verdict::wrongFunction)
        result.evidence = "the old signature's only match, RVA " + hex(matches.neu[0]) +
                          ", is another function; the function is at RVA " + hex(best.rva) + ": " + result.evidence;
    result.evidence += "; lead " + percent(best.score - second);
    result.changedDisplacements = changedDisplacements(old.view(), f.code, neu.view(), ranking.code[0]);
    if (result.verdict == Verdict::kept) {
        result.proposal.found = true;
        result.proposal.mask = mask;
        result.proposal.pattern.assign(pattern, pattern + result.proposal.mask.size());
        result.proposal.survives = true;
        result.proposal.margin = neu.view().nearMissMargin(mask, pattern);
    } else {
        result.proposal = propose(old, result.oldRva, neu, best.rva, deadline);
    }
    if (!result.proposal.found) {
        result.evidence += "; no signature of whole instructions, up to " + std::to_string(kLongestSignature) +
                           " bytes, matches there alone";
        // Found, but nothing to ship: `replaced` always comes with a signature.
        if (result.verdict == Verdict::replaced) result.verdict = Verdict::foundNoSignature;
    }
    result.candidates.resize(shown);
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
        if (c.verdict != Verdict::wrongFunction) c.verdict = Verdict::notFound;  // a found-no-signature's too
        c.evidence = "RVA " + hex(c.candidates[0].rva) + " is the answer for " + with[k] +
                     " too, another old function: neither stands";
        c.proposal = Proposal{};
        c.changedDisplacements.clear();
    }
}

CarryRun carryAll(const ModuleView& old, const ModuleView& neu, const std::vector<SignatureToCarry>& signatures,
                  double seconds) {
    Deadline deadline(seconds);
    std::vector<Matches> matches;
    std::vector<std::uint32_t> oldStarts, newStarts;
    for (const SignatureToCarry& s : signatures) {
        matches.push_back(findMatches(old, neu, s.mask.c_str(), s.pattern.data()));
        if (matches.back().old.size() == 1) oldStarts.push_back(matches.back().old[0]);
        newStarts.insert(newStarts.end(), matches.back().neu.begin(), matches.back().neu.end());
    }
    // The two builds are read side by side, one thread each: decoding them is most of the work.
    std::unique_ptr<Program> oldRead;
    Deadline oldDeadline(seconds);
    std::thread reader([&] { oldRead = std::make_unique<Program>(old, oldStarts, oldDeadline); });
    const Program newProgram(neu, newStarts, deadline);
    reader.join();
    CarryRun run;
    if (oldDeadline.expired()) {
        run.expired = true;
        return run;
    }
    const Program& oldProgram = *oldRead;
    const Correspondence pairs(oldProgram, newProgram, deadline);
    std::vector<std::string> names;
    for (std::size_t k = 0; k < signatures.size(); ++k) {
        run.carried.push_back(carry(oldProgram, newProgram, pairs, matches[k], signatures[k].mask.c_str(),
                                    signatures[k].pattern.data(), deadline));
        names.push_back(signatures[k].name);
    }
    settleConflicts(run.carried, names);
    run.expired = deadline.expired();
    run.oldFunctions = oldProgram.functions().size();
    run.newFunctions = newProgram.functions().size();
    run.paired = pairs.pairs();
    return run;
}

}  // namespace sigcheck
