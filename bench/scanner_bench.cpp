// Throughput of the signature scanner on a 128 MiB synthetic game image, next
// to the byte-at-a-time pass it replaced and to memchr over the same bytes
// (the machine's practical limit for one pass). Prints both ratios at the end.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "baseline_scan.h"
#include "memory/signature.h"

namespace {

constexpr std::size_t kImageSize = 128u << 20;
constexpr std::uint8_t kAbsentByte = 0xD6;  // never generated: memchr reads everything

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

// Bytes with the skew of x86-64 code: zeros, REX prefixes, mov and friends
// far more often than the rest; and, every few dozen bytes, the first bytes
// of one of the signatures, so that partial matches are common.
std::vector<std::uint8_t> makeImage() {
    std::vector<std::uint8_t> image(kImageSize);
    std::mt19937_64 random(20261207);
    const std::pair<std::uint8_t, int> common[] = {
        {0x00, 120}, {0x48, 60}, {0x8B, 60}, {0x89, 40}, {0xFF, 40}, {0x4C, 30}, {0x83, 30}, {0x0F, 20}, {0xE8, 20},
        {0x24, 20},  {0x44, 20}, {0x8D, 20}, {0xCC, 20}, {0x41, 15}, {0xC1, 15}, {0x85, 15}, {0x74, 15}, {0x75, 15},
        {0x49, 10},  {0xC3, 10}, {0x90, 10}, {0x33, 10}, {0xF9, 5},  {0xFA, 5},  {0x77, 5},  {0xC9, 5}};
    std::vector<std::uint8_t> table;
    for (const auto& [byte, weight] : common) table.insert(table.end(), static_cast<std::size_t>(weight), byte);
    while (table.size() < 1024) {
        const auto byte = static_cast<std::uint8_t>(random());
        if (byte != kAbsentByte) table.push_back(byte);
    }
    for (auto& byte : image) byte = table[random() % table.size()];
    for (std::size_t at = 0; at + 32 < kImageSize; at += 16 + random() % 64) {
        const NamedSignature& s = kSignatures[random() % 3];
        const std::size_t prefix = 1 + random() % (s.length - 1);
        std::memcpy(image.data() + at, s.signature.pattern, prefix);
    }
    // A miss must read the whole image: break any complete occurrence.
    for (const NamedSignature& s : kSignatures) {
        for (;;) {
            const auto* found =
                memory::findInRange(image.data(), image.data() + image.size(), s.signature.mask, s.signature.pattern);
            if (found == nullptr) break;
            image[static_cast<std::size_t>(found - image.data()) + s.length - 1] ^= 0x01;
        }
    }
    return image;
}

std::vector<std::uint8_t>& image() {
    static std::vector<std::uint8_t> bytes = makeImage();
    return bytes;
}

using Scan = const std::uint8_t* (*)(const std::uint8_t*, const std::uint8_t*, const char*, const std::uint8_t*);

void runScan(benchmark::State& state, Scan scan, const NamedSignature& s, bool hit) {
    auto& bytes = image();
    // The byte before the occurrence starts no partial match, so that the
    // baseline, which cannot back up, finds it too.
    const std::size_t at = kImageSize - 2048;
    std::vector<std::uint8_t> saved(bytes.begin() + static_cast<long>(at - 1),
                                    bytes.begin() + static_cast<long>(at + s.length));
    if (hit) {
        bytes[at - 1] = 0x90;
        std::memcpy(bytes.data() + at, s.signature.pattern, s.length);
    }
    for (auto _ : state) {
        const auto* found = scan(bytes.data(), bytes.data() + bytes.size(), s.signature.mask, s.signature.pattern);
        benchmark::DoNotOptimize(found);
        if ((found != nullptr) != hit) state.SkipWithError("wrong result");
    }
    std::memcpy(bytes.data() + at - 1, saved.data(), saved.size());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(kImageSize));
}

void memchrLimit(benchmark::State& state) {
    auto& bytes = image();
    for (auto _ : state) {
        const void* found = std::memchr(bytes.data(), kAbsentByte, bytes.size());
        benchmark::DoNotOptimize(found);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(kImageSize));
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
    benchmark::Initialize(&argc, argv);
    image();
    benchmark::RegisterBenchmark("memchr/absent-byte", memchrLimit)->Unit(benchmark::kMillisecond);
    for (const NamedSignature& s : kSignatures) {
        for (const bool hit : {false, true}) {
            const std::string suffix = std::string(s.name) + (hit ? "/hit-last-4KiB" : "/miss");
            benchmark::RegisterBenchmark(("scanner/" + suffix).c_str(), [&s, hit](benchmark::State& st) {
                runScan(st, memory::findInRange, s, hit);
            })->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("baseline/" + suffix).c_str(), [&s, hit](benchmark::State& st) {
                runScan(st, baselineScan, s, hit);
            })->Unit(benchmark::kMillisecond);
        }
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double limit = reporter.rates["memchr/absent-byte"];
    std::printf("\n%-36s %9s %12s %12s\n", "scanner case", "GB/s", "x baseline", "of memchr");
    for (const auto& [name, rate] : reporter.rates) {
        if (name.rfind("scanner/", 0) != 0) continue;
        const double baseline = reporter.rates["baseline/" + name.substr(8)];
        std::printf("%-36s %9.2f %11.1fx %11.0f%%\n", name.substr(8).c_str(), rate / 1e9,
                    baseline > 0 ? rate / baseline : 0.0, limit > 0 ? 100.0 * rate / limit : 0.0);
    }
    std::printf("%-36s %9.2f\n", "memchr (absent byte)", limit / 1e9);
    benchmark::Shutdown();
    return 0;
}
