// Which functions of the old build are which in the new one, where the
// evidence leaves no doubt: the same code, unique in both builds; the same
// rare strings, constants or imports, unique in both; then outwards along
// the calls of pairs already made. It never pairs on a likeness alone: the
// pairs are what a candidate's callers and callees are judged by.
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
