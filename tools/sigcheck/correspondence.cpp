#include "correspondence.h"

#include <algorithm>
#include <unordered_map>

namespace sigcheck {

namespace {

// Below this many instructions, code is too common to be unique by chance only.
constexpr std::uint32_t kShortestPairedByForm = 4;
// A shape says less than the exact form: it asks for more code.
constexpr std::uint32_t kShortestPairedByShape = 8;
// Neighbour lists longer than this are not searched for pairs.
constexpr std::size_t kMostNeighbours = 512;
// Unpaired neighbours are paired on their likeness only among this few.
constexpr std::size_t kMostAlikeCompared = 64;
// Sketches this alike, and this far ahead of the next most alike, pair.
constexpr double kAlikeSketches = 0.6;
constexpr double kAlikeLead = 0.15;
// Between two pairs that keep their order, as many unpaired functions on
// both sides (at most this many) pair in order, when their code is at
// least somewhat alike.
constexpr int kMostBetween = 8;
constexpr double kOrderedSketches = 0.3;
constexpr int kOrderRounds = 3;

}  // namespace

Correspondence::Correspondence(const Program& old, const Program& neu, Deadline& deadline)
    : old_(old), new_(neu), oldToNew_(old.functions().size(), -1), newToOld_(neu.functions().size(), -1) {
    byUniqueForm(deadline);
    byUniqueLandmarks(deadline);
    alongCalls(deadline);
    for (int round = 0; round < kOrderRounds && byOrder(deadline); ++round) alongCalls(deadline);
}

void Correspondence::pair(int o, int n) {
    oldToNew_[static_cast<std::size_t>(o)] = n;
    newToOld_[static_cast<std::size_t>(n)] = o;
    ++pairs_;
    work_.push_back({o, n});
}

// Two functions that might be one: neither paired yet, and not of very different sizes.
bool Correspondence::fits(int o, int n) const {
    if (oldToNew_[static_cast<std::size_t>(o)] >= 0 || newToOld_[static_cast<std::size_t>(n)] >= 0) return false;
    const std::uint32_t a = old_.functions()[static_cast<std::size_t>(o)].instructions;
    const std::uint32_t b = new_.functions()[static_cast<std::size_t>(n)].instructions;
    return a > 0 && b > 0 && a <= 2 * b + 2 && b <= 2 * a + 2;
}

void Correspondence::byUniqueForm(Deadline& deadline) {
    struct Level {
        std::uint64_t Function::*form;
        std::vector<int> (Program::*lookup)(std::uint64_t) const;
        std::size_t (Program::*count)(std::uint64_t) const;
        std::uint32_t shortest;
    };
    const Level levels[] = {{&Function::bytesHash, &Program::withBytes, &Program::countBytes, kShortestPairedByForm},
                            {&Function::exactHash, &Program::withExact, &Program::countExact, kShortestPairedByForm},
                            {&Function::shapeHash, &Program::withShape, &Program::countShape, kShortestPairedByShape}};
    for (const Level& level : levels) {
        for (std::size_t o = 0; o < old_.functions().size() && !deadline.expired(); ++o) {
            const Function& function = old_.functions()[o];
            if (oldToNew_[o] >= 0 || function.instructions < level.shortest) continue;
            const std::uint64_t form = function.*level.form;
            if ((new_.*level.count)(form) != 1 || (old_.*level.count)(form) != 1) continue;
            const std::vector<int> news = (new_.*level.lookup)(form);
            if (fits(static_cast<int>(o), news[0])) pair(static_cast<int>(o), news[0]);
        }
    }
}

void Correspondence::byUniqueLandmarks(Deadline& deadline) {
    // A rare thing one function alone uses in each build, and the whole set
    // of things a function uses where no other has the same set.
    const auto setOf = [](const Program& program, int f) {
        std::uint64_t key = 0;
        for (const std::uint64_t landmark : program.landmarks(f)) key = combine(key, landmark);
        return key;
    };
    std::unordered_map<std::uint64_t, int> newSets;  // -1 where several have it
    for (std::size_t n = 0; n < new_.functions().size(); ++n) {
        if (new_.landmarks(static_cast<int>(n)).empty()) continue;
        auto [at, inserted] = newSets.emplace(setOf(new_, static_cast<int>(n)), static_cast<int>(n));
        if (!inserted) at->second = -1;
    }
    std::unordered_map<std::uint64_t, int> oldSets;
    for (std::size_t o = 0; o < old_.functions().size(); ++o) {
        if (old_.landmarks(static_cast<int>(o)).empty()) continue;
        auto [at, inserted] = oldSets.emplace(setOf(old_, static_cast<int>(o)), static_cast<int>(o));
        if (!inserted) at->second = -1;
    }
    for (const auto& [key, o] : oldSets) {
        if (deadline.expired()) return;
        const auto n = newSets.find(key);
        if (o >= 0 && n != newSets.end() && n->second >= 0 && fits(o, n->second)) pair(o, n->second);
    }
    for (std::size_t o = 0; o < old_.functions().size() && !deadline.expired(); ++o) {
        for (const std::uint64_t landmark : old_.landmarks(static_cast<int>(o))) {
            if (old_.landmarkUses(landmark) != 1 || new_.landmarkUses(landmark) != 1) continue;
            const int n = new_.usersOf(landmark)[0];
            if (fits(static_cast<int>(o), n)) pair(static_cast<int>(o), n);
            break;
        }
    }
}

// Among the unpaired neighbours of one pair: those whose form is unique on
// both sides, then, where the two lists keep their order, those in the same place.
void Correspondence::pairAmong(const std::vector<int>& olds, const std::vector<int>& news) {
    // A function everybody calls has too many neighbours to tell apart this way.
    if (olds.empty() || news.empty() || olds.size() > kMostNeighbours || news.size() > kMostNeighbours) return;
    for (std::uint64_t Function::*form : {&Function::bytesHash, &Function::exactHash, &Function::shapeHash}) {
        std::unordered_map<std::uint64_t, int> oldOnes;  // form -> the one function, or -1 for several
        std::unordered_map<std::uint64_t, int> newOnes;
        for (const int o : olds) {
            auto [at, inserted] = oldOnes.emplace(old_.functions()[static_cast<std::size_t>(o)].*form, o);
            if (!inserted && at->second != o) at->second = -1;
        }
        for (const int n : news) {
            auto [at, inserted] = newOnes.emplace(new_.functions()[static_cast<std::size_t>(n)].*form, n);
            if (!inserted && at->second != n) at->second = -1;
        }
        for (const auto& [value, o] : oldOnes) {
            const auto n = newOnes.find(value);
            if (o >= 0 && n != newOnes.end() && n->second >= 0 && fits(o, n->second)) pair(o, n->second);
        }
    }
}

// The most alike of unpaired neighbours, each the other's best by a clear lead.
void Correspondence::pairMostAlike(const std::vector<int>& olds, const std::vector<int>& news) {
    if (olds.empty() || news.empty() || olds.size() > kMostAlikeCompared || news.size() > kMostAlikeCompared) return;
    const auto sketchOf = [](const Program& p, int f) -> const Sketch& {
        return p.functions()[static_cast<std::size_t>(f)].sketch;
    };
    const auto bestOf = [](const std::vector<int>& others, auto alike, double& lead) {
        int best = -1;
        double top = -1;
        double next = 0;
        for (const int other : others) {
            const double value = alike(other);
            if (value > top) {
                next = std::max(next, top);
                top = value, best = other;
            } else {
                next = std::max(next, value);
            }
        }
        lead = top - next;
        return top >= kAlikeSketches ? best : -1;
    };
    for (const int o : olds) {
        if (oldToNew_[static_cast<std::size_t>(o)] >= 0) continue;
        double lead = 0;
        const int n = bestOf(
            news, [&](int x) { return sketchSimilarity(sketchOf(old_, o), sketchOf(new_, x)); }, lead);
        if (n < 0 || lead < kAlikeLead) continue;
        double back = 0;
        const int mutual = bestOf(
            olds, [&](int x) { return sketchSimilarity(sketchOf(old_, x), sketchOf(new_, n)); }, back);
        if (mutual == o && back >= kAlikeLead && fits(o, n)) pair(o, n);
    }
}

bool Correspondence::byOrder(Deadline& deadline) {
    const std::size_t before = pairs_;
    int last = -1;  // the last paired old function
    for (int o = 0; o < static_cast<int>(old_.functions().size()) && !deadline.expired(); ++o) {
        const int n = oldToNew_[static_cast<std::size_t>(o)];
        if (n < 0) continue;
        if (last >= 0) {
            const int from = oldToNew_[static_cast<std::size_t>(last)];
            const int between = o - last - 1;
            if (between > 0 && between <= kMostBetween && n - from - 1 == between) {
                for (int k = 1; k <= between; ++k) {
                    const int a = last + k;
                    const int b = from + k;
                    if (fits(a, b) &&
                        sketchSimilarity(old_.functions()[static_cast<std::size_t>(a)].sketch,
                                         new_.functions()[static_cast<std::size_t>(b)].sketch) >= kOrderedSketches)
                        pair(a, b);
                }
            }
        }
        last = o;
    }
    return pairs_ > before;
}

void Correspondence::alongCalls(Deadline& deadline) {
    const auto unpaired = [](const std::vector<int>& table, std::span<const std::uint32_t> list) {
        std::vector<int> found;
        for (const std::uint32_t f : list)
            if (table[f] < 0) found.push_back(static_cast<int>(f));
        return found;
    };
    while (!work_.empty() && !deadline.expired()) {
        const auto [o, n] = work_.back();
        work_.pop_back();
        pairAmong(unpaired(oldToNew_, old_.callees(o)), unpaired(newToOld_, new_.callees(n)));
        pairAmong(unpaired(oldToNew_, old_.callers(o)), unpaired(newToOld_, new_.callers(n)));
        pairMostAlike(unpaired(oldToNew_, old_.callees(o)), unpaired(newToOld_, new_.callees(n)));
        pairMostAlike(unpaired(oldToNew_, old_.callers(o)), unpaired(newToOld_, new_.callers(n)));
        // Callees in the same order on both sides, every paired one in its
        // place: the one left between them is the same one.
        const auto olds = old_.callees(o);
        const auto news = new_.callees(n);
        if (olds.size() != news.size()) continue;
        bool ordered = true;
        for (std::size_t k = 0; k < olds.size() && ordered; ++k) {
            const int paired = oldToNew_[olds[k]];
            ordered = paired < 0 ? newToOld_[news[k]] < 0 : paired == static_cast<int>(news[k]);
        }
        for (std::size_t k = 0; k < olds.size() && ordered; ++k)
            if (fits(static_cast<int>(olds[k]), static_cast<int>(news[k])))
                pair(static_cast<int>(olds[k]), static_cast<int>(news[k]));
    }
}

}  // namespace sigcheck
