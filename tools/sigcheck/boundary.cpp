// The library's exports (sigcheck_api.h): each a thin call into the
// analysis, and the carry's findings copied into the structures the Python
// side reads, which stay valid until it frees them.
#include <cmath>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "carry.h"
#include "memory/exception_directory.h"
#include "memory/function_set.h"
#include "memory/signature.h"
#include "module_view.h"
#include "propose.h"
#include "sigcheck_api.h"

struct SigcheckModuleView {
    explicit SigcheckModuleView(const SigcheckModule& module)
        : view(module), directory(view.bytes(), view.bytes() + view.size(), view.regions()) {}
    sigcheck::ModuleView view;
    // The plug-in's reading of the module's exception directory, read and
    // checked once for every address the check judges.
    memory::ExceptionDirectory directory;
};

namespace {

using sigcheck::Verdict;

static_assert(SIGCHECK_MOST_IN_SET == memory::kMostSignaturesInSet);
static_assert(SIGCHECK_KIND_ENTRY == static_cast<int>(memory::SignatureKind::entry) &&
              SIGCHECK_KIND_CALL == static_cast<int>(memory::SignatureKind::call) &&
              SIGCHECK_KIND_INSIDE == static_cast<int>(memory::SignatureKind::inside));

sigcheck::SetToCarry setOf(const SigcheckFunctionSet& given) {
    sigcheck::SetToCarry set{given.name != nullptr ? given.name : "", {}};
    for (std::uint64_t k = 0; k < given.count; ++k) {
        const SigcheckSetSignature& s = given.signatures[k];
        const std::size_t length = std::strlen(s.mask);
        set.signatures.push_back({static_cast<memory::SignatureKind>(s.kind <= SIGCHECK_KIND_INSIDE ? s.kind : 0),
                                  s.callAt, s.mask, std::vector<std::uint8_t>(s.pattern, s.pattern + length)});
    }
    return set;
}

// Everything one carry's structures point into, kept together until freed.
struct CarryAnswer : SigcheckCarryRun {
    sigcheck::CarryRun run;
    std::vector<std::string> signatureTexts;
    std::vector<std::vector<std::string>> setTexts;
    std::vector<std::vector<SigcheckProposed>> sets;
    std::vector<SigcheckCarried> carriedStore;
    std::vector<std::vector<SigcheckCandidate>> candidates;
    std::vector<std::vector<const char*>> lines;

    const char* const* linesOf(const std::vector<std::string>& texts) {
        std::vector<const char*>& list = lines.emplace_back();
        for (const std::string& text : texts) list.push_back(text.c_str());
        return list.data();
    }
};

void fill(CarryAnswer& answer) {
    const std::size_t count = answer.run.carried.size();
    // Sized once: the structures point into these vectors' elements.
    answer.signatureTexts.resize(count);
    answer.setTexts.resize(count);
    answer.sets.resize(count);
    answer.carriedStore.resize(count);
    answer.candidates.resize(count);
    std::size_t lists = 0;
    for (const sigcheck::Carried& c : answer.run.carried) lists += 1 + 2 * c.candidates.size();
    answer.lines.reserve(lists);
    for (std::size_t k = 0; k < count; ++k) {
        const sigcheck::Carried& c = answer.run.carried[k];
        SigcheckCarried& out = answer.carriedStore[k];
        out.verdict = static_cast<std::uint32_t>(c.verdict);
        out.oldFoundCount = static_cast<std::uint32_t>(c.oldFoundCount);
        out.oldRva = c.oldFoundCount == 1 ? static_cast<std::int64_t>(c.oldRva) : -1;
        out.newRva = c.answered ? static_cast<std::int64_t>(c.candidates[0].rva) : -1;
        out.newFound = c.newFound.data();
        out.newFoundCount = c.newFound.size();
        const bool proposed = c.answered && c.proposal.found;
        if (proposed) answer.signatureTexts[k] = sigcheck::signatureText(c.proposal.mask, c.proposal.pattern);
        out.entrySignature = proposed ? answer.signatureTexts[k].c_str() : nullptr;
        out.survives = proposed && c.proposal.survives;
        out.margin = proposed ? c.proposal.margin : 0;
        out.evidence = c.evidence.c_str();
        out.changedDisplacements = answer.linesOf(c.changedDisplacements);
        out.changedDisplacementCount = c.changedDisplacements.size();
        for (const sigcheck::Candidate& candidate : c.candidates) {
            SigcheckCandidate shown{};
            shown.rva = candidate.rva;
            shown.score = std::isfinite(candidate.score) ? candidate.score : 0.0;
            shown.evidence = answer.linesOf(candidate.evidence);
            shown.evidenceCount = candidate.evidence.size();
            shown.diff = answer.linesOf(candidate.diff);
            shown.diffCount = candidate.diff.size();
            answer.candidates[k].push_back(shown);
        }
        out.candidates = answer.candidates[k].data();
        out.candidateCount = answer.candidates[k].size();
        for (const sigcheck::ProposedSignature& s : c.set)
            answer.setTexts[k].push_back(sigcheck::signatureText(s.mask, s.pattern));
        for (std::size_t n = 0; n < c.set.size(); ++n)
            answer.sets[k].push_back(
                {static_cast<std::uint32_t>(c.set[n].kind), c.set[n].callAt, answer.setTexts[k][n].c_str()});
        out.set = answer.sets[k].data();
        out.setCount = answer.sets[k].size();
        out.olderRva = c.olderRva.data();
        out.olderCount = c.olderRva.size();
        out.sources = static_cast<std::uint32_t>(sigcheck::independentSources(c.set));
    }
    answer.expired = answer.run.expired;
    answer.oldFunctions = answer.run.oldFunctions;
    answer.newFunctions = answer.run.newFunctions;
    answer.paired = answer.run.paired;
    answer.carried = answer.carriedStore.data();
    answer.carriedCount = count;
}

}  // namespace

extern "C" {

SigcheckModuleView* sigcheckOpen(const SigcheckModule* module) { return new SigcheckModuleView(*module); }
void sigcheckClose(SigcheckModuleView* view) { delete view; }

std::int64_t sigcheckFindInCode(const SigcheckModuleView* view, const char* mask, const std::uint8_t* pattern,
                                std::uint64_t from) {
    return from >= view->view.size() ? -1 : view->view.findInCode(mask, pattern, static_cast<std::uint32_t>(from));
}

std::int64_t sigcheckFindAnywhere(const SigcheckModuleView* view, const char* mask, const std::uint8_t* pattern,
                                  std::uint64_t from) {
    const sigcheck::ModuleView& v = view->view;
    if (from >= v.size()) return -1;
    const std::uint8_t* found =
        memory::findInRange(v.bytes() + from, v.bytes() + v.size(), mask, pattern, memory::bestVectorPath());
    return found == nullptr ? -1 : found - v.bytes();
}

std::uint64_t sigcheckNearMisses(const SigcheckModuleView* view, const char* mask, const std::uint8_t* pattern,
                                 std::uint32_t mismatches, std::uint64_t* found, std::uint64_t limit) {
    const auto places = view->view.nearMisses(mask, pattern, mismatches, limit);
    for (std::size_t k = 0; k < places.size(); ++k) found[k] = places[k];
    return places.size();
}

std::uint64_t sigcheckHandMadeSignature(const SigcheckModuleView* view, std::uint64_t rva, char* mask,
                                        std::uint8_t* pattern, std::uint64_t capacity) {
    if (rva >= view->view.size()) return 0;
    const sigcheck::Proposal made = sigcheck::handMadeSignature(view->view, static_cast<std::uint32_t>(rva));
    if (!made.found || made.mask.size() >= capacity) return 0;
    std::memcpy(mask, made.mask.c_str(), made.mask.size() + 1);
    std::memcpy(pattern, made.pattern.data(), made.pattern.size());
    return made.mask.size();
}

const SigcheckCarryRun* sigcheckCarry(const SigcheckModuleView* old, const SigcheckModuleView* neu,
                                      const SigcheckModuleView* const* older, std::uint64_t olderCount,
                                      const SigcheckFunctionSet* sets, std::uint64_t count, double seconds) {
    std::vector<sigcheck::SetToCarry> toCarry;
    for (std::uint64_t k = 0; k < count; ++k) toCarry.push_back(setOf(sets[k]));
    std::vector<const sigcheck::ModuleView*> olderViews;
    for (std::uint64_t k = 0; k < olderCount; ++k) olderViews.push_back(&older[k]->view);
    auto* answer = new CarryAnswer{};
    answer->run = sigcheck::carryAll(old->view, neu->view, olderViews, toCarry, seconds);
    fill(*answer);
    return answer;
}

void sigcheckFreeCarry(const SigcheckCarryRun* run) { delete static_cast<const CarryAnswer*>(run); }

std::uint32_t sigcheckResolveSet(const SigcheckModuleView* view, const SigcheckFunctionSet* set,
                                 SigcheckSetFinding* out) {
    if (set->count > memory::kMostSignaturesInSet) return 0;
    const memory::SignatureSet plugin = sigcheck::toSignatureSet(setOf(*set).signatures);
    const sigcheck::ModuleView& v = view->view;
    const memory::SetFinding finding = memory::resolveSet(plugin, sigcheck::accessOf(v), memory::bestVectorPath());
    const auto rva = [&](const std::uint8_t* address) -> std::int64_t {
        return address == nullptr ? -1 : address - v.bytes();
    };
    *out = SigcheckSetFinding{};
    for (std::size_t k = 0; k < plugin.count; ++k) {
        const memory::Given& given = finding.gives[k];
        out->matchCount[k] = finding.matches[k].count;
        out->first[k] = rva(finding.matches[k].first);
        out->gives[k] = rva(given.address);
        out->how[k] = given.how == memory::GivenHow::directory
                          ? SIGCHECK_GIVEN_NO_DIRECTORY + static_cast<std::uint32_t>(given.directory) - 1
                          : static_cast<std::uint32_t>(given.how);
        out->within[k] = rva(given.within);
    }
    out->address = rva(finding.address);
    out->votes = static_cast<std::uint32_t>(finding.votes);
    out->tie = finding.tie;
    return 1;
}
static_assert(SIGCHECK_GIVEN_OUTSIDE_CODE == static_cast<int>(memory::GivenHow::outsideCode));
static_assert(SIGCHECK_GIVEN_ROOT_NOT_CODE ==
              SIGCHECK_GIVEN_NO_DIRECTORY + static_cast<int>(memory::DirectorySays::notCode) - 1);

std::uint32_t sigcheckCanBeginFunction(const SigcheckModuleView* view, std::uint64_t rva, std::int64_t* within) {
    const sigcheck::ModuleView& v = view->view;
    *within = -1;
    if (rva >= v.size()) return 1;
    const std::uint8_t* function = nullptr;
    if (view->directory.canBeginFunction(v.bytes() + rva, &function)) return 1;
    if (function != nullptr) *within = function - v.bytes();
    return 0;
}

const char* sigcheckVerdictName(std::uint32_t verdict) {
    return verdict < static_cast<std::uint32_t>(Verdict::count) ? sigcheck::verdictName(static_cast<Verdict>(verdict))
                                                                : nullptr;
}

#define NOZZLES_FIELD(structure, field) \
    { #structure, #field, offsetof(structure, field), sizeof(static_cast <structure*>(nullptr)->field) }
#define NOZZLES_SIZE(structure) \
    { #structure, nullptr, 0, sizeof(structure) }

const SigcheckField* sigcheckLayout(std::uint64_t* count) {
    static const SigcheckField fields[] = {
        NOZZLES_SIZE(SigcheckModule),
        NOZZLES_FIELD(SigcheckModule, bytes),
        NOZZLES_FIELD(SigcheckModule, size),
        NOZZLES_FIELD(SigcheckModule, bounds),
        NOZZLES_FIELD(SigcheckModule, kinds),
        NOZZLES_FIELD(SigcheckModule, regionCount),
        NOZZLES_FIELD(SigcheckModule, base),
        NOZZLES_FIELD(SigcheckModule, entryPoint),
        NOZZLES_FIELD(SigcheckModule, pdataRva),
        NOZZLES_FIELD(SigcheckModule, pdataSize),
        NOZZLES_FIELD(SigcheckModule, relocRva),
        NOZZLES_FIELD(SigcheckModule, relocSize),
        NOZZLES_FIELD(SigcheckModule, importSlots),
        NOZZLES_FIELD(SigcheckModule, importNames),
        NOZZLES_FIELD(SigcheckModule, importCount),
        NOZZLES_SIZE(SigcheckSetSignature),
        NOZZLES_FIELD(SigcheckSetSignature, kind),
        NOZZLES_FIELD(SigcheckSetSignature, callAt),
        NOZZLES_FIELD(SigcheckSetSignature, mask),
        NOZZLES_FIELD(SigcheckSetSignature, pattern),
        NOZZLES_SIZE(SigcheckFunctionSet),
        NOZZLES_FIELD(SigcheckFunctionSet, name),
        NOZZLES_FIELD(SigcheckFunctionSet, signatures),
        NOZZLES_FIELD(SigcheckFunctionSet, count),
        NOZZLES_SIZE(SigcheckSetFinding),
        NOZZLES_FIELD(SigcheckSetFinding, matchCount),
        NOZZLES_FIELD(SigcheckSetFinding, first),
        NOZZLES_FIELD(SigcheckSetFinding, gives),
        NOZZLES_FIELD(SigcheckSetFinding, how),
        NOZZLES_FIELD(SigcheckSetFinding, within),
        NOZZLES_FIELD(SigcheckSetFinding, address),
        NOZZLES_FIELD(SigcheckSetFinding, votes),
        NOZZLES_FIELD(SigcheckSetFinding, tie),
        NOZZLES_SIZE(SigcheckProposed),
        NOZZLES_FIELD(SigcheckProposed, kind),
        NOZZLES_FIELD(SigcheckProposed, callAt),
        NOZZLES_FIELD(SigcheckProposed, signature),
        NOZZLES_SIZE(SigcheckCandidate),
        NOZZLES_FIELD(SigcheckCandidate, rva),
        NOZZLES_FIELD(SigcheckCandidate, score),
        NOZZLES_FIELD(SigcheckCandidate, evidence),
        NOZZLES_FIELD(SigcheckCandidate, evidenceCount),
        NOZZLES_FIELD(SigcheckCandidate, diff),
        NOZZLES_FIELD(SigcheckCandidate, diffCount),
        NOZZLES_SIZE(SigcheckCarried),
        NOZZLES_FIELD(SigcheckCarried, verdict),
        NOZZLES_FIELD(SigcheckCarried, oldFoundCount),
        NOZZLES_FIELD(SigcheckCarried, oldRva),
        NOZZLES_FIELD(SigcheckCarried, newRva),
        NOZZLES_FIELD(SigcheckCarried, newFound),
        NOZZLES_FIELD(SigcheckCarried, newFoundCount),
        NOZZLES_FIELD(SigcheckCarried, entrySignature),
        NOZZLES_FIELD(SigcheckCarried, survives),
        NOZZLES_FIELD(SigcheckCarried, margin),
        NOZZLES_FIELD(SigcheckCarried, evidence),
        NOZZLES_FIELD(SigcheckCarried, changedDisplacements),
        NOZZLES_FIELD(SigcheckCarried, changedDisplacementCount),
        NOZZLES_FIELD(SigcheckCarried, candidates),
        NOZZLES_FIELD(SigcheckCarried, candidateCount),
        NOZZLES_FIELD(SigcheckCarried, set),
        NOZZLES_FIELD(SigcheckCarried, setCount),
        NOZZLES_FIELD(SigcheckCarried, olderRva),
        NOZZLES_FIELD(SigcheckCarried, olderCount),
        NOZZLES_FIELD(SigcheckCarried, sources),
        NOZZLES_SIZE(SigcheckCarryRun),
        NOZZLES_FIELD(SigcheckCarryRun, expired),
        NOZZLES_FIELD(SigcheckCarryRun, oldFunctions),
        NOZZLES_FIELD(SigcheckCarryRun, newFunctions),
        NOZZLES_FIELD(SigcheckCarryRun, paired),
        NOZZLES_FIELD(SigcheckCarryRun, carried),
        NOZZLES_FIELD(SigcheckCarryRun, carriedCount),
        NOZZLES_SIZE(SigcheckField),
        NOZZLES_FIELD(SigcheckField, structure),
        NOZZLES_FIELD(SigcheckField, field),
        NOZZLES_FIELD(SigcheckField, offset),
        NOZZLES_FIELD(SigcheckField, size),
    };
    *count = std::size(fields);
    return fields;
}
}
