// Throughput of the signature search on four images, for each signature and
// both vector paths, next to the byte-at-a-time pass it replaced and to
// memchr over the same bytes (the machine's practical limit for one pass).
// The images are about the size of a game's image:
//   synthetic      64 MiB with x86-64 byte statistics and a signature prefix
//                  every 16 to 80 bytes;
//   dense          64 MiB of code-like bytes with a near-miss every 200 to
//                  300 bytes: a copy with one fixed byte changed, or a prefix;
//   real-code      the executable sections of Wine's modules (--code=FILE,
//                  which `make bench` extracts with tools/code-byte-frequencies);
//   no-candidates  64 MiB of code-like bytes none of which a signature fixes.
// Every image is searched in full: no signature occurs in any of them.
// Prints GB/s, the multiple of the baseline and the share of memchr at the end.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

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

const NamedSignature kSignatures[] = {
    {"handleToAddress", memory::kHandleToAddressSignature, sizeof memory::kHandleToAddressPattern},
    {"getpropstate", memory::kGetPropStateSignature, sizeof memory::kGetPropStatePattern},
    {"setpropstate", memory::kSetPropStateSignature, sizeof memory::kSetPropStatePattern},
};

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

// Makes the image a miss for every signature and finds a byte it lacks.
void finish(Image& image) {
    for (const NamedSignature& s : kSignatures) {
        for (;;) {
            const auto* found = memory::findInRange(image.bytes.data(), image.bytes.data() + image.bytes.size(),
                                                    s.signature.mask, s.signature.pattern, memory::bestVectorPath());
            if (found == nullptr) break;
            image.bytes[static_cast<std::size_t>(found - image.bytes.data()) + s.length - 1] ^= 0x01;
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

std::vector<Image> makeImages(const std::string& codePath) {
    std::mt19937_64 random(20261208);
    std::vector<Image> images;
    images.push_back({"synthetic", syntheticBytes(random)});
    images.push_back({"dense", denseBytes(random)});
    if (!codePath.empty()) {
        std::ifstream file(codePath, std::ios::binary);
        std::vector<std::uint8_t> code((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        if (code.empty())
            std::fprintf(stderr, "no real code in %s: that image is left out\n", codePath.c_str());
        else
            images.push_back({"real-code", std::move(code)});
    }
    images.push_back({"no-candidates", codeLikeBytes(random, true)});
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

void runMemchr(benchmark::State& state, const Image& image) {
    for (auto _ : state) {
        const void* found = std::memchr(image.bytes.data(), image.absent, image.bytes.size());
        benchmark::DoNotOptimize(found);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * image.bytes.size()));
}

// Collects bytes per second by name so the ratios can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const auto found = run.counters.find("bytes_per_second");
            if (found != run.counters.end()) rates[run.benchmark_name()] = found->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> rates;
};

}  // namespace

int main(int argc, char** argv) {
    std::string codePath;
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--code=", 7) == 0)
            codePath = argv[i] + 7;
        else
            rest.push_back(argv[i]);
    }
    int restCount = static_cast<int>(rest.size());
    benchmark::Initialize(&restCount, rest.data());
    const std::vector<Image> images = makeImages(codePath);
    const bool avx2 = memory::bestVectorPath() == memory::VectorPath::avx2;
    for (const Image& image : images) {
        benchmark::RegisterBenchmark(("memchr/" + image.name).c_str(), [&image](benchmark::State& st) {
            runMemchr(st, image);
        })->Unit(benchmark::kMillisecond);
        for (const NamedSignature& s : kSignatures) {
            const std::string suffix = image.name + "/" + s.name;
            if (avx2)
                benchmark::RegisterBenchmark(("AVX2/" + suffix).c_str(), [&image, &s](benchmark::State& st) {
                    runScan(st, avx2Scan, image, s);
                })->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("SSE2/" + suffix).c_str(), [&image, &s](benchmark::State& st) {
                runScan(st, sse2Scan, image, s);
            })->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("baseline/" + suffix).c_str(), [&image, &s](benchmark::State& st) {
                runScan(st, baselineScan, image, s);
            })->Unit(benchmark::kMillisecond);
        }
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\n%-5s %-14s %-16s %9s %12s %10s\n", "path", "image", "signature", "GB/s", "x baseline", "of memchr");
    for (const char* path : {"AVX2", "SSE2"}) {
        for (const Image& image : images) {
            for (const NamedSignature& s : kSignatures) {
                const std::string suffix = image.name + "/" + s.name;
                const auto rate = reporter.rates.find(std::string(path) + "/" + suffix);
                if (rate == reporter.rates.end()) continue;
                const double baseline = reporter.rates["baseline/" + suffix];
                const double limit = reporter.rates["memchr/" + image.name];
                std::printf("%-5s %-14s %-16s %9.2f %11.1fx %9.0f%%\n", path, image.name.c_str(), s.name,
                            rate->second / 1e9, baseline > 0 ? rate->second / baseline : 0.0,
                            limit > 0 ? 100.0 * rate->second / limit : 0.0);
            }
        }
    }
    for (const Image& image : images)
        std::printf("memchr on %-14s %6.2f GB/s (%zu bytes)\n", image.name.c_str(),
                    reporter.rates["memchr/" + image.name] / 1e9, image.bytes.size());
    benchmark::Shutdown();
    return 0;
}
