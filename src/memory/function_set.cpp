#include "memory/function_set.h"

#include <cstring>

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

// An address a signature would give, judged: one strictly inside a function
// the directory knows is that function's middle, and calling it would crash.
Given judged(const std::uint8_t* address, const ExceptionDirectory& directory) {
    Given given;
    if (directory.canBeginFunction(address, &given.within)) {
        given.address = address;
        given.how = GivenHow::gives;
    } else if (given.within == nullptr) {
        given.how = GivenHow::directory;
        given.directory = directory.state();
    } else {
        given.how = GivenHow::insideFunction;
    }
    return given;
}

}  // namespace

Given addressGiven(const SetSignature& signature, const std::uint8_t* match, const ModuleAccess& module,
                   const ExceptionDirectory& directory) {
    switch (signature.kind) {
        case SignatureKind::entry: return judged(match, directory);
        case SignatureKind::call: {
            const std::uint8_t* target = callTarget(match + signature.callAt, module);
            if (target != nullptr) return judged(target, directory);
            Given given;
            given.how = GivenHow::outsideCode;
            return given;
        }
        case SignatureKind::inside: {
            const Holder holder = directory.holding(match);
            Given given;
            if (holder.says == DirectorySays::function) {
                given.address = holder.function;
                given.how = GivenHow::gives;
            } else {
                given.how = GivenHow::directory;
                given.directory = holder.says;
            }
            return given;
        }
    }
    return {};
}

const std::uint8_t* lowestFunctionStart(const Signature& signature, const ModuleAccess& module, VectorPath path,
                                        const ExceptionDirectory& directory) {
    for (const std::uint8_t* from = module.begin; from < module.end;) {
        const std::uint8_t* match =
            findInExecutableRegions(from, module.end, signature.mask, signature.pattern, path, module.regions);
        if (match == nullptr) break;
        if (judged(match, directory).address != nullptr) return match;
        from = match + 1;  // overlapping starts count, as in the first pass
    }
    return nullptr;
}

SetFinding resolveSet(const SignatureSet& set, const ModuleAccess& module, VectorPath path) {
    SetFinding finding;
    Signature signatures[kMostSignaturesInSet];
    for (std::size_t k = 0; k < set.count; ++k) signatures[k] = set.items[k];
    findEachInExecutableRegions(module.begin, module.end, signatures, set.count, finding.matches, path, module.regions);
    // The module's headers and directory are read only when a match needs judging.
    const ExceptionDirectory directory(module.begin, module.end, module.regions);
    if (set.count == 1 && set.items[0].kind == SignatureKind::entry) {
        if (finding.matches[0].count == 0) return finding;
        // The pass has the lowest match already; the search goes on past it
        // only when it is ruled out and another match follows.
        const std::uint8_t* lowest = finding.matches[0].first;
        finding.gives[0] = judged(lowest, directory);  // why the lowest is ruled out, if it is
        finding.address = finding.gives[0].address;
        if (finding.address == nullptr && finding.matches[0].count == 2)
            finding.address =
                lowestFunctionStart(signatures[0], {lowest + 1, module.end, module.regions}, path, directory);
        if (finding.address != nullptr) {
            finding.gives[0] = Given{finding.address, GivenHow::gives};
            finding.votes = 1;
        }
        return finding;
    }
    for (std::size_t k = 0; k < set.count; ++k) {
        if (finding.matches[k].count == 1)
            finding.gives[k] = addressGiven(set.items[k], finding.matches[k].first, module, directory);
        else if (finding.matches[k].count == 2)
            finding.gives[k].how = GivenHow::severalMatches;
    }
    // The most votes, and whether another address has as many. When no
    // signature gives one, nothing is found: the lowest of an entry
    // signature's several matches is a guess that the rest of the set has
    // just failed to confirm.
    for (std::size_t k = 0; k < set.count; ++k) {
        const std::uint8_t* address = finding.gives[k].address;
        if (address == nullptr) continue;
        std::size_t votes = 0;
        for (std::size_t j = 0; j < set.count; ++j) votes += finding.gives[j].address == address;
        if (votes > finding.votes) {
            finding.votes = votes;
            finding.address = address;
            finding.tie = false;
        } else if (votes == finding.votes && address != finding.address) {
            finding.tie = true;
        }
    }
    if (finding.tie) finding.address = nullptr;
    return finding;
}

void* findFunction(const SignatureSet& set) {
    const platform::ByteRange range = platform::mainModuleRange();
    if (range.begin == nullptr || range.begin >= range.end) return nullptr;
    const ModuleAccess module{range.begin, range.end, processRegions()};
    if (set.count == 1 && set.items[0].kind == SignatureKind::entry) {
        const ExceptionDirectory directory(module.begin, module.end, module.regions);
        return const_cast<std::uint8_t*>(lowestFunctionStart(set.items[0], module, bestVectorPath(), directory));
    }
    return const_cast<std::uint8_t*>(resolveSet(set, module, bestVectorPath()).address);
}

}  // namespace memory
