#include "memory/signature.h"

#include <emmintrin.h>
#include <immintrin.h>

#include <bit>
#include <cstring>

#include "memory/code_bytes.h"
#include "platform/platform.h"

namespace memory {

#define NOZZLES_AVX2 __attribute__((target("avx2")))

namespace {

// Signatures up to this long are verified a vector at a time.
constexpr std::size_t kVectorVerified = 64;
// Candidates are counted, and their handling chosen, per chunk of starts.
constexpr std::size_t kChunkBytes = 4096;
// From this many places with candidates in a chunk on (units where they are
// rare, blocks where they are dense), the next chunk pays for its candidates
// in bulk. Below it, the narrowing down costs no more than the bulk pass.
constexpr std::size_t kDenseMarks = 16;
// Where candidates are rare, this many bytes of starts are tested at once:
// one branch per group, the loads of a group all independent.
constexpr std::size_t kGroupBytes = 512;
// A group with candidates is narrowed down to units of this many starts,
// one bit each in a 64-bit mask.
constexpr std::size_t kUnitBytes = 64;

struct Plan {
    std::size_t length = 0;       // N, from the mask
    std::size_t anchors[2] = {};  // the fixed positions whose bytes are rarest in code
    std::uint8_t anchorBytes[2] = {};
    bool anyFixed = false;
    std::uint64_t fixed = 0;  // bit k: position k must match (k below 64)
    // 16 bytes is as far as the Win64 stack can be relied on to align a local;
    // the 32-byte vectors load it unaligned.
    alignas(16) std::uint8_t bytes[kVectorVerified] = {};  // the pattern, 00 at wildcards and past N
};

Plan makePlan(const char* mask, const std::uint8_t* pattern) {
    Plan plan;
    plan.length = std::strlen(mask);
    std::size_t count = 0;
    for (std::size_t k = 0; k < plan.length; ++k) {
        if (mask[k] == '?') continue;
        if (k < kVectorVerified) {
            plan.fixed |= std::uint64_t{1} << k;
            plan.bytes[k] = pattern[k];
        }
        // Keep the two rarest so far, the rarer first; the earlier position wins a tie.
        const std::uint32_t rarity = kCodeByteFrequency[pattern[k]];
        if (count == 0 || rarity < kCodeByteFrequency[pattern[plan.anchors[0]]]) {
            plan.anchors[1] = count == 0 ? k : plan.anchors[0];
            plan.anchors[0] = k;
        } else if (count == 1 || rarity < kCodeByteFrequency[pattern[plan.anchors[1]]]) {
            plan.anchors[1] = k;
        }
        ++count;
    }
    plan.anyFixed = count > 0;
    plan.anchorBytes[0] = pattern[plan.anchors[0]];
    plan.anchorBytes[1] = pattern[plan.anchors[1]];
    return plan;
}

// The vector operations of one width, for the search below: a block is as
// many candidate starts as a vector has bytes.
struct Sse2 {
    static constexpr std::size_t kWidth = 16;
    static constexpr std::size_t kGroupBlocks = kGroupBytes / kWidth;
    static constexpr std::size_t kGroupUnits = kGroupBytes / kUnitBytes;
    static constexpr std::uint32_t kWholeBlock = 0xFFFFu;

    explicit Sse2(const Plan& plan)
        : first_(plan.anchors[0]),
          second_(plan.anchors[1]),
          firstByte_(_mm_set1_epi8(static_cast<char>(plan.anchorBytes[0]))),
          secondByte_(_mm_set1_epi8(static_cast<char>(plan.anchorBytes[1]))) {}

    // Bit i: both anchors match for the start at + i.
    std::uint32_t candidates(const std::uint8_t* at) const {
        return static_cast<std::uint32_t>(_mm_movemask_epi8(both(at)));
    }

    // Bit u: some start of the u-th unit of the group from `at` on is a candidate.
    std::uint32_t unitsOfGroup(const std::uint8_t* at) const {
        __m128i units[kGroupUnits];
        __m128i any = _mm_setzero_si128();
#pragma GCC unroll 8
        for (std::size_t u = 0; u < kGroupUnits; ++u) {
            units[u] = both(at + u * kUnitBytes);
#pragma GCC unroll 4
            for (std::size_t k = kWidth; k < kUnitBytes; k += kWidth)
                units[u] = _mm_or_si128(units[u], both(at + u * kUnitBytes + k));
            any = _mm_or_si128(any, units[u]);
        }
        if (_mm_movemask_epi8(any) == 0) return 0;
        std::uint32_t hit = 0;
#pragma GCC unroll 8
        for (std::size_t u = 0; u < kGroupUnits; ++u) hit |= std::uint32_t{_mm_movemask_epi8(units[u]) != 0} << u;
        return hit;
    }

    // Bit i: the byte at + i equals want[i] (want 16-byte aligned).
    std::uint32_t equal(const std::uint8_t* at, const std::uint8_t* want) const {
        const __m128i got = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        return static_cast<std::uint32_t>(
            _mm_movemask_epi8(_mm_cmpeq_epi8(got, _mm_load_si128(reinterpret_cast<const __m128i*>(want)))));
    }

private:
    __m128i both(const std::uint8_t* at) const {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + first_));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + second_));
        return _mm_and_si128(_mm_cmpeq_epi8(a, firstByte_), _mm_cmpeq_epi8(b, secondByte_));
    }

    std::size_t first_;
    std::size_t second_;
    __m128i firstByte_;
    __m128i secondByte_;
};

struct Avx2 {
    static constexpr std::size_t kWidth = 32;
    static constexpr std::size_t kGroupBlocks = kGroupBytes / kWidth;
    static constexpr std::size_t kGroupUnits = kGroupBytes / kUnitBytes;
    static constexpr std::uint32_t kWholeBlock = 0xFFFFFFFFu;

    NOZZLES_AVX2 explicit Avx2(const Plan& plan)
        : first_(plan.anchors[0]),
          second_(plan.anchors[1]),
          firstByte_(_mm256_set1_epi8(static_cast<char>(plan.anchorBytes[0]))),
          secondByte_(_mm256_set1_epi8(static_cast<char>(plan.anchorBytes[1]))) {}

    NOZZLES_AVX2 std::uint32_t candidates(const std::uint8_t* at) const {
        return static_cast<std::uint32_t>(_mm256_movemask_epi8(both(at)));
    }

    NOZZLES_AVX2 std::uint32_t unitsOfGroup(const std::uint8_t* at) const {
        __m256i units[kGroupUnits];
        __m256i any = _mm256_setzero_si256();
#pragma GCC unroll 8
        for (std::size_t u = 0; u < kGroupUnits; ++u) {
            units[u] = _mm256_or_si256(both(at + u * kUnitBytes), both(at + u * kUnitBytes + kWidth));
            any = _mm256_or_si256(any, units[u]);
        }
        if (_mm256_testz_si256(any, any) != 0) return 0;
        std::uint32_t hit = 0;
#pragma GCC unroll 8
        for (std::size_t u = 0; u < kGroupUnits; ++u)
            hit |= std::uint32_t{_mm256_testz_si256(units[u], units[u]) == 0} << u;
        return hit;
    }

    NOZZLES_AVX2 std::uint32_t equal(const std::uint8_t* at, const std::uint8_t* want) const {
        const __m256i got = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
        return static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(got, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(want)))));
    }

private:
    NOZZLES_AVX2 __m256i both(const std::uint8_t* at) const {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + first_));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + second_));
        return _mm256_and_si256(_mm256_cmpeq_epi8(a, firstByte_), _mm256_cmpeq_epi8(b, secondByte_));
    }

    std::size_t first_;
    std::size_t second_;
    __m256i firstByte_;
    __m256i secondByte_;
};

// A search's candidates and their check: every fixed byte of a candidate at
// once, a vector at a time where the vectors stay in range, one at a time
// otherwise.
template <typename Block>
class Candidates {
public:
    Candidates(const Block& block, const std::uint8_t* end, const char* mask, const std::uint8_t* pattern,
               const Plan& plan)
        : block_(block),
          end_(end),
          mask_(mask),
          pattern_(pattern),
          plan_(plan),
          vectorVerify_(plan.length <= kVectorVerified),
          vectors_((plan.length + Block::kWidth - 1) / Block::kWidth) {}

    bool verify(const std::uint8_t* candidate) const {
        constexpr std::size_t kWidth = Block::kWidth;
        if (!vectorVerify_ || static_cast<std::size_t>(end_ - candidate) < vectors_ * kWidth)
            return matchesAt(candidate, mask_, pattern_, plan_.length);
        for (std::size_t j = 0; j < vectors_; ++j) {
            const auto needed = static_cast<std::uint32_t>(plan_.fixed >> (j * kWidth)) & Block::kWholeBlock;
            if ((block_.equal(candidate + j * kWidth, plan_.bytes + j * kWidth) & needed) != needed) return false;
        }
        return true;
    }

    // The first match among the starts `hits` marks (bit i: base + i), or null.
    const std::uint8_t* check(const std::uint8_t* base, std::uint64_t hits) const {
        do {
            const std::uint8_t* candidate = base + std::countr_zero(hits);
            if (verify(candidate)) return candidate;
            hits &= hits - 1;
        } while (hits != 0);
        return nullptr;
    }

private:
    const Block& block_;
    const std::uint8_t* end_;
    const char* mask_;
    const std::uint8_t* pattern_;
    const Plan& plan_;
    bool vectorVerify_;
    std::size_t vectors_;
};

// A chunk where candidates are dense: its masks gathered first, without a
// branch on the data, and its candidates then checked in a row. `marked`
// counts the blocks with a candidate.
template <typename Block>
const std::uint8_t* denseChunk(const Block& block, const Candidates<Block>& candidates, const std::uint8_t* at,
                               std::size_t count, std::size_t& marked) {
    constexpr std::size_t kWidth = Block::kWidth;
    constexpr std::size_t kChunkBlocks = kChunkBytes / kWidth;
    std::uint32_t hits[kChunkBlocks];
    std::uint16_t blocks[kChunkBlocks];
    for (std::size_t k = 0; k < count; ++k) {
        hits[k] = block.candidates(at + k * kWidth);
        blocks[marked] = static_cast<std::uint16_t>(k);
        marked += hits[k] != 0;
    }
    for (std::size_t i = 0; i < marked; ++i) {
        if (const auto* found = candidates.check(at + blocks[i] * kWidth, hits[blocks[i]])) return found;
    }
    return nullptr;
}

// A chunk where candidates are rare: a group of 512 bytes of starts tested
// at once; a group with any narrowed down, from the same compares, to its
// units of 64 starts that have any, a unit's candidates from one 64-bit
// mask; the blocks after the last whole group one by one. `marked` counts
// the units and blocks with a candidate.
template <typename Block>
const std::uint8_t* sparseChunk(const Block& block, const Candidates<Block>& candidates, const std::uint8_t* at,
                                std::size_t count, std::size_t& marked) {
    constexpr std::size_t kWidth = Block::kWidth;
    constexpr std::size_t kGroup = Block::kGroupBlocks;
    std::size_t k = 0;
    for (; k + kGroup <= count; k += kGroup) {
        const std::uint8_t* group = at + k * kWidth;
        for (std::uint32_t units = block.unitsOfGroup(group); units != 0; units &= units - 1) {
            const std::uint8_t* unit = group + static_cast<std::size_t>(std::countr_zero(units)) * kUnitBytes;
            ++marked;
            std::uint64_t hits = 0;  // bit i: the start unit + i
            for (std::size_t j = 0; j < kUnitBytes; j += kWidth) hits |= std::uint64_t{block.candidates(unit + j)} << j;
            if (const auto* found = candidates.check(unit, hits)) return found;
        }
    }
    for (; k < count; ++k) {
        const std::uint32_t hits = block.candidates(at + k * kWidth);
        if (hits == 0) continue;
        ++marked;
        if (const auto* found = candidates.check(at + k * kWidth, hits)) return found;
    }
    return nullptr;
}

// The search, one shape for every vector width. Blocks of starts are
// filtered on the two anchors, a chunk of 4 KiB at a time, sparsely or
// densely as the chunk before it had few or many candidates: the handling
// follows the data, never the machine. No software prefetch: the loads run
// in address order, which the processor's own prefetcher follows, and
// asking ahead cost time where it was measured. The anchors' offsets live in the
// block, not behind a reference, so that the loop keeps them in registers.
// Every load stays inside [begin, end).
template <typename Block>
const std::uint8_t* searchBlocks(const std::uint8_t* begin, const std::uint8_t* end, const char* mask,
                                 const std::uint8_t* pattern, const Plan& plan) {
    constexpr std::size_t kWidth = Block::kWidth;
    constexpr std::size_t kChunkBlocks = kChunkBytes / kWidth;
    const Block block(plan);
    const Candidates<Block> candidates(block, end, mask, pattern, plan);
    const std::uint8_t* lastStart = end - plan.length;

    const std::uint8_t* at = begin;
    bool dense = false;
    // The first anchor's loads aligned to the vector, so that only the second
    // anchor's ever straddle two cache lines: one block from the start covers
    // the starts skipped, and the blocks then go on from the aligned start
    // (the few starts seen twice were no match).
    const std::size_t skew = (0 - reinterpret_cast<std::uintptr_t>(begin + plan.anchors[0])) & (kWidth - 1);
    if (skew != 0 && static_cast<std::size_t>(lastStart - begin) >= kWidth + skew) {
        if (const std::uint32_t hits = block.candidates(begin))
            if (const auto* found = candidates.check(begin, hits)) return found;
        at = begin + skew;
    }
    // Whole blocks while every start of the block leaves room for the signature.
    for (std::size_t left = static_cast<std::size_t>(lastStart - at + 1) / kWidth; left > 0;) {
        const std::size_t count = left < kChunkBlocks ? left : kChunkBlocks;
        std::size_t marked = 0;
        const std::uint8_t* found = dense ? denseChunk(block, candidates, at, count, marked)
                                          : sparseChunk(block, candidates, at, count, marked);
        if (found != nullptr) return found;
        dense = marked >= kDenseMarks;
        at += count * kWidth;
        left -= count;
    }
    // Fewer starts than a block remain.
    for (; at <= lastStart; ++at) {
        if (at[plan.anchors[0]] == plan.anchorBytes[0] && candidates.verify(at)) return at;
    }
    return nullptr;
}

__attribute__((flatten)) const std::uint8_t* searchSse2(const std::uint8_t* begin, const std::uint8_t* end,
                                                        const char* mask, const std::uint8_t* pattern,
                                                        const Plan& plan) {
    return searchBlocks<Sse2>(begin, end, mask, pattern, plan);
}

NOZZLES_AVX2 __attribute__((flatten)) const std::uint8_t* searchAvx2(const std::uint8_t* begin, const std::uint8_t* end,
                                                                     const char* mask, const std::uint8_t* pattern,
                                                                     const Plan& plan) {
    return searchBlocks<Avx2>(begin, end, mask, pattern, plan);
}

}  // namespace

bool matchesAt(const std::uint8_t* at, const char* mask, const std::uint8_t* pattern, std::size_t length) {
    for (std::size_t k = 0; k < length; ++k) {
        if (mask[k] != '?' && at[k] != pattern[k]) return false;
    }
    return true;
}

VectorPath bestVectorPath() {
    if (platform::processorHasAvx512()) return VectorPath::avx512;
    return platform::processorHasAvx2() ? VectorPath::avx2 : VectorPath::sse2;
}

const std::uint8_t* findInRange(const std::uint8_t* begin, const std::uint8_t* end, const char* mask,
                                const std::uint8_t* pattern, VectorPath path) {
    if (begin == nullptr || end == nullptr || mask == nullptr || pattern == nullptr || begin >= end) return nullptr;
    const Plan plan = makePlan(mask, pattern);
    if (plan.length == 0 || static_cast<std::size_t>(end - begin) < plan.length) return nullptr;
    if (!plan.anyFixed) return begin;  // all wildcards: every start matches
    return path != VectorPath::sse2 && platform::processorHasAvx2() ? searchAvx2(begin, end, mask, pattern, plan)
                                                                    : searchSse2(begin, end, mask, pattern, plan);
}

}  // namespace memory
