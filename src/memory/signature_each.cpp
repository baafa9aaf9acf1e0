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
#define NOZZLES_AVX512 __attribute__((target("avx2,avx512f,avx512bw,avx512vbmi")))

namespace {

// This many bytes of fingerprint ends are tested with one branch.
constexpr std::size_t kGroupBytes = 128;
// How far ahead of the group being tested the 128- and 256-bit passes ask
// for the code. Their shuffles keep the processor busy enough that its own
// prefetcher falls behind, and the pass then waits on memory and on the
// shuffles in turn; four KiB ahead hid the wait where it was measured, with
// no read outside the range (the pass asks only while that far is left in
// it). The 512-bit pass does not ask: it leaves the prefetcher time enough,
// and asking made it up to a tenth slower.
constexpr std::size_t kPrefetchAhead = 4096;
// The pass goes in stretches of this many groups, 64 KiB. It tests its
// first stretch on the end and far byte first, the next on the end and near
// byte first, counting the groups that pass, and the rest on the pair that
// passed fewer: the byte table cannot tell which pair is rarer in this code,
// as bytes come together more often than their frequencies say. Each
// stretch also decides whether the next is tested on all three bytes first
// (a width's kThreeFirstAbove).
constexpr std::size_t kSampledGroups = 512;
// A count no stretch reaches: a width that never tests all three bytes first.
constexpr std::size_t kNever = SIZE_MAX;
// How far back from a fingerprint's last byte its other two may stand.
constexpr std::size_t kNearest = 4;
constexpr std::size_t kFarthest = 8;
// The rarity of a fingerprint byte that accepts anything (an open byte, or
// one before the signature's start), in the code byte table's parts per million.
constexpr std::uint64_t kAnything = 1000000;

// Which buckets accept a byte at one of the fingerprint's positions, by the
// parts of the byte that each width's shuffles index with.
struct Accepting {
    alignas(16) std::uint8_t low[16] = {};  // by its low half (the 128- and 256-bit shuffles)
    alignas(16) std::uint8_t high[16] = {};
    std::uint8_t lowSix[64] = {};   // by its low six bits (AVX-512's byte permutes)
    std::uint8_t highSix[64] = {};  // by its high six
    std::uint8_t byByte[256] = {};  // by the whole byte, for the range's first and last bytes
};

// Every signature is filtered on a fingerprint of three of its bytes: a
// fixed byte, the fingerprint's end, and the bytes `near` and `far` before
// it. The two distances are the same for the whole set; each signature's
// end is the fixed byte whose three bytes have the rarest product of code
// frequencies, and the distances are those whose fingerprints are rarest
// over the set. Each signature is a bucket: a byte is split into its two
// halves (at 512 bits, its low and its high six bits), and a table per part
// and position says which buckets accept it, so that one shuffle per part
// and position tests every signature at once, as Teddy does. Three bytes, because two leave too
// many candidates in real code, and each candidate costs more than the
// third byte's shuffles on every vector.
struct Filter {
    std::size_t count = 0;
    std::size_t length[kMostInOnePass] = {};
    std::size_t end[kMostInOnePass] = {};  // where the fingerprint's last byte stands in the signature
    std::size_t distance[2] = {1, 2};      // near, far; far first, unless the pass swaps them
    Accepting at[3];                       // the last byte, the near one, the far one
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
        Accepting& accepting = filter.at[position];
        accepting.byByte[value] |= bit;
        accepting.low[value & 15] |= bit;
        accepting.high[value >> 4] |= bit;
        accepting.lowSix[value & 63] |= bit;
        accepting.highSix[value >> 2] |= bit;
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
        const auto drop = [keep](auto& table) {
            for (auto& accepted : table) accepted &= keep;
        };
        Accepting& last = filter.at[0];
        drop(last.low), drop(last.high), drop(last.lowSix), drop(last.highSix), drop(last.byByte);
        retired = true;
    }

    // The near and the far byte trade places: the same fingerprints, tested
    // first on the end and the near byte.
    void nearFirst() {
        std::swap(filter.distance[0], filter.distance[1]);
        std::swap(filter.at[1], filter.at[2]);
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
            unsigned buckets = filter.at[0].byByte[at[0]];
            for (std::size_t p = 0; p < 2 && buckets != 0; ++p) {
                const auto back = static_cast<std::ptrdiff_t>(filter.distance[p]);
                if (at - begin >= back) buckets &= filter.at[p + 1].byByte[at[-back]];
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
// then spared (a third of the work per vector). That test stores nothing,
// so that the loop over failing groups keeps the tables in registers; a
// group that passes is looked at again, for its marks and the third byte
// (only in its vectors that have any). Where the two bytes come together
// often and the third does not follow, as in the prologues that some
// signatures are cut from, each such group costs that look again (about
// 35 ns, mostly a mispredicted branch and the work it undoes), and the
// wider widths then test all three bytes first: a stretch with more such
// groups than kThreeFirstAbove has the next tested so, as the third byte's
// test on each of its 512 groups costs about that many looks (measured:
// about 1 ns a group at 512 bits, 1.7 at 256).
struct Ssse3 {
    static constexpr std::size_t kWidth = 16;
    static constexpr bool kAsksAhead = true;
    // Never tested on all three positions first: at 128 bits the third
    // byte's loads and shuffles cost more than the groups they would spare.
    static constexpr std::size_t kThreeFirstAbove = kNever;

    NOZZLES_SSSE3 explicit Ssse3(const Filter& filter) : filter_(&filter), nibble_(_mm_set1_epi8(0x0F)) {
        for (std::size_t p = 0; p < 3; ++p) {
            low_[p] = _mm_load_si128(reinterpret_cast<const __m128i*>(filter.at[p].low));
            high_[p] = _mm_load_si128(reinterpret_cast<const __m128i*>(filter.at[p].high));
        }
    }

    NOZZLES_SSSE3 __m128i lookup(const std::uint8_t* at, std::size_t position) const {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        const __m128i low = _mm_and_si128(bytes, nibble_);
        const __m128i high = _mm_and_si128(_mm_srli_epi16(bytes, 4), nibble_);
        return _mm_and_si128(_mm_shuffle_epi8(low_[position], low), _mm_shuffle_epi8(high_[position], high));
    }

    // The buckets of the vector's ends on the two positions tested first.
    NOZZLES_SSSE3 __m128i first(const std::uint8_t* ends) const {
        return _mm_and_si128(lookup(ends, 0), lookup(ends - filter_->distance[1], 2));
    }

    // Whether any end of the group passes the first test. Unrolled by half:
    // unrolled whole, the group's loads ran ahead of the registers and spilled.
    template <bool kThree>
    NOZZLES_SSSE3 bool passes(const std::uint8_t* at, std::size_t&) const {
        static_assert(!kThree, "the 128-bit pass tests two positions first");
        __m128i any = _mm_setzero_si128();
#pragma GCC unroll 4
        for (std::size_t k = 0; k < kGroupBytes / kWidth; ++k) any = _mm_or_si128(any, first(at + k * kWidth));
        return _mm_movemask_epi8(_mm_cmpeq_epi8(any, _mm_setzero_si128())) != 0xFFFF;
    }

    // A vector's buckets on all three positions, and which of its bytes have any.
    NOZZLES_SSSE3 std::uint64_t marks(const std::uint8_t* ends, std::uint8_t* buckets) const {
        const __m128i zero = _mm_setzero_si128();
        __m128i marks = first(ends);
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(marks, zero)) == 0xFFFF) return 0;
        marks = _mm_and_si128(marks, lookup(ends - filter_->distance[0], 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(buckets), marks);
        return ~static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(marks, zero))) & 0xFFFFu;
    }

private:
    const Filter* filter_;
    __m128i nibble_;
    __m128i low_[3];
    __m128i high_[3];
};

struct Avx2 {
    static constexpr std::size_t kWidth = 32;
    static constexpr bool kAsksAhead = true;
    static constexpr std::size_t kThreeFirstAbove = 24;

    NOZZLES_AVX2 explicit Avx2(const Filter& filter) : filter_(&filter), nibble_(_mm256_set1_epi8(0x0F)) {
        for (std::size_t p = 0; p < 3; ++p) {
            low_[p] = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(filter.at[p].low)));
            high_[p] = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(filter.at[p].high)));
        }
    }

    NOZZLES_AVX2 __m256i lookup(const std::uint8_t* at, std::size_t position) const {
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
        const __m256i low = _mm256_and_si256(bytes, nibble_);
        const __m256i high = _mm256_and_si256(_mm256_srli_epi16(bytes, 4), nibble_);
        return _mm256_and_si256(_mm256_shuffle_epi8(low_[position], low), _mm256_shuffle_epi8(high_[position], high));
    }

    NOZZLES_AVX2 __m256i first(const std::uint8_t* ends) const {
        return _mm256_and_si256(lookup(ends, 0), lookup(ends - filter_->distance[1], 2));
    }

    // Tested on all three positions, a group that fails counts in `pairOnly`
    // if two of them took one of its ends.
    template <bool kThree>
    NOZZLES_AVX2 bool passes(const std::uint8_t* at, std::size_t& pairOnly) const {
        __m256i any = _mm256_setzero_si256(), pair = any;
#pragma GCC unroll 2
        for (std::size_t k = 0; k < kGroupBytes / kWidth; ++k) {
            __m256i marks = first(at + k * kWidth);
            if constexpr (kThree) {
                pair = _mm256_or_si256(pair, marks);
                marks = _mm256_and_si256(marks, lookup(at + k * kWidth - filter_->distance[0], 1));
            }
            any = _mm256_or_si256(any, marks);
        }
        const bool passed = _mm256_testz_si256(any, any) == 0;
        if constexpr (kThree) pairOnly += !passed && _mm256_testz_si256(pair, pair) == 0;
        return passed;
    }

    NOZZLES_AVX2 std::uint64_t marks(const std::uint8_t* ends, std::uint8_t* buckets) const {
        __m256i marks = first(ends);
        if (_mm256_testz_si256(marks, marks) != 0) return 0;
        marks = _mm256_and_si256(marks, lookup(ends - filter_->distance[0], 1));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(buckets), marks);
        return ~static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(marks, _mm256_setzero_si256())));
    }

private:
    const Filter* filter_;
    __m256i nibble_;
    __m256i low_[3];
    __m256i high_[3];
};

// AVX-512's byte permutes index a 64-byte table with six bits: a position's
// two lookups read the byte's low six bits and its high six, with no mask to
// apply first, and the marks test straight into mask registers. Six
// instructions a position per 64 bytes, where the 256-bit shuffles take
// fourteen (and 512-bit shuffles on half bytes would cost as much again:
// they issue at half the rate of 256-bit ones where this was measured).
struct Avx512 {
    static constexpr std::size_t kWidth = 64;
    static constexpr bool kAsksAhead = false;
    static constexpr std::size_t kThreeFirstAbove = 16;

    NOZZLES_AVX512 explicit Avx512(const Filter& filter) : filter_(&filter) {
        for (std::size_t p = 0; p < 3; ++p) {
            low_[p] = _mm512_loadu_si512(filter.at[p].lowSix);
            high_[p] = _mm512_loadu_si512(filter.at[p].highSix);
        }
    }

    // The permute reads only the index's low six bits: the bytes as they
    // are, then shifted by two within each 16-bit lane (each byte's top two
    // bits then hold its neighbour's, which it does not read).
    NOZZLES_AVX512 __m512i lookup(const std::uint8_t* at, std::size_t position) const {
        const __m512i bytes = _mm512_loadu_si512(at);
        return _mm512_and_si512(permute(low_[position], bytes), permute(high_[position], _mm512_srli_epi16(bytes, 2)));
    }

    NOZZLES_AVX512 __m512i first(const std::uint8_t* ends) const {
        return _mm512_and_si512(lookup(ends, 0), lookup(ends - filter_->distance[1], 2));
    }

    template <bool kThree>
    NOZZLES_AVX512 bool passes(const std::uint8_t* at, std::size_t& pairOnly) const {
        __m512i any = _mm512_setzero_si512(), pair = any;
#pragma GCC unroll 2
        for (std::size_t k = 0; k < kGroupBytes / kWidth; ++k) {
            __m512i marks = first(at + k * kWidth);
            if constexpr (kThree) {
                pair = _mm512_or_si512(pair, marks);
                marks = _mm512_and_si512(marks, lookup(at + k * kWidth - filter_->distance[0], 1));
            }
            any = _mm512_or_si512(any, marks);
        }
        const bool passed = _mm512_test_epi8_mask(any, any) != 0;
        if constexpr (kThree) pairOnly += !passed && _mm512_test_epi8_mask(pair, pair) != 0;
        return passed;
    }

    NOZZLES_AVX512 std::uint64_t marks(const std::uint8_t* ends, std::uint8_t* buckets) const {
        __m512i marks = first(ends);
        if (_mm512_test_epi8_mask(marks, marks) == 0) return 0;
        marks = _mm512_and_si512(marks, lookup(ends - filter_->distance[0], 1));
        _mm512_storeu_si512(buckets, marks);
        return _mm512_test_epi8_mask(marks, marks);
    }

private:
    // The permute with every byte kept: the unmasked form's pass-through is
    // an undefined value that GCC takes for an uninitialised read.
    NOZZLES_AVX512 static __m512i permute(__m512i table, __m512i index) {
        return _mm512_maskz_permutexvar_epi8(~__mmask64{0}, index, table);
    }

    const Filter* filter_;
    __m512i low_[3];
    __m512i high_[3];
};

// From `at`, past the groups that fail the first test, to the first that
// passes, or to where less than a group is left before `to`; tested on all
// three positions, it adds the groups it passed over that two of them took
// to `pairOnly`. Its own loop, with no call in it, so that the compiler
// keeps the block's tables in registers: with the checks' calls in the same
// loop it kept them on the stack and loaded them for every group.
template <bool kThree, typename Block>
const std::uint8_t* pastFailing(const Block& block, const std::uint8_t* at, const std::uint8_t* to,
                                const std::uint8_t* end, std::size_t& pairOnly) {
    std::size_t counted = 0;  // in a register, not through the reference
    for (; static_cast<std::size_t>(to - at) >= kGroupBytes; at += kGroupBytes) {
        if (Block::kAsksAhead && static_cast<std::size_t>(end - at) > kPrefetchAhead + kGroupBytes) {
            _mm_prefetch(reinterpret_cast<const char*>(at + kPrefetchAhead), _MM_HINT_T0);
            _mm_prefetch(reinterpret_cast<const char*>(at + kPrefetchAhead + 64), _MM_HINT_T0);
        }
        if (block.template passes<kThree>(at, counted)) break;
    }
    pairOnly += counted;
    return at;
}

// The pass, one shape for every width: the first fingerprint ends byte by
// byte (their far bytes would lie before the range), then groups of ends
// tested with one branch, the rare group that passes looked into, in
// stretches of 64 KiB (the two samples, then the rest, each deciding how the
// next is tested first), and the last ends byte by byte. Every load stays
// inside [begin, end).
template <typename Block>
void searchEach(Pass& pass) {
    constexpr std::size_t kWidth = Block::kWidth;
    Block block(pass.filter);
    const std::size_t lead = pass.filter.distance[1];
    const std::uint8_t* at = pass.begin + (lead < static_cast<std::size_t>(pass.end - pass.begin)
                                               ? lead
                                               : static_cast<std::size_t>(pass.end - pass.begin));
    if (pass.bytes(pass.begin, at)) return;
    // Stretches of 64 KiB: the far byte's sample, the near byte's, then the
    // rest. Each stretch's groups that passed on two positions but had no end
    // that all three took decide whether the next is tested on all three first.
    std::size_t passing[2] = {};        // groups that passed the first test in each sample
    std::size_t pairsInSample[2] = {};  // of those, the groups with no end that all three bytes took
    bool three = false;
    for (std::size_t stretch = 0;; ++stretch) {
        const auto left = static_cast<std::size_t>(pass.end - at);
        const std::uint8_t* to = left > 2 * kSampledGroups * kGroupBytes ? at + kSampledGroups * kGroupBytes : pass.end;
        std::size_t passes = 0, pairOnly = 0;  // groups that two bytes took and no end all three
        for (;;) {
            if constexpr (Block::kThreeFirstAbove == kNever)
                at = pastFailing<false>(block, at, to, pass.end, pairOnly);
            else
                at = three ? pastFailing<true>(block, at, to, pass.end, pairOnly)
                           : pastFailing<false>(block, at, to, pass.end, pairOnly);
            if (static_cast<std::size_t>(to - at) < kGroupBytes) break;
            ++passes;
            bool marked = false;
            for (std::size_t k = 0; k < kGroupBytes / kWidth; ++k) {
                std::uint8_t buckets[kWidth];
                std::uint64_t bytes = block.marks(at + k * kWidth, buckets);
                marked |= bytes != 0;
                for (; bytes != 0; bytes &= bytes - 1) {
                    const auto j = static_cast<std::size_t>(std::countr_zero(bytes));
                    if (pass.check(at + k * kWidth + j, buckets[j])) return;
                }
            }
            pairOnly += !marked;
            if (pass.retired) block = Block(pass.filter), pass.retired = false;
            at += kGroupBytes;
        }
        if (to == pass.end) break;
        if (stretch < 2) {
            passing[stretch] = passes, pairsInSample[stretch] = pairOnly;
            if (stretch == 0 || passing[1] >= passing[0]) pass.nearFirst(), block = Block(pass.filter);
            if (stretch == 0) continue;
            pairOnly = pairsInSample[passing[1] < passing[0] ? 1 : 0];
        }
        three = pairOnly > Block::kThreeFirstAbove;
    }
    pass.bytes(at, pass.end);
}

NOZZLES_SSSE3 __attribute__((flatten)) void searchEachSsse3(Pass& pass) { searchEach<Ssse3>(pass); }

NOZZLES_AVX2 __attribute__((flatten)) void searchEachAvx2(Pass& pass) { searchEach<Avx2>(pass); }

NOZZLES_AVX512 __attribute__((flatten)) void searchEachAvx512(Pass& pass) { searchEach<Avx512>(pass); }

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
    if (path == VectorPath::avx512 && platform::processorHasAvx512())
        searchEachAvx512(pass);
    else if (path != VectorPath::sse2 && platform::processorHasAvx2())
        searchEachAvx2(pass);
    else if (platform::processorHasSsse3())
        searchEachSsse3(pass);
    else
        findEachOneByOne(begin, end, signatures, count, found, path);
}

}  // namespace memory
