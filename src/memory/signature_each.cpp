#include <emmintrin.h>
#include <immintrin.h>
#include <tmmintrin.h>

#include <bit>
#include <cstring>
#include <utility>

#include "memory/code_bytes.h"
#include "memory/signature.h"
#include "platform/platform.h"

namespace memory {

#define NOZZLES_AVX2 __attribute__((target("avx2")))
#define NOZZLES_SSSE3 __attribute__((target("ssse3")))

namespace {

// This many bytes of fingerprint ends are tested with one branch.
constexpr std::size_t kGroupBytes = 128;
// How far ahead of the group being tested the pass asks for the code. The
// filter's shuffles keep the processor busy enough that its own prefetcher
// falls behind, and the pass then waits on memory and on the shuffles in
// turn; four KiB ahead hid the wait where it was measured, with no read
// outside the range (the pass asks only while that far is left in it).
constexpr std::size_t kPrefetchAhead = 4096;
// The pass tests its first groups on the end and far byte first, as many
// again on the end and near byte first, counting the groups that pass, and
// the rest on the pair that passed fewer: the byte table cannot tell which
// pair is rarer in this code, as bytes come together more often than their
// frequencies say. 64 KiB each.
constexpr std::size_t kSampledGroups = 512;
// How far back from a fingerprint's last byte its other two may stand.
constexpr std::size_t kNearest = 4;
constexpr std::size_t kFarthest = 8;
// The rarity of a fingerprint byte that accepts anything (an open byte, or
// one before the signature's start), in the code byte table's parts per million.
constexpr std::uint64_t kAnything = 1000000;

// Every signature is filtered on a fingerprint of three of its bytes: a
// fixed byte, the fingerprint's end, and the bytes `near` and `far` before
// it. The two distances are the same for the whole set; each signature's
// end is the fixed byte whose three bytes have the rarest product of code
// frequencies, and the distances are those whose fingerprints are rarest
// over the set. Each signature is a bucket: a byte is split into
// its two halves, and a table per half and position says which buckets
// accept it, so that one shuffle per half and position tests every
// signature at once, as Teddy does. Three bytes, because two leave too
// many candidates in real code, and each candidate costs more than the
// third byte's shuffles on every vector.
struct Filter {
    std::size_t count = 0;
    std::size_t length[kMostInOnePass] = {};
    std::size_t end[kMostInOnePass] = {};  // where the fingerprint's last byte stands in the signature
    std::size_t distance[2] = {1, 2};      // near, far; far first, unless the pass swaps them
    // Per position (the last byte, the near one, the far one), per half byte.
    alignas(16) std::uint8_t low[3][16] = {};
    alignas(16) std::uint8_t high[3][16] = {};
    std::uint8_t byByte[3][256] = {};  // the same per whole byte, for the range's first and last bytes
    // Per signature, the eight bytes with the most fixed ones, `window` into
    // it, as a word to compare and a mask of its fixed bytes: one compare
    // turns most candidates away, before the byte-by-byte check.
    std::size_t window[kMostInOnePass] = {};
    std::uint64_t windowBytes[kMostInOnePass] = {};
    std::uint64_t windowFixed[kMostInOnePass] = {};
};

void accept(Filter& filter, std::size_t position, std::size_t bucket, int byte) {
    const auto bit = static_cast<std::uint8_t>(1u << bucket);
    for (int value = 0; value < 256; ++value) {
        if (byte >= 0 && value != byte) continue;
        filter.byByte[position][value] |= bit;
        filter.low[position][value & 15] |= bit;
        filter.high[position][value >> 4] |= bit;
    }
}

// The fixed byte at k of the signature, or -1 for anything.
int fixedAt(const Signature& signature, std::ptrdiff_t k) {
    return k >= 0 && signature.mask[k] != '?' ? signature.pattern[k] : -1;
}

std::uint64_t rarity(int byte) { return byte < 0 ? kAnything : kCodeByteFrequency[byte]; }

// The rarest fingerprint of the signature for the two distances, and where its last byte stands.
std::uint64_t rarestFingerprint(const Signature& signature, std::size_t length, const std::size_t* distance,
                                std::size_t& end) {
    std::uint64_t best = UINT64_MAX;
    for (std::size_t k = 0; k < length; ++k) {
        if (signature.mask[k] == '?') continue;
        const auto at = static_cast<std::ptrdiff_t>(k);
        const std::uint64_t value = rarity(fixedAt(signature, at)) *
                                    rarity(fixedAt(signature, at - static_cast<std::ptrdiff_t>(distance[0]))) *
                                    rarity(fixedAt(signature, at - static_cast<std::ptrdiff_t>(distance[1])));
        if (value < best) best = value, end = k;
    }
    return best;
}

// The word of the eight bytes at `at`, as the processor's load gives it.
std::uint64_t wordAt(const std::uint8_t* at) {
    std::uint64_t word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

// A signature of eight bytes or more: its window of eight with the most fixed bytes.
void chooseWindow(Filter& filter, std::size_t s, const Signature& signature) {
    constexpr std::size_t kWord = sizeof(std::uint64_t);
    if (filter.length[s] < kWord) return;
    std::size_t most = 0;
    for (std::size_t at = 0; at + kWord <= filter.length[s]; ++at) {
        std::size_t fixed = 0;
        for (std::size_t k = at; k < at + kWord; ++k) fixed += signature.mask[k] != '?';
        if (fixed > most) most = fixed, filter.window[s] = at;
    }
    std::uint8_t bytes[kWord] = {}, fixed[kWord] = {};
    for (std::size_t k = 0; k < kWord; ++k) {
        if (signature.mask[filter.window[s] + k] == '?') continue;
        bytes[k] = signature.pattern[filter.window[s] + k];
        fixed[k] = 0xFF;
    }
    filter.windowBytes[s] = wordAt(bytes);
    filter.windowFixed[s] = wordAt(fixed);
}

Filter makeFilter(const Signature* signatures, std::size_t count) {
    Filter filter;
    filter.count = count;
    for (std::size_t s = 0; s < count; ++s) filter.length[s] = std::strlen(signatures[s].mask);
    const Fingerprints fingerprints = fingerprintsOf(signatures, count);
    filter.distance[0] = fingerprints.distance[0];
    filter.distance[1] = fingerprints.distance[1];
    for (std::size_t s = 0; s < count; ++s) {
        filter.end[s] = fingerprints.end[s];
        chooseWindow(filter, s, signatures[s]);
        const auto end = static_cast<std::ptrdiff_t>(filter.end[s]);
        accept(filter, 0, s, fixedAt(signatures[s], end));
        for (std::size_t p = 0; p < 2; ++p)
            accept(filter, p + 1, s, fixedAt(signatures[s], end - static_cast<std::ptrdiff_t>(filter.distance[p])));
    }
    return filter;
}

// The search's state: the filter, and each signature's matches so far.
struct Pass {
    const std::uint8_t* begin;
    const std::uint8_t* end;
    const Signature* signatures;
    Filter& filter;
    EachMatch* found;
    std::size_t settled = 0;  // signatures with two matches: nothing more can change for them
    bool retired = false;     // a signature left the filter since the vector tables were loaded

    // A signature seen twice has its answer: its bucket leaves the filter,
    // so that its later matches cost no checks, and groups that only it
    // marked pass unlooked-into. Its end position accepts nothing any more.
    void retire(std::size_t s) {
        const auto keep = static_cast<std::uint8_t>(~(1u << s));
        for (auto& accepted : filter.byByte[0]) accepted &= keep;
        for (std::size_t half = 0; half < 16; ++half) {
            filter.low[0][half] &= keep;
            filter.high[0][half] &= keep;
        }
        retired = true;
    }

    // The near and the far byte trade places: the same fingerprints, tested
    // first on the end and the near byte.
    void nearFirst() {
        std::swap(filter.distance[0], filter.distance[1]);
        std::swap(filter.low[1], filter.low[2]);
        std::swap(filter.high[1], filter.high[2]);
        std::swap(filter.byByte[1], filter.byByte[2]);
    }

    // The candidates of one fingerprint end: each bucket that took it,
    // checked whole where its signature fits the range. True once every
    // signature has two matches.
    bool check(const std::uint8_t* fingerprintEnd, unsigned buckets) {
        for (; buckets != 0; buckets &= buckets - 1) {
            const auto s = static_cast<std::size_t>(std::countr_zero(buckets));
            if (found[s].count == 2 || static_cast<std::size_t>(fingerprintEnd - begin) < filter.end[s]) continue;
            const std::uint8_t* start = fingerprintEnd - filter.end[s];
            if (static_cast<std::size_t>(end - start) < filter.length[s]) continue;
            if (filter.length[s] >= sizeof(std::uint64_t) &&
                ((wordAt(start + filter.window[s]) ^ filter.windowBytes[s]) & filter.windowFixed[s]) != 0)
                continue;
            if (!matchesAt(start, signatures[s].mask, signatures[s].pattern, filter.length[s])) continue;
            if (found[s].count++ == 0) found[s].first = start;
            if (found[s].count == 2) ++settled, retire(s);
        }
        return settled == filter.count;
    }

    // Fingerprint ends from `at` to `to`, a byte at a time; a byte before the
    // range accepts anything, as the signature's start is checked anyway.
    bool bytes(const std::uint8_t* at, const std::uint8_t* to) {
        for (; at < to; ++at) {
            unsigned buckets = filter.byByte[0][at[0]];
            for (std::size_t p = 0; p < 2 && buckets != 0; ++p) {
                const auto back = static_cast<std::ptrdiff_t>(filter.distance[p]);
                if (at - begin >= back) buckets &= filter.byByte[p + 1][at[-back]];
            }
            if (buckets != 0 && check(at, buckets)) return true;
        }
        return false;
    }
};

// Per byte of a vector of fingerprint ends, the buckets whose three bytes
// all match. A group is tested on two of the positions first, the end and
// the byte at distance[1] (the far one, unless the pass swapped them): in
// code most groups fail there, and the third byte's loads and shuffles are
// then spared (a third of the work per vector). The marks of the two are
// kept, so that a group that passes costs only the third byte, and only in
// its vectors that have any.
struct Ssse3 {
    static constexpr std::size_t kWidth = 16;

    NOZZLES_SSSE3 explicit Ssse3(const Filter& filter) : filter_(&filter), nibble_(_mm_set1_epi8(0x0F)) {
        for (std::size_t p = 0; p < 3; ++p) {
            low_[p] = _mm_load_si128(reinterpret_cast<const __m128i*>(filter.low[p]));
            high_[p] = _mm_load_si128(reinterpret_cast<const __m128i*>(filter.high[p]));
        }
    }

    NOZZLES_SSSE3 __m128i lookup(const std::uint8_t* at, std::size_t position) const {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        const __m128i low = _mm_and_si128(bytes, nibble_);
        const __m128i high = _mm_and_si128(_mm_srli_epi16(bytes, 4), nibble_);
        return _mm_and_si128(_mm_shuffle_epi8(low_[position], low), _mm_shuffle_epi8(high_[position], high));
    }

    // The group's marks: false when none has any; otherwise each vector's
    // buckets, and which of its bytes have any. `passing` counts the groups
    // that pass the first test.
    NOZZLES_SSSE3 bool group(const std::uint8_t* at, std::uint8_t* buckets, std::uint32_t* marked,
                             std::size_t& passing) const {
        constexpr std::size_t kGroup = kGroupBytes / kWidth;
        __m128i marks[kGroup];
        __m128i any = _mm_setzero_si128();
#pragma GCC unroll 8
        for (std::size_t k = 0; k < kGroup; ++k) {
            const std::uint8_t* ends = at + k * kWidth;
            marks[k] = _mm_and_si128(lookup(ends, 0), lookup(ends - filter_->distance[1], 2));
            any = _mm_or_si128(any, marks[k]);
        }
        const __m128i zero = _mm_setzero_si128();
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(any, zero)) == 0xFFFF) return false;
        ++passing;
        // The rare group that passes: the third byte, in the vectors that need it.
        bool some = false;
        for (std::size_t k = 0; k < kGroup; ++k) {
            marked[k] = 0;
            if (_mm_movemask_epi8(_mm_cmpeq_epi8(marks[k], zero)) == 0xFFFF) continue;
            marks[k] = _mm_and_si128(marks[k], lookup(at + k * kWidth - filter_->distance[0], 1));
            marked[k] = ~static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(marks[k], zero))) & 0xFFFFu;
            _mm_storeu_si128(reinterpret_cast<__m128i*>(buckets + k * kWidth), marks[k]);
            some = some || marked[k] != 0;
        }
        return some;
    }

private:
    const Filter* filter_;
    __m128i nibble_;
    __m128i low_[3];
    __m128i high_[3];
};

struct Avx2 {
    static constexpr std::size_t kWidth = 32;

    NOZZLES_AVX2 explicit Avx2(const Filter& filter) : filter_(&filter), nibble_(_mm256_set1_epi8(0x0F)) {
        for (std::size_t p = 0; p < 3; ++p) {
            low_[p] = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(filter.low[p])));
            high_[p] = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(filter.high[p])));
        }
    }

    NOZZLES_AVX2 __m256i lookup(const std::uint8_t* at, std::size_t position) const {
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
        const __m256i low = _mm256_and_si256(bytes, nibble_);
        const __m256i high = _mm256_and_si256(_mm256_srli_epi16(bytes, 4), nibble_);
        return _mm256_and_si256(_mm256_shuffle_epi8(low_[position], low), _mm256_shuffle_epi8(high_[position], high));
    }

    NOZZLES_AVX2 bool group(const std::uint8_t* at, std::uint8_t* buckets, std::uint32_t* marked,
                            std::size_t& passing) const {
        constexpr std::size_t kGroup = kGroupBytes / kWidth;
        __m256i marks[kGroup];
        __m256i any = _mm256_setzero_si256();
#pragma GCC unroll 4
        for (std::size_t k = 0; k < kGroup; ++k) {
            const std::uint8_t* ends = at + k * kWidth;
            marks[k] = _mm256_and_si256(lookup(ends, 0), lookup(ends - filter_->distance[1], 2));
            any = _mm256_or_si256(any, marks[k]);
        }
        if (_mm256_testz_si256(any, any) != 0) return false;
        ++passing;
        // The rare group that passes: the third byte, in the vectors that need it.
        const __m256i zero = _mm256_setzero_si256();
        bool some = false;
        for (std::size_t k = 0; k < kGroup; ++k) {
            marked[k] = 0;
            if (_mm256_testz_si256(marks[k], marks[k]) != 0) continue;
            marks[k] = _mm256_and_si256(marks[k], lookup(at + k * kWidth - filter_->distance[0], 1));
            marked[k] = ~static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(marks[k], zero)));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(buckets + k * kWidth), marks[k]);
            some = some || marked[k] != 0;
        }
        return some;
    }

private:
    const Filter* filter_;
    __m256i nibble_;
    __m256i low_[3];
    __m256i high_[3];
};

// The pass, one shape for both widths: the first fingerprint ends byte by
// byte (their far bytes would lie before the range), then groups of ends
// tested with one branch, their marks looked into only where one has any,
// in three stretches (the two samples and the rest), and the last ends
// byte by byte. Every load stays inside [begin, end).
template <typename Block>
void searchEach(Pass& pass) {
    constexpr std::size_t kWidth = Block::kWidth;
    constexpr std::size_t kGroup = kGroupBytes / kWidth;
    Block block(pass.filter);
    const std::size_t lead = pass.filter.distance[1];
    const std::uint8_t* at = pass.begin + (lead < static_cast<std::size_t>(pass.end - pass.begin)
                                               ? lead
                                               : static_cast<std::size_t>(pass.end - pass.begin));
    if (pass.bytes(pass.begin, at)) return;
    // Three stretches: the far byte's sample, the near byte's, and the rest.
    std::size_t passing[2] = {};  // groups that passed the first test in each sample
    for (std::size_t stretch = 0; stretch < 3; ++stretch) {
        const auto left = static_cast<std::size_t>(pass.end - at);
        const std::uint8_t* to =
            stretch < 2 && left > kSampledGroups * kGroupBytes ? at + kSampledGroups * kGroupBytes : pass.end;
        std::size_t passes = 0;
        for (; static_cast<std::size_t>(to - at) >= kGroupBytes; at += kGroupBytes) {
            alignas(32) std::uint8_t buckets[kGroupBytes];
            std::uint32_t marked[kGroup];
            if (static_cast<std::size_t>(pass.end - at) > kPrefetchAhead + kGroupBytes) {
                _mm_prefetch(reinterpret_cast<const char*>(at + kPrefetchAhead), _MM_HINT_T0);
                _mm_prefetch(reinterpret_cast<const char*>(at + kPrefetchAhead + 64), _MM_HINT_T0);
            }
            if (!block.group(at, buckets, marked, passes)) continue;
            for (std::size_t k = 0; k < kGroup; ++k) {
                for (std::uint32_t bytes = marked[k]; bytes != 0; bytes &= bytes - 1) {
                    const std::size_t j = k * kWidth + static_cast<std::size_t>(std::countr_zero(bytes));
                    if (pass.check(at + j, buckets[j])) return;
                }
            }
            if (pass.retired) block = Block(pass.filter), pass.retired = false;
        }
        if (to == pass.end) break;
        passing[stretch] = passes;
        if (stretch == 0 || passing[1] >= passing[0]) pass.nearFirst(), block = Block(pass.filter);
    }
    pass.bytes(at, pass.end);
}

NOZZLES_SSSE3 __attribute__((flatten)) void searchEachSsse3(Pass& pass) { searchEach<Ssse3>(pass); }

NOZZLES_AVX2 __attribute__((flatten)) void searchEachAvx2(Pass& pass) { searchEach<Avx2>(pass); }

}  // namespace

Fingerprints fingerprintsOf(const Signature* signatures, std::size_t count) {
    Fingerprints chosen;
    std::size_t length[kMostInOnePass] = {};
    for (std::size_t s = 0; s < count && s < kMostInOnePass; ++s) length[s] = std::strlen(signatures[s].mask);
    count = count < kMostInOnePass ? count : kMostInOnePass;
    // The two distances whose fingerprints are rarest over the whole set.
    std::uint64_t best = UINT64_MAX;
    for (std::size_t near = 1; near <= kNearest; ++near) {
        for (std::size_t far = near + 1; far <= kFarthest; ++far) {
            const std::size_t distance[2] = {near, far};
            std::uint64_t sum = 0;
            for (std::size_t s = 0; s < count; ++s) {
                std::size_t end = 0;
                sum += rarestFingerprint(signatures[s], length[s], distance, end) / count;
            }
            if (sum < best) best = sum, chosen.distance[0] = near, chosen.distance[1] = far;
        }
    }
    for (std::size_t s = 0; s < count; ++s) rarestFingerprint(signatures[s], length[s], chosen.distance, chosen.end[s]);
    return chosen;
}

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
    // More than one pass filters for: a pass for each eight.
    if (count > kMostInOnePass) {
        for (std::size_t from = 0; from < count; from += kMostInOnePass)
            findEachInRange(begin, end, signatures + from,
                            count - from < kMostInOnePass ? count - from : kMostInOnePass, found + from, path);
        return;
    }
    // A signature with no fixed byte matches everywhere: nothing to filter on.
    bool eachHasFixed = true;
    for (std::size_t s = 0; s < count && eachHasFixed; ++s)
        eachHasFixed = std::strspn(signatures[s].mask, "?") < std::strlen(signatures[s].mask);
    if (!eachHasFixed) {
        findEachOneByOne(begin, end, signatures, count, found, path);
        return;
    }
    Filter filter = makeFilter(signatures, count);
    Pass pass{begin, end, signatures, filter, found};
    for (std::size_t s = 0; s < count; ++s)
        if (found[s].count == 2) ++pass.settled, pass.retire(s);
    if (pass.settled == count) return;
    if (path == VectorPath::avx2 && platform::processorHasAvx2())
        searchEachAvx2(pass);
    else if (platform::processorHasSsse3())
        searchEachSsse3(pass);
    else
        findEachOneByOne(begin, end, signatures, count, found, path);
}

}  // namespace memory
