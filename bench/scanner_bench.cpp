// Throughput of the signature search on four images, for each signature and
// both vector paths. The images are about the size of a game's image:
//   synthetic      64 MiB with x86-64 byte statistics and a signature prefix
//                  every 16 to 80 bytes;
//   dense          64 MiB of code-like bytes with a near-miss every 200 to
//                  300 bytes: a copy with one fixed byte changed, or a prefix;
//   real-code      the executable sections of Wine's modules (--code=FILE,
//                  which `make bench` extracts with tools/code-byte-frequencies);
//   msvc-code      the executable sections of an MSVC-built program
//                  (--msvc-code=FILE: duckdb's, which `make bench` fetches);
//   no-candidates  64 MiB of code-like bytes none of which a signature fixes.
// Every image is searched in full: no signature occurs in any of them.
// Beside each search: a plain streaming read of the same bytes at the same
// vector width (an OR over every byte: no search can go faster than the bytes
// can be read), the floor of a two-anchor filter (the search's work per
// vector where candidates are rare, with one load instead of two), memchr for
// information, the byte-at-a-time pass the search replaced, and libhat, the
// public signature scanner, with both of its x86-64 hints, when its source
// was found at configure time (it runs the widest vectors the processor has).
// Prints, per image, path and signature: GB/s, the shares of the plain read
// and of the floor, the ratio to libhat's better hint and the multiple of the
// byte-at-a-time pass; with --benchmark_repetitions, the medians.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <emmintrin.h>
#include <immintrin.h>

#if defined(NOZZLES_WITH_LIBHAT)
#include <libhat/scanner.hpp>
#endif

#include "baseline_scan.h"
#include "memory/code_bytes.h"
#include "memory/game_signatures.h"
#include "memory/signature.h"

namespace {

constexpr std::size_t kImageSize = 64u << 20;

struct NamedSignature {
    const char* name;
    memory::Signature signature;
    std::size_t length;
};

// The plug-in's own entry signatures, as its header holds them.
const auto kSignatures = [] {
    std::array<NamedSignature, std::size(memory::kGameSignatures)> all{};
    for (std::size_t k = 0; k < all.size(); ++k) {
        const memory::SignatureSet& set = *memory::kGameSignatures[k];
        const memory::Signature entry = *set.entry();
        all[k] = {set.name, entry, std::strlen(entry.mask)};
    }
    return all;
}();

struct Image {
    std::string name;
    std::vector<std::uint8_t> bytes;
    std::uint8_t absent = 0;  // a byte value the image does not hold, for memchr
};

bool fixedInASignature(std::uint8_t value) {
    for (const NamedSignature& s : kSignatures)
        for (std::size_t k = 0; k < s.length; ++k)
            if (s.signature.mask[k] != '?' && s.signature.pattern[k] == value) return true;
    return false;
}

// Bytes drawn with the frequencies measured on real code.
std::vector<std::uint8_t> codeLikeBytes(std::mt19937_64& random, bool withoutSignatureBytes) {
    std::vector<std::uint32_t> weights(std::begin(memory::kCodeByteFrequency), std::end(memory::kCodeByteFrequency));
    if (withoutSignatureBytes)
        for (int value = 0; value < 256; ++value)
            if (fixedInASignature(static_cast<std::uint8_t>(value))) weights[static_cast<std::size_t>(value)] = 0;
    std::discrete_distribution<int> pick(weights.begin(), weights.end());
    std::vector<std::uint8_t> bytes(kImageSize);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(pick(random));
    return bytes;
}

// Bytes with the skew of x86-64 code and, every few dozen bytes, the first
// bytes of one of the signatures, so that partial matches are common.
std::vector<std::uint8_t> syntheticBytes(std::mt19937_64& random) {
    std::vector<std::uint8_t> image(kImageSize);
    const std::pair<std::uint8_t, int> common[] = {
        {0x00, 120}, {0x48, 60}, {0x8B, 60}, {0x89, 40}, {0xFF, 40}, {0x4C, 30}, {0x83, 30}, {0x0F, 20}, {0xE8, 20},
        {0x24, 20},  {0x44, 20}, {0x8D, 20}, {0xCC, 20}, {0x41, 15}, {0xC1, 15}, {0x85, 15}, {0x74, 15}, {0x75, 15},
        {0x49, 10},  {0xC3, 10}, {0x90, 10}, {0x33, 10}, {0xF9, 5},  {0xFA, 5},  {0x77, 5},  {0xC9, 5}};
    std::vector<std::uint8_t> table;
    for (const auto& [byte, weight] : common) table.insert(table.end(), static_cast<std::size_t>(weight), byte);
    while (table.size() < 1024) table.push_back(static_cast<std::uint8_t>(random()));
    for (auto& byte : image) byte = table[random() % table.size()];
    for (std::size_t at = 0; at + 32 < kImageSize; at += 16 + random() % 64) {
        const NamedSignature& s = kSignatures[random() % 3];
        std::memcpy(image.data() + at, s.signature.pattern, 1 + random() % (s.length - 1));
    }
    return image;
}

// Code-like bytes with a near-miss every 200 to 300 bytes on average: a copy
// of a signature with one fixed byte changed, or a prefix of random depth.
std::vector<std::uint8_t> denseBytes(std::mt19937_64& random) {
    std::vector<std::uint8_t> image = codeLikeBytes(random, false);
    for (std::size_t at = random() % 256; at + 32 < kImageSize; at += 150 + random() % 201) {
        const NamedSignature& s = kSignatures[random() % 3];
        if (random() % 2 == 0) {
            std::memcpy(image.data() + at, s.signature.pattern, s.length);
            std::size_t k = 0;
            do k = random() % s.length;
            while (s.signature.mask[k] == '?');
            image[at + k] = static_cast<std::uint8_t>(image[at + k] + 1 + random() % 255);
        } else {
            std::memcpy(image.data() + at, s.signature.pattern, 1 + random() % (s.length - 1));
        }
    }
    return image;
}

// A set of the shapes the signature tool writes, eight signatures: here the
// plug-in's entry signature of getpropstate, three call signatures cut
// around calls in code (six bytes before the call, its displacement open,
// six after) and four inside signatures cut from the middle of code
// (sixteen bytes, a displacement's four open), none of them in padding.
// Every image is then made to lack them all, as a missing function's. Its
// first 2 to 8 are searched in one pass each.
struct SignatureSetStore {
    std::vector<std::string> masks;
    std::vector<std::vector<std::uint8_t>> patterns;
    std::vector<memory::Signature> signatures;
};
SignatureSetStore largestSet;

// Code, not the padding or zero fill between functions.
bool looksLikeCode(const std::uint8_t* at, std::size_t length) {
    std::size_t filler = 0;
    for (std::size_t k = 0; k < length; ++k) filler += at[k] == 0xCC || at[k] == 0x90 || at[k] == 0x00;
    return filler <= 2 && at[0] != 0x66 && at[length - 1] != 0x00;
}

void makeLargestSet(const std::vector<std::uint8_t>& code, std::mt19937_64& random) {
    auto& set = largestSet;
    const NamedSignature& entry = kSignatures[1];
    set.masks.emplace_back(entry.signature.mask);
    set.patterns.emplace_back(entry.signature.pattern, entry.signature.pattern + entry.length);
    while (set.masks.size() < 4) {
        const std::size_t at = 6 + random() % (code.size() - 32);
        if (code[at] != 0xE8 || !looksLikeCode(code.data() + at - 6, 17)) continue;
        set.masks.emplace_back("xxxxxxx????xxxxxx");
        set.patterns.emplace_back(code.begin() + static_cast<std::ptrdiff_t>(at - 6),
                                  code.begin() + static_cast<std::ptrdiff_t>(at + 11));
    }
    while (set.masks.size() < 8) {
        const std::size_t at = random() % (code.size() - 16);
        if (!looksLikeCode(code.data() + at, 16)) continue;
        set.masks.emplace_back("xxx????xxxxxxxxx");
        set.patterns.emplace_back(code.begin() + static_cast<std::ptrdiff_t>(at),
                                  code.begin() + static_cast<std::ptrdiff_t>(at + 16));
    }
    for (std::size_t k = 0; k < set.masks.size(); ++k) {
        for (std::size_t i = 0; i < set.masks[k].size(); ++i)
            if (set.masks[k][i] == '?') set.patterns[k][i] = 0;
        set.signatures.push_back({set.masks[k].c_str(), set.patterns[k].data()});
    }
}

// Makes the image a miss for every signature and finds a byte it lacks.
void finish(Image& image) {
    std::vector<memory::Signature> all = largestSet.signatures;
    for (const NamedSignature& s : kSignatures) all.push_back(s.signature);
    for (const memory::Signature& s : all) {
        for (;;) {
            const auto* found = memory::findInRange(image.bytes.data(), image.bytes.data() + image.bytes.size(), s.mask,
                                                    s.pattern, memory::bestVectorPath());
            if (found == nullptr) break;
            image.bytes[static_cast<std::size_t>(found - image.bytes.data()) + std::strlen(s.mask) - 1] ^= 0x01;
        }
    }
    std::size_t counts[256] = {};
    for (const std::uint8_t byte : image.bytes) ++counts[byte];
    std::size_t rarest = 0;
    for (std::size_t value = 0; value < 256; ++value)
        if (!fixedInASignature(static_cast<std::uint8_t>(value)) && counts[value] < counts[rarest]) rarest = value;
    // Real code may hold every value: then the rarest one, which no signature fixes, gives way.
    image.absent = static_cast<std::uint8_t>(rarest);
    if (counts[rarest] != 0) std::replace(image.bytes.begin(), image.bytes.end(), image.absent, std::uint8_t{0x90});
}

// The code in a file, as `make bench` extracted it; none when it is missing or empty.
void addCode(std::vector<Image>& images, const char* name, const std::string& path) {
    if (path.empty()) return;
    std::ifstream file(path, std::ios::binary);
    std::vector<std::uint8_t> code((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (code.empty())
        std::fprintf(stderr, "no code in %s: the %s image is left out\n", path.c_str(), name);
    else
        images.push_back({name, std::move(code)});
}

std::vector<Image> makeImages(const std::string& codePath, const std::string& msvcPath) {
    std::mt19937_64 random(20261208);
    std::vector<Image> images;
    images.push_back({"synthetic", syntheticBytes(random)});
    images.push_back({"dense", denseBytes(random)});
    addCode(images, "real-code", codePath);
    addCode(images, "msvc-code", msvcPath);
    images.push_back({"no-candidates", codeLikeBytes(random, true)});
    // Cut from real code where there is some.
    const auto real = std::find_if(images.begin(), images.end(), [](const Image& i) { return i.name == "real-code"; });
    makeLargestSet(real != images.end() ? real->bytes : codeLikeBytes(random, false), random);
    for (Image& image : images) finish(image);
    return images;
}

using Scan = const std::uint8_t* (*)(const std::uint8_t*, const std::uint8_t*, const char*, const std::uint8_t*);

const std::uint8_t* avx2Scan(const std::uint8_t* begin, const std::uint8_t* end, const char* mask,
                             const std::uint8_t* pattern) {
    return memory::findInRange(begin, end, mask, pattern, memory::VectorPath::avx2);
}
const std::uint8_t* sse2Scan(const std::uint8_t* begin, const std::uint8_t* end, const char* mask,
                             const std::uint8_t* pattern) {
    return memory::findInRange(begin, end, mask, pattern, memory::VectorPath::sse2);
}

void runScan(benchmark::State& state, Scan scan, const Image& image, const NamedSignature& s) {
    const auto& bytes = image.bytes;
    for (auto _ : state) {
        const auto* found = scan(bytes.data(), bytes.data() + bytes.size(), s.signature.mask, s.signature.pattern);
        benchmark::DoNotOptimize(found);
        if (found != nullptr) state.SkipWithError("found a signature in an image that holds none");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

void runSet(benchmark::State& state, memory::VectorPath path, const Image& image, std::size_t count) {
    const auto& bytes = image.bytes;
    for (auto _ : state) {
        memory::EachMatch found[memory::kMostInOnePass] = {};
        memory::findEachInRange(bytes.data(), bytes.data() + bytes.size(), largestSet.signatures.data(), count, found,
                                path);
        benchmark::DoNotOptimize(found);
        for (const memory::EachMatch& match : found)
            if (match.count != 0) state.SkipWithError("found a signature in an image that holds none");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

// The places the set's filter passes on to a whole check, per MiB: where
// each of a signature's three fingerprint bytes is its fixed byte or open.
double candidatesPerMiB(const Image& image, std::size_t count) {
    const memory::Signature* set = largestSet.signatures.data();
    const memory::Fingerprints fingerprints = memory::fingerprintsOf(set, count);
    const auto accepts = [&](std::size_t s, std::size_t at, std::size_t back) {
        const std::size_t k = fingerprints.end[s] - back;  // into the signature; wraps when before its start
        return k >= std::strlen(set[s].mask) || set[s].mask[k] == '?' || image.bytes[at - back] == set[s].pattern[k];
    };
    std::size_t candidates = 0;
    for (std::size_t at = fingerprints.distance[1]; at < image.bytes.size(); ++at) {
        for (std::size_t s = 0; s < count; ++s) {
            if (accepts(s, at, 0) && accepts(s, at, fingerprints.distance[0]) &&
                accepts(s, at, fingerprints.distance[1])) {
                ++candidates;
                break;
            }
        }
    }
    return static_cast<double>(candidates) / (static_cast<double>(image.bytes.size()) / (1 << 20));
}

void runMemchr(benchmark::State& state, const Image& image) {
    for (auto _ : state) {
        const void* found = std::memchr(image.bytes.data(), image.absent, image.bytes.size());
        benchmark::DoNotOptimize(found);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * image.bytes.size()));
}

// The plain read: every byte loaded once, four vectors in flight, OR-ed together.
__attribute__((target("avx2"))) std::uint64_t plainReadAvx2(const std::uint8_t* begin, std::size_t size) {
    __m256i a = _mm256_setzero_si256(), b = a, c = a, d = a;
    std::size_t i = 0;
    for (; i + 128 <= size; i += 128) {
        a = _mm256_or_si256(a, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(begin + i)));
        b = _mm256_or_si256(b, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(begin + i + 32)));
        c = _mm256_or_si256(c, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(begin + i + 64)));
        d = _mm256_or_si256(d, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(begin + i + 96)));
    }
    const __m256i all = _mm256_or_si256(_mm256_or_si256(a, b), _mm256_or_si256(c, d));
    std::uint64_t tail = 0;
    for (; i < size; ++i) tail |= begin[i];
    return static_cast<std::uint64_t>(_mm256_extract_epi64(all, 0) | _mm256_extract_epi64(all, 1) |
                                      _mm256_extract_epi64(all, 2) | _mm256_extract_epi64(all, 3)) |
           tail;
}

std::uint64_t plainReadSse2(const std::uint8_t* begin, std::size_t size) {
    __m128i a = _mm_setzero_si128(), b = a, c = a, d = a;
    std::size_t i = 0;
    for (; i + 64 <= size; i += 64) {
        a = _mm_or_si128(a, _mm_loadu_si128(reinterpret_cast<const __m128i*>(begin + i)));
        b = _mm_or_si128(b, _mm_loadu_si128(reinterpret_cast<const __m128i*>(begin + i + 16)));
        c = _mm_or_si128(c, _mm_loadu_si128(reinterpret_cast<const __m128i*>(begin + i + 32)));
        d = _mm_or_si128(d, _mm_loadu_si128(reinterpret_cast<const __m128i*>(begin + i + 48)));
    }
    const __m128i all = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
    std::uint64_t tail = 0;
    for (; i < size; ++i) tail |= begin[i];
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(all) | _mm_cvtsi128_si64(_mm_unpackhi_epi64(all, all))) | tail;
}

// The floor of a two-anchor filter: what the search does per vector where
// candidates are rare, less the second load. Each vector is loaded once,
// compared with two bytes, the compares AND-ed and OR-ed into the group's
// test, one test per 512 bytes. The bytes come in at run time (a byte the
// image lacks, twice), so no group ever has a candidate and the compiler
// cannot fold the compares away. The loads are aligned, as the search's first
// anchor's are. No correct search can do less per byte; the share of the
// plain read this reaches is about the most a search can.
__attribute__((target("avx2"))) std::uint64_t filterFloorAvx2(const std::uint8_t* begin, std::size_t size,
                                                              std::uint8_t first, std::uint8_t second) {
    const __m256i a = _mm256_set1_epi8(static_cast<char>(first)), b = _mm256_set1_epi8(static_cast<char>(second));
    std::uint64_t groups = 0;
    for (std::size_t i = (0 - reinterpret_cast<std::uintptr_t>(begin)) & 31; i + 512 <= size; i += 512) {
        __m256i hits = _mm256_setzero_si256();
#pragma GCC unroll 16
        for (std::size_t k = 0; k < 512; k += 32) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(begin + i + k));
            hits = _mm256_or_si256(hits, _mm256_and_si256(_mm256_cmpeq_epi8(v, a), _mm256_cmpeq_epi8(v, b)));
        }
        groups += _mm256_testz_si256(hits, hits) == 0;
    }
    return groups;
}

std::uint64_t filterFloorSse2(const std::uint8_t* begin, std::size_t size, std::uint8_t first, std::uint8_t second) {
    const __m128i a = _mm_set1_epi8(static_cast<char>(first)), b = _mm_set1_epi8(static_cast<char>(second));
    std::uint64_t groups = 0;
    for (std::size_t i = (0 - reinterpret_cast<std::uintptr_t>(begin)) & 15; i + 512 <= size; i += 512) {
        __m128i hits = _mm_setzero_si128();
#pragma GCC unroll 32
        for (std::size_t k = 0; k < 512; k += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(begin + i + k));
            hits = _mm_or_si128(hits, _mm_and_si128(_mm_cmpeq_epi8(v, a), _mm_cmpeq_epi8(v, b)));
        }
        groups += _mm_movemask_epi8(hits) != 0;
    }
    return groups;
}

void runFilterFloor(benchmark::State& state, bool avx2, const Image& image) {
    for (auto _ : state) {
        const std::uint64_t groups =
            avx2 ? filterFloorAvx2(image.bytes.data(), image.bytes.size(), image.absent, image.absent)
                 : filterFloorSse2(image.bytes.data(), image.bytes.size(), image.absent, image.absent);
        benchmark::DoNotOptimize(groups);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * image.bytes.size()));
}

void runPlainRead(benchmark::State& state, bool avx2, const Image& image) {
    for (auto _ : state) {
        const std::uint64_t bits = avx2 ? plainReadAvx2(image.bytes.data(), image.bytes.size())
                                        : plainReadSse2(image.bytes.data(), image.bytes.size());
        benchmark::DoNotOptimize(bits);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * image.bytes.size()));
}

#if defined(NOZZLES_WITH_LIBHAT)
const char* const kLibhatHints[] = {"x86_64", "x86_64+pair0"};

hat::scan_hint libhatHint(int which) {
    return which == 0 ? hat::scan_hint::x86_64 : hat::scan_hint::x86_64 | hat::scan_hint::pair0;
}

hat::signature libhatSignature(const NamedSignature& s) {
    hat::signature signature;
    for (std::size_t k = 0; k < s.length; ++k) {
        if (s.signature.mask[k] == '?')
            signature.emplace_back(std::nullopt);
        else
            signature.emplace_back(static_cast<std::byte>(s.signature.pattern[k]));
    }
    return signature;
}

const std::uint8_t* libhatScan(const std::uint8_t* begin, const std::uint8_t* end, const hat::signature& signature,
                               int hint) {
    const auto found =
        hat::find_pattern(reinterpret_cast<const std::byte*>(begin), reinterpret_cast<const std::byte*>(end), signature,
                          hat::scan_alignment::X1, libhatHint(hint));
    return found.has_result() ? reinterpret_cast<const std::uint8_t*>(found.get()) : nullptr;
}

// Before anything is timed: libhat and the project give the same answer on
// every image, as it is (no match) and with the signature planted at three
// places (the lowest wins), so that both measure the same work.
bool libhatAgrees(std::vector<Image>& images) {
    std::mt19937_64 random(56);
    for (Image& image : images) {
        std::uint8_t* begin = image.bytes.data();
        std::uint8_t* end = begin + image.bytes.size();
        for (const NamedSignature& s : kSignatures) {
            const hat::signature signature = libhatSignature(s);
            std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>> planted;  // where, and what was there
            for (int round = 0; round < 4; ++round) {
                if (round > 0) {
                    const std::size_t at = random() % (image.bytes.size() - s.length);
                    planted.emplace_back(at, std::vector<std::uint8_t>(begin + at, begin + at + s.length));
                    for (std::size_t k = 0; k < s.length; ++k)
                        if (s.signature.mask[k] != '?') begin[at + k] = s.signature.pattern[k];
                }
                const auto* ours =
                    memory::findInRange(begin, end, s.signature.mask, s.signature.pattern, memory::bestVectorPath());
                for (int hint = 0; hint < 2; ++hint) {
                    if (libhatScan(begin, end, signature, hint) == ours) continue;
                    std::fprintf(stderr, "libhat (%s) and the project disagree on %s, %s\n", kLibhatHints[hint],
                                 image.name.c_str(), s.name);
                    return false;
                }
            }
            // Back to the image as it was, the last plant first: plants may overlap.
            for (auto it = planted.rbegin(); it != planted.rend(); ++it)
                std::copy(it->second.begin(), it->second.end(), begin + it->first);
        }
    }
    return true;
}

void runLibhat(benchmark::State& state, const Image& image, const NamedSignature& s, int hint) {
    const hat::signature signature = libhatSignature(s);
    const auto& bytes = image.bytes;
    for (auto _ : state) {
        const auto* found = libhatScan(bytes.data(), bytes.data() + bytes.size(), signature, hint);
        benchmark::DoNotOptimize(found);
        if (found != nullptr) state.SkipWithError("libhat found a signature in an image that holds none");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
#endif

// Collects bytes per second by name so the ratios can be printed at the end:
// the median where the runs are repeated, the one run otherwise.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const auto found = run.counters.find("bytes_per_second");
            if (found == run.counters.end()) continue;
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median") rates[run.run_name.str()] = found->second.value;
            } else if (run.repetitions <= 1) {
                rates[run.run_name.str()] = found->second.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> rates;
};

}  // namespace

int main(int argc, char** argv) {
    std::string codePath, msvcPath;
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--code=", 7) == 0)
            codePath = argv[i] + 7;
        else if (std::strncmp(argv[i], "--msvc-code=", 12) == 0)
            msvcPath = argv[i] + 12;
        else
            rest.push_back(argv[i]);
    }
    int restCount = static_cast<int>(rest.size());
    benchmark::Initialize(&restCount, rest.data());
    std::vector<Image> images = makeImages(codePath, msvcPath);
    bool withLibhat = false;
#if defined(NOZZLES_WITH_LIBHAT)
    if (!libhatAgrees(images)) return 1;
    withLibhat = true;
#else
    std::printf("libhat was not found when the benchmark was configured: it is left out\n");
#endif
    const memory::VectorPath fastest = memory::bestVectorPath();
    const bool avx2 = fastest != memory::VectorPath::sse2;
    const bool avx512 = fastest == memory::VectorPath::avx512;
    const auto add = [](const std::string& name, auto run) {
        benchmark::RegisterBenchmark(name.c_str(), run)->Unit(benchmark::kMillisecond);
    };
    for (const Image& image : images) {
        add("memchr/" + image.name, [&image](benchmark::State& st) { runMemchr(st, image); });
        if (avx2) add("read-AVX2/" + image.name, [&image](benchmark::State& st) { runPlainRead(st, true, image); });
        add("read-SSE2/" + image.name, [&image](benchmark::State& st) { runPlainRead(st, false, image); });
        if (avx2) add("floor-AVX2/" + image.name, [&image](benchmark::State& st) { runFilterFloor(st, true, image); });
        add("floor-SSE2/" + image.name, [&image](benchmark::State& st) { runFilterFloor(st, false, image); });
        for (std::size_t count = 2; count <= largestSet.signatures.size(); ++count) {
            const std::string size = std::to_string(count);
            if (avx512)
                add("set" + size + "-AVX512/" + image.name,
                    [&image, count](benchmark::State& st) { runSet(st, memory::VectorPath::avx512, image, count); });
            if (avx2)
                add("set" + size + "-AVX2/" + image.name,
                    [&image, count](benchmark::State& st) { runSet(st, memory::VectorPath::avx2, image, count); });
            add("set" + size + "-SSE2/" + image.name,
                [&image, count](benchmark::State& st) { runSet(st, memory::VectorPath::sse2, image, count); });
        }
        for (const NamedSignature& s : kSignatures) {
            const std::string suffix = image.name + "/" + s.name;
            if (avx2) add("AVX2/" + suffix, [&image, &s](benchmark::State& st) { runScan(st, avx2Scan, image, s); });
            add("SSE2/" + suffix, [&image, &s](benchmark::State& st) { runScan(st, sse2Scan, image, s); });
            add("baseline/" + suffix, [&image, &s](benchmark::State& st) { runScan(st, baselineScan, image, s); });
#if defined(NOZZLES_WITH_LIBHAT)
            for (int hint = 0; hint < 2; ++hint)
                add(std::string("libhat-") + kLibhatHints[hint] + "/" + suffix,
                    [&image, &s, hint](benchmark::State& st) { runLibhat(st, image, s, hint); });
#endif
        }
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    auto& rates = reporter.rates;
    // libhat's better hint on one image and signature; 0 without libhat.
    const auto libhatBest = [&rates]([[maybe_unused]] const std::string& suffix) {
        double best = 0;
#if defined(NOZZLES_WITH_LIBHAT)
        for (const char* hint : kLibhatHints)
            best = std::max(best, rates[std::string("libhat-") + hint + "/" + suffix]);
#endif
        return best;
    };
    std::printf("\n%-5s %-14s %-16s %8s %8s %9s %9s %10s\n", "path", "image", "signature", "GB/s", "of read",
                "of floor", withLibhat ? "x libhat" : "", "x baseline");
    for (const char* path : {"AVX2", "SSE2"}) {
        for (const Image& image : images) {
            for (const NamedSignature& s : kSignatures) {
                const std::string suffix = image.name + "/" + s.name;
                const auto rate = rates.find(std::string(path) + "/" + suffix);
                if (rate == rates.end()) continue;
                const double read = rates[std::string("read-") + path + "/" + image.name];
                const double floor = rates[std::string("floor-") + path + "/" + image.name];
                const double libhat = libhatBest(suffix);
                const double baseline = rates["baseline/" + suffix];
                std::printf("%-5s %-14s %-16s %8.2f %7.0f%% %8.0f%%", path, image.name.c_str(), s.name,
                            rate->second / 1e9, read > 0 ? 100.0 * rate->second / read : 0.0,
                            floor > 0 ? 100.0 * rate->second / floor : 0.0);
                if (withLibhat)
                    std::printf(" %8.2fx", libhat > 0 ? rate->second / libhat : 0.0);
                else
                    std::printf(" %9s", "");
                std::printf(" %9.1fx\n", baseline > 0 ? rate->second / baseline : 0.0);
            }
        }
    }
    // The floor's share of the read: the most a search can reach at that width.
    const auto floorShare = [&rates](const char* path, const std::string& image) {
        const double read = rates[std::string("read-") + path + "/" + image];
        return read > 0 ? 100.0 * rates[std::string("floor-") + path + "/" + image] / read : 0.0;
    };
    std::printf("\n%-14s %10s %10s %11s %11s %10s", "image", "read AVX2", "read SSE2", "floor AVX2", "floor SSE2",
                "memchr");
    if (withLibhat) std::printf("   libhat, better hint, per signature");
    std::printf("  (GB/s; the floors as shares of the read)\n");
    for (const Image& image : images) {
        std::printf("%-14s %10.2f %10.2f %10.0f%% %10.0f%% %10.2f", image.name.c_str(),
                    rates["read-AVX2/" + image.name] / 1e9, rates["read-SSE2/" + image.name] / 1e9,
                    floorShare("AVX2", image.name), floorShare("SSE2", image.name),
                    rates["memchr/" + image.name] / 1e9);
        for (const NamedSignature& s : kSignatures) {
            if (!withLibhat) break;
            std::printf("  %6.2f", libhatBest(image.name + "/" + s.name) / 1e9);
        }
        std::printf("\n");
    }
    // A missing function's set in one pass, beside one signature's pass
    // (the mean time of the three) and the plain read: each set's time as a
    // multiple of one signature's, and the filter's candidates per MiB.
    const std::size_t largest = largestSet.signatures.size();
    std::printf(
        "\nsets of 2 to %zu signatures in one pass, each as a multiple of one signature's pass "
        "(SSE2: the 128-bit pass, with SSSE3's shuffles)\n",
        largest);
    std::printf("%-6s %-14s %8s %10s", "path", "image", "read", "one, GB/s");
    for (std::size_t count = 2; count <= largest; ++count) std::printf("  set of %zu", count);
    std::printf("\n");
    // The most a set's pass may cost, as a multiple of one signature's, on
    // the images of code; the worst seen there, per path. One signature's
    // search has no AVX-512 path: the AVX-512 set is held to its AVX2 pass.
    const std::map<std::string, double> target = {{"AVX512", 1.5}, {"AVX2", 1.5}, {"SSE2", 2.0}};
    std::map<std::string, double> worst;
    for (const char* path : {"AVX512", "AVX2", "SSE2"}) {
        const std::string onePath = std::strcmp(path, "AVX512") == 0 ? "AVX2" : path;
        for (const Image& image : images) {
            if (rates.find(std::string("set2-") + path + "/" + image.name) == rates.end()) continue;
            double seconds = 0;
            for (const NamedSignature& s : kSignatures)
                seconds += 1.0 / rates[onePath + "/" + image.name + "/" + s.name];
            const double one = static_cast<double>(std::size(kSignatures)) / seconds;
            if (!(one > 0)) continue;  // one signature's pass was not run: nothing to hold the set to
            std::printf("%-6s %-14s %8.2f %10.2f", path, image.name.c_str(),
                        rates["read-" + onePath + "/" + image.name] / 1e9, one / 1e9);
            for (std::size_t count = 2; count <= largest; ++count) {
                const double set = rates["set" + std::to_string(count) + "-" + path + "/" + image.name];
                std::printf(" %9.2fx", set > 0 ? one / set : 0.0);
                if (set > 0 && (image.name == "real-code" || image.name == "msvc-code"))
                    worst[path] = std::max(worst[path], one / set);
            }
            std::printf("\n");
        }
    }
    for (const auto& [path, most] : target) {
        if (worst.count(path) == 0) continue;
        std::printf("%s on code (real-code, msvc-code): at most %.2fx one signature's pass, target %.1fx: %s\n",
                    path.c_str(), worst[path], most, worst[path] <= most ? "held" : "not held");
    }
    std::printf("\nthe set's candidates per MiB (places checked whole), with the set's first 2, 4 and %zu\n", largest);
    for (const Image& image : images)
        std::printf("%-14s %10.0f %10.0f %10.0f\n", image.name.c_str(), candidatesPerMiB(image, 2),
                    candidatesPerMiB(image, 4), candidatesPerMiB(image, largest));
    benchmark::Shutdown();
    return 0;
}
