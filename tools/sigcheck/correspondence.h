// Which functions of the old build are which in the new one. First where
// nothing is in doubt: code of the same form (its bytes, its exact forms,
// then its shapes) unique in both builds; a landmark one function alone uses
// in each build, or the same whole set of landmarks. Then outwards along the
// calls of pairs already made: among a pair's unpaired callers or callees,
// forms unique on both sides, callees that stand in the same order, and the
// two most alike by sketch, each the other's best by a clear lead. Last, in
// address order: as many unpaired functions on both sides between two pairs
// that keep their order pair one to one where their sketches are somewhat
// alike. A candidate's callers, callees and place are judged by these pairs.
#pragma once

#include <vector>

#include "program.h"

namespace sigcheck {

class Correspondence {
public:
    Correspondence(const Program& old, const Program& neu, Deadline& deadline);

    int newOf(int oldFunction) const { return oldFunction < 0 ? -1 : oldToNew_[static_cast<std::size_t>(oldFunction)]; }
    int oldOf(int newFunction) const { return newFunction < 0 ? -1 : newToOld_[static_cast<std::size_t>(newFunction)]; }
    std::size_t pairs() const { return pairs_; }

private:
    void pair(int o, int n);
    bool fits(int o, int n) const;
    void byUniqueForm(Deadline& deadline);
    void byUniqueLandmarks(Deadline& deadline);
    void alongCalls(Deadline& deadline);
    void pairAmong(const std::vector<int>& olds, const std::vector<int>& news);
    void pairMostAlike(const std::vector<int>& olds, const std::vector<int>& news);
    bool byOrder(Deadline& deadline);

    const Program& old_;
    const Program& new_;
    std::vector<int> oldToNew_, newToOld_;
    std::vector<std::pair<int, int>> work_;  // pairs whose neighbours are still to be looked at
    std::size_t pairs_ = 0;
};

}  // namespace sigcheck
