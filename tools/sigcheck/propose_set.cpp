#include "propose_set.h"

#include <algorithm>
#include <cstring>

#include "memory/exception_directory.h"
#include "memory/function_set.h"
#include "memory/regions.h"

namespace sigcheck {

namespace {

// Instructions looked at on either side of a call, and inside a function.
constexpr std::size_t kAroundCall = 4;
constexpr std::size_t kInsideStarts = 8;
constexpr std::size_t kInsideGrowth = 3;  // windows a start is tried at, each an instruction longer
// A call signature's fixed bytes, its call's opcode among them: a short one
// is what a sibling's call with the same few instructions around it
// matches after an update (12 beat 8 and 16 on the benchmark's triples).
constexpr std::size_t kFewestCallFixedBytes = 12;

// Code of the new build, with which of its bytes a signature leaves open:
// those that move with the layout, and those the old build's code, aligned
// with it, holds other values in (openBytes).
struct Code {
    std::vector<Instruction> instructions;
    std::string open;                 // per byte of the instructions, in order
    std::vector<std::size_t> offset;  // where each instruction's bytes start in `open`
};

Code codeOf(const ModuleView& view, std::vector<Instruction> instructions, const std::vector<Instruction>& old) {
    Code code{std::move(instructions), {}, {}};
    code.open = openBytes(view, code.instructions, old);
    std::size_t at = 0;
    for (const Instruction& instruction : code.instructions) {
        code.offset.push_back(at);
        at += instruction.length;
    }
    return code;
}

// The signature of instructions [first, last): whole instructions, the bytes
// `code` leaves open open; empty when it breaks the header's rules (an open
// byte at either end, too long, too few fixed bytes).
ProposedSignature window(const ModuleView& view, const Code& code, std::size_t first, std::size_t last,
                         memory::SignatureKind kind, std::size_t call = SIZE_MAX) {
    ProposedSignature s;
    s.kind = kind;
    const std::uint32_t start = code.instructions[first].rva;
    std::size_t fixed = 0;
    for (std::size_t i = first; i < last; ++i) {
        const Instruction& instruction = code.instructions[i];
        if (instruction.rva != start + s.mask.size()) return {};  // a hole between them
        if (i == call) s.callAt = static_cast<std::uint32_t>(s.mask.size());
        for (std::uint32_t k = 0; k < instruction.length; ++k) {
            const bool open = code.open[code.offset[i] + k] == '?';
            s.mask += open ? '?' : 'x';
            s.pattern.push_back(open ? 0 : view.bytes()[instruction.rva + k]);
            fixed += !open;
        }
    }
    const std::size_t fewest = kind == memory::SignatureKind::call ? kFewestCallFixedBytes : kFewestFixedBytes;
    if (s.mask.empty() || s.mask.size() > kLongestSignature || fixed < fewest || s.mask.front() == '?' ||
        s.mask.back() == '?')
        return {};
    if (kind == memory::SignatureKind::call && s.mask[s.callAt] != 'x') return {};
    return s;
}

// A direct call or jump, E8 or E9 with a 32-bit displacement and no prefix, to `target`.
bool callsTo(const ModuleView& view, const Instruction& instruction, std::uint32_t target) {
    if (instruction.length != 5 || !instruction.hasTarget || instruction.target != target) return false;
    const std::uint8_t opcode = view.bytes()[instruction.rva];
    return (opcode == 0xE8 && instruction.flow == Flow::call) || (opcode == 0xE9 && instruction.flow == Flow::jump);
}

// Whether each candidate finds the function alone by the rule, at its own
// place in the new build, and in every other build.
std::vector<bool> holdEverywhere(const Program& neu, std::uint32_t start, const std::vector<ProposedSignature>& all,
                                 const std::vector<std::uint32_t>& at, const std::vector<CheckedBuild>& others) {
    std::vector<bool> holds(all.size(), false);
    const std::vector<Given> here = functionsGiven(neu.view(), all);
    std::vector<ProposedSignature> survivors;
    std::vector<std::size_t> index;
    for (std::size_t k = 0; k < all.size(); ++k) {
        if (here[k].functionRva != start || here[k].first != at[k]) continue;
        survivors.push_back(all[k]);
        index.push_back(k);
    }
    std::vector<bool> good(survivors.size(), true);
    for (const CheckedBuild& build : others) {
        const std::vector<Given> there = functionsGiven(*build.view, survivors);
        for (std::size_t k = 0; k < survivors.size(); ++k)
            good[k] = good[k] && there[k].functionRva == build.functionRva;
    }
    for (std::size_t k = 0; k < survivors.size(); ++k) holds[index[k]] = good[k];
    return holds;
}

}  // namespace

std::size_t independentSources(const std::vector<ProposedSignature>& set) {
    std::vector<int> sources;
    for (const ProposedSignature& s : set)
        if (std::find(sources.begin(), sources.end(), s.source) == sources.end()) sources.push_back(s.source);
    return sources.size();
}

memory::ModuleAccess accessOf(const ModuleView& view) {
    return {view.bytes(), view.bytes() + view.size(), view.regions()};
}

memory::SignatureSet toSignatureSet(const std::vector<ProposedSignature>& signatures) {
    memory::SignatureSet set;
    for (const ProposedSignature& s : signatures)
        if (set.count < memory::kMostSignaturesInSet) set.items[set.count++] = toSetSignature(s);
    return set;
}

memory::SetSignature toSetSignature(const ProposedSignature& signature) {
    memory::SetSignature s;
    s.kind = signature.kind;
    s.callAt = static_cast<std::uint8_t>(signature.callAt);
    const std::size_t length = std::min(signature.mask.size(), memory::kLongestSignature);
    std::memcpy(s.mask, signature.mask.data(), length);
    std::memcpy(s.pattern, signature.pattern.data(), length);
    return s;
}

std::vector<Given> functionsGiven(const ModuleView& view, const std::vector<ProposedSignature>& signatures) {
    std::vector<memory::SetSignature> converted;
    std::vector<memory::Signature> plain;
    converted.reserve(signatures.size());
    for (const ProposedSignature& s : signatures) converted.push_back(toSetSignature(s));
    for (const memory::SetSignature& s : converted) plain.push_back(s);
    std::vector<memory::EachMatch> found(plain.size());
    const memory::ModuleAccess access = accessOf(view);
    memory::findEachInExecutableRegions(access.begin, access.end, plain.data(), plain.size(), found.data(),
                                        memory::bestVectorPath(), access.regions);
    const memory::ExceptionDirectory directory(access.begin, access.end, access.regions);
    std::vector<Given> given(signatures.size());
    for (std::size_t k = 0; k < signatures.size(); ++k) {
        given[k].matchCount = found[k].count;
        if (found[k].count == 0) continue;
        given[k].first = found[k].first - view.bytes();
        if (found[k].count != 1) continue;
        const std::uint8_t* address = memory::addressGiven(converted[k], found[k].first, access, directory).address;
        if (address != nullptr) given[k].functionRva = address - view.bytes();
    }
    return given;
}

std::vector<ProposedSignature> proposeSet(const Program& old, std::uint32_t oldStart, const Correspondence& pairs,
                                          const Program& neu, std::uint32_t start, const Proposal& entry,
                                          const std::vector<CheckedBuild>& others, Deadline& deadline) {
    const ModuleView& view = neu.view();
    std::vector<ProposedSignature> candidates;
    std::vector<std::uint32_t> at;  // where each candidate starts in the new build
    std::vector<int> group;         // the caller, or the place in the function, each belongs to
    if (entry.found) {
        candidates.push_back({memory::SignatureKind::entry, 0, entry.mask, entry.pattern});
        at.push_back(start);
        group.push_back(-1);
    }
    const int f = neu.indexOf(start);
    if (f < 0) return {};
    // Calls: at each caller's first call or jump to the function, the call
    // with a few instructions around it.
    int callers = 0;
    for (const std::uint32_t caller : neu.callers(f)) {
        if (deadline.expired() || callers == 16) break;
        const int oldCaller = pairs.oldOf(static_cast<int>(caller));
        const Code code = codeOf(view, neu.instructionsOf(static_cast<int>(caller)),
                                 oldCaller >= 0 ? old.instructionsOf(oldCaller) : std::vector<Instruction>{});
        const auto& instructions = code.instructions;
        for (std::size_t i = 0; i < instructions.size(); ++i) {
            if (!callsTo(view, instructions[i], start)) continue;
            ++callers;
            for (std::size_t before = 0; before <= kAroundCall && before <= i; ++before)
                for (std::size_t after = 1; after <= kAroundCall && i + after < instructions.size(); ++after) {
                    ProposedSignature s = window(view, code, i - before, i + 1 + after, memory::SignatureKind::call, i);
                    if (s.mask.empty()) continue;
                    s.source = static_cast<int>(caller);
                    candidates.push_back(std::move(s));
                    at.push_back(instructions[i - before].rva);
                    group.push_back(static_cast<int>(caller));
                }
            break;
        }
    }
    // Inside: windows starting at places spread over the function, never at its first instruction.
    const int oldFunction = old.indexOf(oldStart);
    const Code code = codeOf(view, neu.instructionsOf(f),
                             oldFunction >= 0 ? old.instructionsOf(oldFunction) : std::vector<Instruction>{});
    const auto& body = code.instructions;
    if (body.size() > 2 && view.unwindFunctionAt(start) != nullptr) {
        const std::size_t starts = std::min(kInsideStarts, body.size() - 1);
        for (std::size_t n = 0; n < starts; ++n) {
            const std::size_t first = 1 + n * (body.size() - 1) / starts;
            std::size_t grown = 0;
            for (std::size_t last = first + 1; last <= body.size() && grown < kInsideGrowth; ++last) {
                ProposedSignature s = window(view, code, first, last, memory::SignatureKind::inside);
                if (s.mask.empty()) continue;
                ++grown;
                candidates.push_back(std::move(s));
                at.push_back(body[first].rva);
                group.push_back(-2 - static_cast<int>(n));
            }
        }
    }
    if (deadline.expired()) return {};
    const std::vector<bool> holds = holdEverywhere(neu, start, candidates, at, others);

    // The shortest that holds from each caller and each place, entry first;
    // inside ones that do not overlap those taken.
    std::vector<ProposedSignature> set;
    std::vector<int> taken;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> spans;
    std::size_t calls = 0;
    std::size_t insides = 0;
    // An inside signature is evidence of its own only away from the entry signature's bytes.
    if (entry.found) spans.push_back({start, static_cast<std::uint32_t>(start + entry.mask.size())});
    // Groups in the order they came (entry, callers, places), each one's shortest first.
    std::vector<std::size_t> order(candidates.size());
    std::vector<std::size_t> rank(candidates.size());
    for (std::size_t k = 0; k < order.size(); ++k) {
        order[k] = k;
        rank[k] = static_cast<std::size_t>(std::find(group.begin(), group.end(), group[k]) - group.begin());
    }
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (rank[a] != rank[b]) return rank[a] < rank[b];
        if (candidates[a].mask.size() != candidates[b].mask.size())
            return candidates[a].mask.size() < candidates[b].mask.size();
        return a < b;
    });
    for (const std::size_t k : order) {
        if (!holds[k] || std::find(taken.begin(), taken.end(), group[k]) != taken.end()) continue;
        const ProposedSignature& s = candidates[k];
        const std::uint32_t from = at[k];
        const auto to = static_cast<std::uint32_t>(from + s.mask.size());
        if (s.kind == memory::SignatureKind::call && calls == kMostCallSignatures) continue;
        if (s.kind == memory::SignatureKind::inside) {
            if (insides == kMostInsideSignatures) continue;
            bool overlaps = false;
            for (const auto& [a, b] : spans) overlaps = overlaps || (from < b && a < to);
            if (overlaps) continue;
            spans.push_back({from, to});
            ++insides;
        }
        calls += s.kind == memory::SignatureKind::call;
        taken.push_back(group[k]);
        set.push_back(s);
    }
    // Nothing holds in every build: the entry signature made for the new
    // build alone, as a single signature was before, rather than none.
    if (set.empty() && entry.found) set.push_back({memory::SignatureKind::entry, 0, entry.mask, entry.pattern});
    // An entry signature alone is searched as a single signature always
    // was: its lowest match is called, and after an update that lowest is
    // as often a sibling (one instance of a template family, say) as the
    // function. Its bytes again as an inside signature make the set one of
    // several, which a second match leaves without an answer. One source
    // still, and reported so; only where the directory knows the function,
    // or the inside signature would give nothing.
    if (set.size() == 1 && set[0].kind == memory::SignatureKind::entry && view.unwindFunctionAt(start) != nullptr) {
        ProposedSignature twin = set[0];
        twin.kind = memory::SignatureKind::inside;
        // It must find the function by the plug-in's own reading of the
        // directory, here and in every build where the entry signature does.
        bool twinHolds = functionsGiven(view, {twin})[0].functionRva == start;
        for (const CheckedBuild& build : others) {
            if (!twinHolds) break;
            const std::vector<Given> there = functionsGiven(*build.view, {set[0], twin});
            twinHolds = there[0].functionRva != build.functionRva || there[1].functionRva == build.functionRva;
        }
        if (twinHolds) set.push_back(std::move(twin));
    }
    return set;
}

}  // namespace sigcheck
