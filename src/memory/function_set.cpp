#include "memory/function_set.h"

#include <cstring>

#include "memory/exception_directory.h"

namespace memory {

namespace {

// The target of the call or jump (E8 or E9, rel32) at `at`, where it lies in
// the module's code; null otherwise.
const std::uint8_t* callTarget(const std::uint8_t* at, const ModuleAccess& module) {
    std::int32_t displacement;
    std::memcpy(&displacement, at + 1, 4);
    const auto target =
        reinterpret_cast<std::uintptr_t>(at) + 5 + static_cast<std::uintptr_t>(std::intptr_t{displacement});
    const auto begin = reinterpret_cast<std::uintptr_t>(module.begin);
    const auto end = reinterpret_cast<std::uintptr_t>(module.end);
    if (target < begin || target >= end) return nullptr;
    const std::uint8_t* address = module.begin + (target - begin);
    return module.regions.query(module.regions.context, address).executable ? address : nullptr;
}

}  // namespace

const std::uint8_t* addressGiven(const SetSignature& signature, const std::uint8_t* match, const ModuleAccess& module,
                                 const ExceptionDirectory& directory) {
    switch (signature.kind) {
        case SignatureKind::entry: return match;
        case SignatureKind::call: return callTarget(match + signature.callAt, module);
        case SignatureKind::inside: return directory.functionHolding(match);
    }
    return nullptr;
}

SetFinding resolveSet(const SignatureSet& set, const ModuleAccess& module, VectorPath path) {
    SetFinding finding;
    Signature signatures[kMostSignaturesInSet];
    for (std::size_t k = 0; k < set.count; ++k) signatures[k] = set.items[k];
    findEachInExecutableRegions(module.begin, module.end, signatures, set.count, finding.matches, path, module.regions);
    // The module's headers and directory are read only when an inside signature's match needs them.
    bool insideOnce = false;
    for (std::size_t k = 0; k < set.count; ++k)
        insideOnce = insideOnce || (set.items[k].kind == SignatureKind::inside && finding.matches[k].count == 1);
    const ExceptionDirectory directory(insideOnce ? module.begin : nullptr, module.end, module.regions);
    for (std::size_t k = 0; k < set.count; ++k)
        if (finding.matches[k].count == 1)
            finding.gives[k] = addressGiven(set.items[k], finding.matches[k].first, module, directory);
    // The most votes, and whether another address has as many.
    for (std::size_t k = 0; k < set.count; ++k) {
        if (finding.gives[k] == nullptr) continue;
        std::size_t votes = 0;
        for (std::size_t j = 0; j < set.count; ++j) votes += finding.gives[j] == finding.gives[k];
        if (votes > finding.votes) {
            finding.votes = votes;
            finding.address = finding.gives[k];
            finding.tie = false;
        } else if (votes == finding.votes && finding.gives[k] != finding.address) {
            finding.tie = true;
        }
    }
    if (finding.tie) {
        finding.address = nullptr;
    } else if (finding.votes == 0) {
        const SetSignature* entry = set.entry();
        finding.fallback = entry != nullptr;
        if (entry != nullptr) finding.address = finding.matches[entry - set.begin()].first;
    }
    return finding;
}

void* findFunction(const SignatureSet& set) {
    if (set.count == 1 && set.items[0].kind == SignatureKind::entry)
        return findSignature(set.items[0].mask, set.items[0].pattern);
    const platform::ByteRange range = platform::mainModuleRange();
    if (range.begin == nullptr || range.begin >= range.end) return nullptr;
    const SetFinding finding = resolveSet(set, {range.begin, range.end, processRegions()}, bestVectorPath());
    return const_cast<std::uint8_t*>(finding.address);
}

}  // namespace memory
