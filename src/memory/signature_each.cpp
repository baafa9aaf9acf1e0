#include <emmintrin.h>
#include <immintrin.h>
#include <tmmintrin.h>

#include <bit>
#include <cstring>

#include "memory/code_bytes.h"
#include "memory/signature.h"
#include "platform/platform.h"

namespace memory {

#define NOZZLES_AVX2 __attribute__((target("avx2")))
#define NOZZLES_SSSE3 __attribute__((target("ssse3")))

namespace {

// This many bytes of fingerprint ends are tested with one branch.
constexpr std::size_t kGroupBytes = 128;

// Every signature is filtered on a fingerprint of two adjacent bytes, the
// rarest such pair of its fixed bytes; one fixed byte where it has no two
// side by side, the byte before it then accepting anything. Each signature
// is a bucket of the filter: a byte is split into its two halves, and a
// table per half and position says which buckets accept it, so one shuffle
// per half and position tests every signature at once, as Teddy does.
struct Filter {
    std::size_t count = 0;
    std::size_t length[kMostInOnePass] = {};
    std::size_t end[kMostInOnePass] = {};  // where the fingerprint's second byte stands in the signature
    alignas(16) std::uint8_t low[2][16] = {};
    alignas(16) std::uint8_t high[2][16] = {};
    std::uint8_t byByte[2][256] = {};  // the same, per whole byte, for the scalar tail
    std::uint8_t anyFirst = 0;         // buckets whose first fingerprint byte accepts anything
};

void accept(Filter& filter, std::size_t position, std::uint8_t bucket, int byte) {
    const auto bit = static_cast<std::uint8_t>(1u << bucket);
    for (int value = 0; value < 256; ++value) {
        if (byte >= 0 && value != byte) continue;
        filter.byByte[position][value] |= bit;
        filter.low[position][value & 15] |= bit;
        filter.high[position][value >> 4] |= bit;
    }
}

Filter makeFilter(const Signature* signatures, std::size_t count) {
    Filter filter;
    filter.count = count;
    for (std::size_t s = 0; s < count; ++s) {
        const char* mask = signatures[s].mask;
        const std::uint8_t* pattern = signatures[s].pattern;
        const std::size_t length = std::strlen(mask);
        filter.length[s] = length;
        std::uint64_t best = UINT64_MAX;
        std::size_t end = 0;
        bool pair = false;
        for (std::size_t k = 0; k < length; ++k) {
            if (mask[k] == '?') continue;
            const bool withBefore = k > 0 && mask[k - 1] != '?';
            // A pair's rarity is the product of its bytes'; a lone byte's
            // counts as if the byte before it were the commonest there is.
            const std::uint64_t rarity = std::uint64_t{kCodeByteFrequency[pattern[k]]} *
                                         (withBefore ? kCodeByteFrequency[pattern[k - 1]] : 1000000u);
            if (rarity < best) best = rarity, end = k, pair = withBefore;
        }
        filter.end[s] = end;
        const auto bucket = static_cast<std::uint8_t>(s);
        accept(filter, 0, bucket, pair ? pattern[end - 1] : -1);
        accept(filter, 1, bucket, pattern[end]);
        if (!pair) filter.anyFirst |= static_cast<std::uint8_t>(1u << bucket);
    }
    return filter;
}

bool matchesAt(const std::uint8_t* at, const Signature& signature, std::size_t length) {
    for (std::size_t k = 0; k < length; ++k)
        if (signature.mask[k] != '?' && at[k] != signature.pattern[k]) return false;
    return true;
}

// The candidates of one fingerprint end: each bucket that took it, checked
// whole where its signature fits the range. True once every signature has
// two matches: nothing more can change.
bool checkEnd(const std::uint8_t* begin, const std::uint8_t* end, const Signature* signatures, const Filter& filter,
              const std::uint8_t* fingerprintEnd, unsigned buckets, EachMatch* found) {
    for (; buckets != 0; buckets &= buckets - 1) {
        const auto s = static_cast<std::size_t>(std::countr_zero(buckets));
        if (found[s].count == 2 || static_cast<std::size_t>(fingerprintEnd - begin) < filter.end[s]) continue;
        const std::uint8_t* start = fingerprintEnd - filter.end[s];
        if (static_cast<std::size_t>(end - start) < filter.length[s]) continue;
        if (!matchesAt(start, signatures[s], filter.length[s])) continue;
        if (found[s].count++ == 0) found[s].first = start;
    }
    for (std::size_t s = 0; s < filter.count; ++s)
        if (found[s].count < 2) return false;
    return true;
}

// Fingerprint ends from `at` to the range's end, a byte at a time.
void scalarTail(const std::uint8_t* begin, const std::uint8_t* end, const Signature* signatures, const Filter& filter,
                const std::uint8_t* at, EachMatch* found) {
    for (; at < end; ++at) {
        const unsigned before = at > begin ? filter.byByte[0][at[-1]] : filter.anyFirst;
        const unsigned buckets = before & filter.byByte[1][at[0]];
        if (buckets != 0 && checkEnd(begin, end, signatures, filter, at, buckets, found)) return;
    }
}

// Each vector marks, per byte, the buckets whose fingerprint ends there: the
// second byte's buckets, and the first byte's of the byte before, carried
// over from the vector before.
struct Ssse3 {
    static constexpr std::size_t kWidth = 16;

    NOZZLES_SSSE3 explicit Ssse3(const Filter& filter)
        : low0_(load(filter.low[0])),
          high0_(load(filter.high[0])),
          low1_(load(filter.low[1])),
          high1_(load(filter.high[1])),
          nibble_(_mm_set1_epi8(0x0F)),
          previous_(_mm_set1_epi8(static_cast<char>(filter.anyFirst))) {}

    NOZZLES_SSSE3 __m128i ends(const std::uint8_t* at) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        const __m128i low = _mm_and_si128(bytes, nibble_);
        const __m128i high = _mm_and_si128(_mm_srli_epi16(bytes, 4), nibble_);
        const __m128i first = _mm_and_si128(_mm_shuffle_epi8(low0_, low), _mm_shuffle_epi8(high0_, high));
        const __m128i second = _mm_and_si128(_mm_shuffle_epi8(low1_, low), _mm_shuffle_epi8(high1_, high));
        const __m128i before = _mm_alignr_epi8(first, previous_, 15);
        previous_ = first;
        return _mm_and_si128(second, before);
    }
    // The marks of a group's vectors: false when none has any; otherwise
    // each vector's buckets stored, and which of its bytes have any.
    NOZZLES_SSSE3 bool group(const std::uint8_t* at, std::uint8_t* buckets, std::uint32_t* marked) {
        constexpr std::size_t kGroup = kGroupBytes / kWidth;
        __m128i marks[kGroup];
        __m128i any = _mm_setzero_si128();
        for (std::size_t k = 0; k < kGroup; ++k) {
            marks[k] = ends(at + k * kWidth);
            any = _mm_or_si128(any, marks[k]);
        }
        const __m128i zero = _mm_setzero_si128();
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(any, zero)) == 0xFFFF) return false;
        for (std::size_t k = 0; k < kGroup; ++k) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(buckets + k * kWidth), marks[k]);
            marked[k] = ~static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(marks[k], zero))) & 0xFFFFu;
        }
        return true;
    }

private:
    NOZZLES_SSSE3 static __m128i load(const std::uint8_t* table) {
        return _mm_load_si128(reinterpret_cast<const __m128i*>(table));
    }
    __m128i low0_, high0_, low1_, high1_, nibble_, previous_;
};

struct Avx2 {
    static constexpr std::size_t kWidth = 32;

    NOZZLES_AVX2 explicit Avx2(const Filter& filter)
        : low0_(load(filter.low[0])),
          high0_(load(filter.high[0])),
          low1_(load(filter.low[1])),
          high1_(load(filter.high[1])),
          nibble_(_mm256_set1_epi8(0x0F)),
          previous_(_mm256_set1_epi8(static_cast<char>(filter.anyFirst))) {}

    NOZZLES_AVX2 __m256i ends(const std::uint8_t* at) {
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
        const __m256i low = _mm256_and_si256(bytes, nibble_);
        const __m256i high = _mm256_and_si256(_mm256_srli_epi16(bytes, 4), nibble_);
        const __m256i first = _mm256_and_si256(_mm256_shuffle_epi8(low0_, low), _mm256_shuffle_epi8(high0_, high));
        const __m256i second = _mm256_and_si256(_mm256_shuffle_epi8(low1_, low), _mm256_shuffle_epi8(high1_, high));
        // Each byte's neighbour before it, across the two lanes and from the vector before.
        const __m256i carried = _mm256_permute2x128_si256(first, previous_, 0x03);
        const __m256i before = _mm256_alignr_epi8(first, carried, 15);
        previous_ = first;
        return _mm256_and_si256(second, before);
    }
    NOZZLES_AVX2 bool group(const std::uint8_t* at, std::uint8_t* buckets, std::uint32_t* marked) {
        constexpr std::size_t kGroup = kGroupBytes / kWidth;
        __m256i marks[kGroup];
        __m256i any = _mm256_setzero_si256();
        for (std::size_t k = 0; k < kGroup; ++k) {
            marks[k] = ends(at + k * kWidth);
            any = _mm256_or_si256(any, marks[k]);
        }
        if (_mm256_testz_si256(any, any) != 0) return false;
        const __m256i zero = _mm256_setzero_si256();
        for (std::size_t k = 0; k < kGroup; ++k) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(buckets + k * kWidth), marks[k]);
            marked[k] = ~static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(marks[k], zero)));
        }
        return true;
    }

private:
    NOZZLES_AVX2 static __m256i load(const std::uint8_t* table) {
        return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(table)));
    }
    __m256i low0_, high0_, low1_, high1_, nibble_, previous_;
};

// The pass, one shape for both widths: a group of fingerprint ends tested
// with one branch, its vectors' marks looked into only where one has any.
template <typename Block>
void searchEach(const std::uint8_t* begin, const std::uint8_t* end, const Signature* signatures, const Filter& filter,
                EachMatch* found) {
    constexpr std::size_t kWidth = Block::kWidth;
    constexpr std::size_t kGroup = kGroupBytes / kWidth;
    Block block(filter);
    const std::uint8_t* at = begin;
    for (; static_cast<std::size_t>(end - at) >= kGroupBytes; at += kGroupBytes) {
        alignas(32) std::uint8_t buckets[kGroupBytes];
        std::uint32_t marked[kGroup];
        if (!block.group(at, buckets, marked)) continue;
        for (std::size_t k = 0; k < kGroup; ++k) {
            for (std::uint32_t bytes = marked[k]; bytes != 0; bytes &= bytes - 1) {
                const std::size_t j = k * kWidth + static_cast<std::size_t>(std::countr_zero(bytes));
                if (checkEnd(begin, end, signatures, filter, at + j, buckets[j], found)) return;
            }
        }
    }
    scalarTail(begin, end, signatures, filter, at, found);
}

NOZZLES_SSSE3 __attribute__((flatten)) void searchEachSsse3(const std::uint8_t* begin, const std::uint8_t* end,
                                                            const Signature* signatures, const Filter& filter,
                                                            EachMatch* found) {
    searchEach<Ssse3>(begin, end, signatures, filter, found);
}

NOZZLES_AVX2 __attribute__((flatten)) void searchEachAvx2(const std::uint8_t* begin, const std::uint8_t* end,
                                                          const Signature* signatures, const Filter& filter,
                                                          EachMatch* found) {
    searchEach<Avx2>(begin, end, signatures, filter, found);
}

}  // namespace

void findEachOneByOne(const std::uint8_t* begin, const std::uint8_t* end, const Signature* signatures,
                      std::size_t count, EachMatch* found, VectorPath path) {
    for (std::size_t s = 0; s < count; ++s) {
        for (const std::uint8_t* from = begin; found[s].count < 2 && from < end;) {
            const std::uint8_t* match = findInRange(from, end, signatures[s].mask, signatures[s].pattern, path);
            if (match == nullptr) break;
            if (found[s].count++ == 0) found[s].first = match;
            from = match + 1;  // overlapping starts count
        }
    }
}

void findEachInRange(const std::uint8_t* begin, const std::uint8_t* end, const Signature* signatures, std::size_t count,
                     EachMatch* found, VectorPath path) {
    if (begin == nullptr || end == nullptr || begin >= end || count == 0) return;
    // A signature with no fixed byte matches everywhere: nothing to filter on.
    bool eachHasFixed = count <= kMostInOnePass;
    for (std::size_t s = 0; s < count && eachHasFixed; ++s)
        eachHasFixed = std::strspn(signatures[s].mask, "?") < std::strlen(signatures[s].mask);
    if (!eachHasFixed) {
        findEachOneByOne(begin, end, signatures, count, found, path);
        return;
    }
    const Filter filter = makeFilter(signatures, count);
    if (path == VectorPath::avx2 && platform::processorHasAvx2())
        searchEachAvx2(begin, end, signatures, filter, found);
    else if (platform::processorHasSsse3())
        searchEachSsse3(begin, end, signatures, filter, found);
    else
        findEachOneByOne(begin, end, signatures, count, found, path);
}

}  // namespace memory
