#include "carry.h"

#include <cstring>
#include <memory>
#include <thread>

#include "evidence.h"
#include "memory/function_set.h"

namespace sigcheck {

namespace {

// Matches of the old signatures in the new build looked at, at most.
constexpr std::size_t kMostNewMatches = 16;

}  // namespace

const ProposedSignature* SetToCarry::entry() const {
    for (const ProposedSignature& s : signatures)
        if (s.kind == memory::SignatureKind::entry) return &s;
    return nullptr;
}

namespace {

// Matches past those asked for that are read, so that ruling out matches
// inside known functions still leaves `most` to count.
constexpr std::size_t kMostRuledOut = 16;

// What the signatures find in one build: a single entry signature's matches
// that can begin a function, up to `most`; a set's function, where
// signatures gave it (none for a tie, or when none gives one).
std::vector<std::uint32_t> foundIn(const ModuleView& view, const SetToCarry& set, std::size_t most) {
    const ProposedSignature* entry = set.entry();
    const memory::ModuleAccess access = accessOf(view);
    if (set.signatures.size() == 1 && entry != nullptr) {
        const memory::ExceptionDirectory directory(access.begin, access.end, access.regions);
        std::vector<std::uint32_t> starts;
        for (const std::uint32_t rva :
             view.matchesInCode(entry->mask.c_str(), entry->pattern.data(), most + kMostRuledOut))
            if (starts.size() < most && directory.canBeginFunction(view.bytes() + rva)) starts.push_back(rva);
        return starts;
    }
    const memory::SetFinding finding =
        memory::resolveSet(toSignatureSet(set.signatures), access, memory::bestVectorPath());
    if (finding.address == nullptr) return {};
    return {static_cast<std::uint32_t>(finding.address - view.bytes())};
}

}  // namespace

Found findInBoth(const ModuleView& old, const ModuleView& neu, const SetToCarry& set) {
    return {foundIn(old, set, 3), foundIn(neu, set, kMostNewMatches)};
}

Carried carry(const Program& old, const Program& neu, const Correspondence& pairs, const Found& found,
              const SetToCarry& set, Deadline& deadline) {
    const ProposedSignature* entry = set.entry();
    Carried result;
    result.oldFoundCount = found.old.size();
    result.newFound = found.neu;
    if (found.old.size() != 1) {
        result.verdict = Verdict::oldNotUnique;
        // A set finds the rule's one answer, or none: say which it was.
        const bool single = set.signatures.size() == 1 && entry != nullptr;
        result.evidence = !single
                              ? "the old set gives no address in the old build's code: no signature gives one, "
                                "or two addresses are given as often"
                              : "the old signature matches " + std::to_string(found.old.size()) +
                                    (found.old.size() > 2 ? " or more places" : " places") + " in the old build's code";
        return result;
    }
    result.oldRva = found.old[0];
    const int function = old.indexOf(result.oldRva);
    if (function < 0) {  // the program was given this start: only a time limit leaves it out
        result.evidence = "the old function could not be read";
        return result;
    }
    const OldFunction f = describeOld(old, function, pairs);
    Ranking ranking = rankCandidates(old, f, neu, pairs, found, deadline);
    describeCandidates(old, f, neu, pairs, found, ranking);
    const Decision decision = decide(old, f, neu, pairs, ranking, found, entry ? entry->mask.size() : 0);
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
        result.evidence = "the old signature's only match, RVA " + hex(found.neu[0]) +
                          ", is another function; the function is at RVA " + hex(best.rva) + ": " + result.evidence;
    result.evidence += "; lead " + percent(best.score - second);
    result.changedDisplacements = changedDisplacements(old.view(), f.code, neu.view(), ranking.code[0]);
    if (result.verdict == Verdict::kept && set.signatures.size() == 1) {
        result.proposal.found = true;
        result.proposal.mask = entry->mask;
        result.proposal.pattern = entry->pattern;
        result.proposal.survives = true;
        result.proposal.margin = neu.view().nearMissMargin(entry->mask.c_str(), entry->pattern.data());
    } else {
        result.proposal = propose(old, result.oldRva, neu, best.rva, deadline);
    }
    if (!result.proposal.found) {
        result.evidence += "; no entry signature of whole instructions, up to " + std::to_string(kLongestSignature) +
                           " bytes, matches there alone";
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

namespace {

// Where each set's function is in another build, by a carry from the old one; -1 where not found.
// `inOld`: what the sets find in the old build, found already. The
// run's one deadline: the time limit is the whole run's, older builds included.
std::vector<std::int64_t> locate(const Program& oldProgram, const std::vector<Found>& inOld, const ModuleView& other,
                                 const std::vector<SetToCarry>& sets, Deadline& deadline) {
    std::vector<Found> found;
    std::vector<std::uint32_t> starts;
    for (std::size_t k = 0; k < sets.size(); ++k) {
        found.push_back({inOld[k].old, foundIn(other, sets[k], kMostNewMatches)});
        starts.insert(starts.end(), found.back().neu.begin(), found.back().neu.end());
    }
    const Program program(other, starts, deadline);
    const Correspondence pairs(oldProgram, program, deadline);
    std::vector<Carried> carried;
    std::vector<std::string> names;
    for (std::size_t k = 0; k < sets.size(); ++k) {
        carried.push_back(carry(oldProgram, program, pairs, found[k], sets[k], deadline));
        names.push_back(sets[k].name);
    }
    settleConflicts(carried, names);
    std::vector<std::int64_t> answers;
    for (const Carried& c : carried) answers.push_back(c.answered ? std::int64_t{c.candidates[0].rva} : -1);
    return answers;
}

}  // namespace

CarryRun carryAll(const ModuleView& old, const ModuleView& neu, const std::vector<const ModuleView*>& older,
                  const std::vector<SetToCarry>& sets, double seconds) {
    Deadline deadline(seconds);
    std::vector<Found> found;
    std::vector<std::uint32_t> oldStarts, newStarts;
    for (const SetToCarry& set : sets) {
        found.push_back(findInBoth(old, neu, set));
        if (found.back().old.size() == 1) oldStarts.push_back(found.back().old[0]);
        newStarts.insert(newStarts.end(), found.back().neu.begin(), found.back().neu.end());
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
    for (std::size_t k = 0; k < sets.size(); ++k) {
        run.carried.push_back(carry(oldProgram, newProgram, pairs, found[k], sets[k], deadline));
        names.push_back(sets[k].name);
    }
    settleConflicts(run.carried, names);
    // Each older build: where the carry from the old one puts each function.
    std::vector<std::vector<std::int64_t>> located;
    for (const ModuleView* other : older) located.push_back(locate(oldProgram, found, *other, sets, deadline));
    for (std::size_t k = 0; k < sets.size(); ++k) {
        Carried& c = run.carried[k];
        for (const auto& inOlder : located) c.olderRva.push_back(inOlder[k]);
        if (!c.answered || deadline.expired()) continue;
        // A set that holds in every build given: the old one, and each older one where the function was found.
        std::vector<CheckedBuild> others{{&old, c.oldRva}};
        for (std::size_t b = 0; b < older.size(); ++b)
            if (c.olderRva[b] >= 0) others.push_back({older[b], static_cast<std::uint32_t>(c.olderRva[b])});
        c.set = proposeSet(oldProgram, c.oldRva, pairs, newProgram, c.candidates[0].rva, c.proposal, others, deadline);
        // Found with a set to ship is replaced; found with none, found-no-signature.
        if (c.verdict == Verdict::replaced || c.verdict == Verdict::foundNoSignature)
            c.verdict = c.set.empty() ? Verdict::foundNoSignature : Verdict::replaced;
    }
    run.expired = deadline.expired();
    run.oldFunctions = oldProgram.functions().size();
    run.newFunctions = newProgram.functions().size();
    run.paired = pairs.pairs();
    return run;
}

}  // namespace sigcheck
