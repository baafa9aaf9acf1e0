// Comparing two functions' code, one instruction to one token: how alike
// two sequences are, and which instructions of one stand for which of the other.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "decode.h"

namespace sigcheck {

// Sequences longer than this are compared on their first this many tokens.
inline constexpr std::size_t kLongestCompared = 2000;

std::vector<std::uint64_t> exactForms(const std::vector<Instruction>& code);
std::vector<std::uint64_t> shapeForms(const std::vector<Instruction>& code);

// 2 * (longest common subsequence) / (|a| + |b|): 1 for the same sequence, 0 for nothing in common.
double similarity(const std::vector<std::uint64_t>& a, const std::vector<std::uint64_t>& b);
// The same measure on the tokens as multisets, order aside: cheap, and never below `similarity`.
double bagSimilarity(std::vector<std::uint64_t> a, std::vector<std::uint64_t> b);
// The index pairs (i, j) of one longest common subsequence, in order.
std::vector<std::pair<std::size_t, std::size_t>> align(const std::vector<std::uint64_t>& a,
                                                       const std::vector<std::uint64_t>& b);

}  // namespace sigcheck
