#include "compare.h"

#include <algorithm>
#include <bit>
#include <unordered_map>

namespace sigcheck {

std::vector<std::uint64_t> exactForms(const std::vector<Instruction>& code) {
    std::vector<std::uint64_t> forms;
    for (const Instruction& instruction : code) forms.push_back(instruction.exact);
    return forms;
}

std::vector<std::uint64_t> shapeForms(const std::vector<Instruction>& code) {
    std::vector<std::uint64_t> forms;
    for (const Instruction& instruction : code) forms.push_back(instruction.shape);
    return forms;
}

double similarity(const std::vector<std::uint64_t>& a, const std::vector<std::uint64_t>& b) {
    const std::size_t n = std::min(a.size(), kLongestCompared);
    const std::size_t m = std::min(b.size(), kLongestCompared);
    if (n == 0 || m == 0) return n == m ? 1.0 : 0.0;
    // The longest common subsequence a machine word of a's positions at a
    // time (Hyyro's bit-vector form of the dynamic programme).
    const std::size_t words = (n + 63) / 64;
    std::unordered_map<std::uint64_t, std::vector<std::uint64_t>> where;
    for (std::size_t i = 0; i < n; ++i) {
        auto& mask = where[a[i]];
        if (mask.empty()) mask.assign(words, 0);
        mask[i / 64] |= std::uint64_t{1} << (i % 64);
    }
    std::vector<std::uint64_t> v(words, ~std::uint64_t{0});
    for (std::size_t j = 0; j < m; ++j) {
        const auto found = where.find(b[j]);
        if (found == where.end()) continue;
        const std::vector<std::uint64_t>& match = found->second;
        bool carry = false;
        for (std::size_t w = 0; w < words; ++w) {
            const std::uint64_t u = v[w] & match[w];
            std::uint64_t sum = 0;
            const bool first = __builtin_add_overflow(v[w], u, &sum);
            const bool second = __builtin_add_overflow(sum, std::uint64_t{carry}, &sum);
            carry = first || second;
            v[w] = sum | (v[w] & ~match[w]);
        }
    }
    std::size_t ones = 0;
    for (std::size_t w = 0; w < words; ++w) {
        const std::size_t bits = w + 1 < words || n % 64 == 0 ? 64 : n % 64;
        const std::uint64_t live = bits == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
        ones += static_cast<std::size_t>(std::popcount(v[w] & live));
    }
    const std::size_t common = n - ones;
    return 2.0 * static_cast<double>(common) / static_cast<double>(n + m);
}

double bagSimilarity(std::vector<std::uint64_t> a, std::vector<std::uint64_t> b) {
    if (a.size() > kLongestCompared) a.resize(kLongestCompared);
    if (b.size() > kLongestCompared) b.resize(kLongestCompared);
    if (a.empty() || b.empty()) return a.size() == b.size() ? 1.0 : 0.0;
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    std::size_t common = 0;
    for (std::size_t i = 0, j = 0; i < a.size() && j < b.size();) {
        if (a[i] == b[j])
            ++common, ++i, ++j;
        else if (a[i] < b[j])
            ++i;
        else
            ++j;
    }
    return 2.0 * static_cast<double>(common) / static_cast<double>(a.size() + b.size());
}

std::vector<std::pair<std::size_t, std::size_t>> align(const std::vector<std::uint64_t>& a,
                                                       const std::vector<std::uint64_t>& b) {
    const std::size_t n = std::min(a.size(), kLongestCompared);
    const std::size_t m = std::min(b.size(), kLongestCompared);
    // lengths[i][j]: the longest common subsequence of a[i..] and b[j..].
    std::vector<std::uint16_t> lengths((n + 1) * (m + 1), 0);
    const auto at = [&](std::size_t i, std::size_t j) -> std::uint16_t& { return lengths[i * (m + 1) + j]; };
    for (std::size_t i = n; i-- > 0;)
        for (std::size_t j = m; j-- > 0;)
            at(i, j) =
                a[i] == b[j] ? static_cast<std::uint16_t>(at(i + 1, j + 1) + 1) : std::max(at(i + 1, j), at(i, j + 1));
    std::vector<std::pair<std::size_t, std::size_t>> pairs;
    for (std::size_t i = 0, j = 0; i < n && j < m;) {
        if (a[i] == b[j])
            pairs.push_back({i++, j++});
        else if (at(i + 1, j) >= at(i, j + 1))
            ++i;
        else
            ++j;
    }
    return pairs;
}

}  // namespace sigcheck
