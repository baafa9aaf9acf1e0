#include "memory/signature.h"

#include <emmintrin.h>
#include <immintrin.h>

#include <cstring>

#include "platform/platform.h"

namespace memory {
namespace {

struct Plan {
    std::size_t length = 0;  // N, from the mask
    std::size_t first = 0;   // first position that must match
    std::size_t last = 0;    // last position that must match
    bool anyFixed = false;
};

Plan makePlan(const char* mask) {
    Plan plan;
    plan.length = std::strlen(mask);
    for (std::size_t k = 0; k < plan.length; ++k) {
        if (mask[k] == '?') continue;
        if (!plan.anyFixed) plan.first = k;
        plan.last = k;
        plan.anyFixed = true;
    }
    return plan;
}

bool matchesAt(const std::uint8_t* at, const char* mask, const std::uint8_t* pattern, std::size_t length) {
    for (std::size_t k = 0; k < length; ++k) {
        if (mask[k] != '?' && at[k] != pattern[k]) return false;
    }
    return true;
}

// Candidate starts in [from, lastStart] one at a time; the tail of the vector loops.
const std::uint8_t* scalarSearch(const std::uint8_t* from, const std::uint8_t* lastStart, const char* mask,
                                 const std::uint8_t* pattern, const Plan& plan) {
    const std::uint8_t firstByte = pattern[plan.first];
    for (const std::uint8_t* at = from; at <= lastStart; ++at) {
        if (at[plan.first] == firstByte && matchesAt(at, mask, pattern, plan.length)) return at;
    }
    return nullptr;
}

// Compares two fixed positions of the signature (its first and last) across a
// block of candidate starts at once; only starts where both agree are checked
// in full. Every load stays inside the range: a block is taken only while all
// its starts leave room for the whole signature.
const std::uint8_t* sse2Search(const std::uint8_t* begin, const std::uint8_t* lastStart, const char* mask,
                               const std::uint8_t* pattern, const Plan& plan) {
    const __m128i firstByte = _mm_set1_epi8(static_cast<char>(pattern[plan.first]));
    const __m128i lastByte = _mm_set1_epi8(static_cast<char>(pattern[plan.last]));
    const std::uint8_t* at = begin;
    constexpr std::size_t kBlock = 16;
    while (lastStart >= at && static_cast<std::size_t>(lastStart - at) >= kBlock - 1) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + plan.first));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + plan.last));
        auto hits = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, firstByte), _mm_cmpeq_epi8(b, lastByte))));
        while (hits != 0) {
            const std::uint8_t* candidate = at + __builtin_ctz(hits);
            if (matchesAt(candidate, mask, pattern, plan.length)) return candidate;
            hits &= hits - 1;
        }
        at += kBlock;
        if (at > lastStart) return nullptr;
    }
    return scalarSearch(at, lastStart, mask, pattern, plan);
}

__attribute__((target("avx2"))) const std::uint8_t* avx2Search(const std::uint8_t* begin, const std::uint8_t* lastStart,
                                                               const char* mask, const std::uint8_t* pattern,
                                                               const Plan& plan) {
    const __m256i firstByte = _mm256_set1_epi8(static_cast<char>(pattern[plan.first]));
    const __m256i lastByte = _mm256_set1_epi8(static_cast<char>(pattern[plan.last]));
    const std::uint8_t* at = begin;
    constexpr std::size_t kBlock = 64;
    // Two 32-byte halves per turn keep the loop overhead below the load cost.
    while (lastStart >= at && static_cast<std::size_t>(lastStart - at) >= kBlock - 1) {
        const auto* p = at + plan.first;
        const auto* q = at + plan.last;
        const __m256i eq0 =
            _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), firstByte),
                             _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(q)), lastByte));
        const __m256i eq1 =
            _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32)), firstByte),
                             _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 32)), lastByte));
        std::uint64_t hits = static_cast<std::uint32_t>(_mm256_movemask_epi8(eq0)) |
                             (static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(eq1))) << 32);
        while (hits != 0) {
            const std::uint8_t* candidate = at + __builtin_ctzll(hits);
            if (matchesAt(candidate, mask, pattern, plan.length)) return candidate;
            hits &= hits - 1;
        }
        at += kBlock;
        if (at > lastStart) return nullptr;
    }
    return sse2Search(at, lastStart, mask, pattern, plan);
}

bool hasAvx2() {
    // Checked once: the game may run on any x86-64 processor.
    static const bool supported = __builtin_cpu_supports("avx2") != 0;
    return supported;
}

}  // namespace

const std::uint8_t* findInRange(const std::uint8_t* begin, const std::uint8_t* end, const char* mask,
                                const std::uint8_t* pattern) {
    if (begin == nullptr || end == nullptr || mask == nullptr || pattern == nullptr || begin >= end) return nullptr;
    const Plan plan = makePlan(mask);
    if (plan.length == 0 || static_cast<std::size_t>(end - begin) < plan.length) return nullptr;
    if (!plan.anyFixed) return begin;  // all wildcards: every start matches
    const std::uint8_t* lastStart = end - plan.length;
    return hasAvx2() ? avx2Search(begin, lastStart, mask, pattern, plan)
                     : sse2Search(begin, lastStart, mask, pattern, plan);
}

const std::uint8_t* findInRangeReference(const std::uint8_t* begin, const std::uint8_t* end, const char* mask,
                                         const std::uint8_t* pattern) {
    if (begin == nullptr || end == nullptr || begin >= end) return nullptr;
    const std::size_t length = std::strlen(mask);
    if (length == 0) return nullptr;
    for (const std::uint8_t* at = begin; static_cast<std::size_t>(end - at) >= length; ++at) {
        if (matchesAt(at, mask, pattern, length)) return at;
    }
    return nullptr;
}

const std::uint8_t* findInReadableRegions(const std::uint8_t* begin, const std::uint8_t* end, const char* mask,
                                          const std::uint8_t* pattern) {
    // Adjacent readable regions are searched as one run, so a function that
    // straddles two protections is still found; an unreadable one splits runs.
    const std::uint8_t* runStart = nullptr;
    const std::uint8_t* cursor = begin;
    while (cursor < end) {
        const platform::Region region = platform::queryRegion(cursor);
        if (region.end <= cursor) break;  // failed query: read nothing further
        const std::uint8_t* regionEnd = region.end < end ? region.end : end;
        if (region.readable) {
            if (runStart == nullptr) runStart = cursor;
        } else if (runStart != nullptr) {
            if (const auto* found = findInRange(runStart, cursor, mask, pattern)) return found;
            runStart = nullptr;
        }
        cursor = regionEnd;
    }
    if (runStart != nullptr) return findInRange(runStart, cursor, mask, pattern);
    return nullptr;
}

}  // namespace memory

void* findSignature(const char* mask, const std::uint8_t* pattern) {
    const platform::ByteRange range = platform::mainModuleRange();
    if (range.begin == nullptr || range.begin >= range.end) return nullptr;
    return const_cast<std::uint8_t*>(memory::findInReadableRegions(range.begin, range.end, mask, pattern));
}
