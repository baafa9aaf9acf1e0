#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "game_objects.h"
#include "memory/function_set.h"
#include "memory/game_signatures.h"
#include "memory/regions.h"
#include "memory/signature.h"
#include "pages.h"
#include "platform/platform_posix.h"
#include "plugin_fixture.h"
#include "reference_search.h"
#include "signature_bytes.h"
#include "vector_paths.h"

namespace memory {
// A test's name in ctest, not its bytes.
void PrintTo(VectorPath path, std::ostream* out) { *out << test::nameOf(path); }
}  // namespace memory

namespace {

using memory::VectorPath;

using test::GuardedBuffer;

// Every search test runs on every vector path.
class Scanner : public ::testing::TestWithParam<VectorPath> {
protected:
    void SetUp() override {
        if (!test::runsHere(GetParam())) GTEST_SKIP() << "no " << test::nameOf(GetParam()) << " on this processor";
    }
    const std::uint8_t* findInRange(const std::uint8_t* begin, const std::uint8_t* end, const char* mask,
                                    const std::uint8_t* pattern) {
        return memory::findInRange(begin, end, mask, pattern, GetParam());
    }
    const std::uint8_t* find(GuardedBuffer& buffer, const memory::Signature& signature) {
        return findInRange(buffer.begin(), buffer.end(), signature.mask, signature.pattern);
    }
};

INSTANTIATE_TEST_SUITE_P(Paths, Scanner, ::testing::ValuesIn(test::kEveryPath),
                         [](const auto& path) { return test::nameOf(path.param); });

void put(std::uint8_t* at, const std::vector<std::uint8_t>& bytes) { std::memcpy(at, bytes.data(), bytes.size()); }

// The functions' first bytes as the game holds them, from the plug-in's own header.
const std::vector<std::uint8_t> kGetPropState =
    test::functionBytes(test::entryOf(memory::kGetPropStateSignatures), 0x07);
const std::vector<std::uint8_t> kSetPropState =
    test::functionBytes(test::entryOf(memory::kSetPropStateSignatures), 0x07);
const std::vector<std::uint8_t> kHandleToAddress =
    test::functionBytes(test::entryOf(memory::kHandleToAddressSignatures), 0x5A);

TEST_P(Scanner, SignatureAtTheFirstByteIsFoundAtTheBase) {
    GuardedBuffer buffer(4096);
    put(buffer.begin(), kHandleToAddress);
    EXPECT_EQ(find(buffer, test::entryOf(memory::kHandleToAddressSignatures)), buffer.begin());
}

TEST_P(Scanner, SignatureEndingAtTheLastByteIsFound) {
    for (const std::size_t size : {10u, 4096u, 100000u}) {
        GuardedBuffer buffer(size);
        put(buffer.end() - kSetPropState.size(), kSetPropState);
        EXPECT_EQ(find(buffer, test::entryOf(memory::kSetPropStateSignatures)), buffer.end() - kSetPropState.size())
            << size;
    }
}

TEST_P(Scanner, PartialMatchRunningIntoTheEndIsNoMatchAndReadsNothingBeyond) {
    for (std::size_t k = 1; k < kHandleToAddress.size(); ++k) {
        GuardedBuffer buffer(1000);
        put(buffer.end() - k,
            std::vector<std::uint8_t>(kHandleToAddress.begin(), kHandleToAddress.begin() + static_cast<long>(k)));
        EXPECT_EQ(find(buffer, test::entryOf(memory::kHandleToAddressSignatures)), nullptr) << k;
    }
}

TEST_P(Scanner, FindsAnOccurrenceThatStartsInsideABrokenPartialMatch) {
    GuardedBuffer buffer(64);
    buffer.begin()[20] = kGetPropState[0];  // a partial match of one byte, broken by the real start
    put(buffer.begin() + 21, kGetPropState);
    EXPECT_EQ(find(buffer, test::entryOf(memory::kGetPropStateSignatures)), buffer.begin() + 21);
}

TEST_P(Scanner, WildcardAcceptsEveryByteValue) {
    // The test's own signature: the header's may one day have no open byte.
    const std::uint8_t pattern[] = {0x4C, 0x8B, 0xC1, 0x83, 0xFA, 0x00, 0x77, 0x19};
    for (const int value : {0x00, 0x07, 0x80, 0xFF}) {
        GuardedBuffer buffer(256);
        std::vector<std::uint8_t> bytes(std::begin(pattern), std::end(pattern));
        bytes[5] = static_cast<std::uint8_t>(value);
        put(buffer.begin() + 100, bytes);
        EXPECT_EQ(find(buffer, memory::Signature{"xxxxx?xx", pattern}), buffer.begin() + 100) << value;
    }
}

TEST_P(Scanner, LowerOfTwoOccurrencesWins) {
    GuardedBuffer buffer(100000);
    put(buffer.begin() + 70000, kSetPropState);
    put(buffer.begin() + 333, kSetPropState);
    EXPECT_EQ(find(buffer, test::entryOf(memory::kSetPropStateSignatures)), buffer.begin() + 333);
}

// Every length a signature of the signature tool's may have (up to 64
// bytes, verified a vector or two at a time) and beyond (byte by byte).
TEST_P(Scanner, EveryMaskLengthAtEveryOffsetNearTheEdges) {
    std::mt19937 random(7);
    for (std::size_t length = 1; length <= 80; ++length) {
        std::string mask(length, 'x');
        std::vector<std::uint8_t> pattern(length);
        for (auto& byte : pattern) byte = static_cast<std::uint8_t>(random());
        if (length > 2) mask[length / 2] = '?';
        if (length > 40) mask[length / 3] = '?';
        // A short range, and a long one dense with near-misses (a copy every
        // 24 bytes with one byte changed), which the search handles in bulk.
        for (const std::size_t size : {std::size_t{200}, std::size_t{3 * 4096 + 200}}) {
            GuardedBuffer buffer(size);
            for (std::size_t offset = 0; offset + length <= size; ++offset) {
                // Near the edges and near where the long range's chunks of 4 KiB
                // meet; the middle of a chunk is like any other place.
                if (offset % 4096 > 70 && offset % 4096 < 4096 - 70 && offset + length < size - 70) continue;
                std::memset(buffer.begin(), 0xAA, size);
                for (std::size_t at = 0; size > 200 && at + length <= size; at += 24) {
                    std::memcpy(buffer.begin() + at, pattern.data(), length);
                    const std::size_t changed = mask[(at / 24) % length] == 'x' ? (at / 24) % length : 0;
                    buffer.begin()[at + changed] ^= 0x01;
                }
                std::memcpy(buffer.begin() + offset, pattern.data(), length);
                const auto* expected = referenceSearch(buffer.begin(), buffer.end(), mask.c_str(), pattern.data());
                ASSERT_EQ(findInRange(buffer.begin(), buffer.end(), mask.c_str(), pattern.data()), expected)
                    << "length " << length << " offset " << offset;
                ASSERT_LE(expected, buffer.begin() + offset);
            }
        }
    }
}

TEST_P(Scanner, AgreesWithThePlainLoopOnRandomBuffers) {
    std::mt19937 random(12345);
    for (int round = 0; round < 3000; ++round) {
        const std::size_t size = round % 100 == 0 ? 20000 + random() % 4096 : random() % 300;
        GuardedBuffer buffer(size);
        // A small alphabet makes partial and overlapping matches common.
        for (std::size_t i = 0; i < size; ++i) buffer.begin()[i] = static_cast<std::uint8_t>(random() % 3);
        const std::size_t length = 1 + random() % 8;
        std::string mask(length, 'x');
        std::vector<std::uint8_t> pattern(length);
        for (std::size_t k = 0; k < length; ++k) {
            pattern[k] = static_cast<std::uint8_t>(random() % 3);
            if (random() % 4 == 0) mask[k] = '?';
        }
        ASSERT_EQ(findInRange(buffer.begin(), buffer.end(), mask.c_str(), pattern.data()),
                  referenceSearch(buffer.begin(), buffer.end(), mask.c_str(), pattern.data()))
            << "round " << round;
    }
}

TEST_P(Scanner, EmptyOrShortRangeGivesNull) {
    GuardedBuffer buffer(4);
    put(buffer.begin(), {kGetPropState.begin(), kGetPropState.begin() + 4});  // the signature's start, cut short
    EXPECT_EQ(findInRange(buffer.begin(), buffer.begin(), "x", kGetPropState.data()), nullptr);
    EXPECT_EQ(find(buffer, test::entryOf(memory::kGetPropStateSignatures)), nullptr);
    EXPECT_EQ(findInRange(nullptr, nullptr, "x", kGetPropState.data()), nullptr);
}

// A set's one pass against the plain loop searching each signature alone:
// sets of one to nine signatures (nine: more than one pass filters, in two
// passes), lengths to 64, planted near both edges of a range that ends
// at a page no one may read, on bytes from a small alphabet so that partial
// matches abound.
TEST_P(Scanner, EachSignatureOfASetIsFoundAsThePlainLoopFindsItAlone) {
    std::mt19937 random(2030);
    for (int round = 0; round < 1500; ++round) {
        const std::size_t count = 1 + random() % 9;
        std::vector<std::string> masks(count);
        std::vector<std::vector<std::uint8_t>> patterns(count);
        std::vector<memory::Signature> signatures(count);
        for (std::size_t s = 0; s < count; ++s) {
            const std::size_t length = 1 + random() % (round % 3 == 0 ? 64 : 6);
            masks[s].assign(length, 'x');
            patterns[s].resize(length);
            for (std::size_t k = 0; k < length; ++k) {
                patterns[s][k] = static_cast<std::uint8_t>(random() % 4);
                if (k > 0 && k + 1 < length && random() % 4 == 0) masks[s][k] = '?';
            }
            signatures[s] = {masks[s].c_str(), patterns[s].data()};
        }
        const std::size_t size = round % 50 == 0 ? 5000 + random() % 300 : 1 + random() % 400;
        GuardedBuffer buffer(size);
        for (std::size_t i = 0; i < size; ++i) buffer.begin()[i] = static_cast<std::uint8_t>(random() % 6);
        for (std::size_t s = 0; s < count; ++s) {
            const std::size_t length = masks[s].size();
            if (length > size || random() % 2 == 0) continue;
            const std::size_t at = random() % 2 ? size - length : random() % (size - length + 1);
            std::memcpy(buffer.begin() + at, patterns[s].data(), length);
        }
        std::vector<memory::EachMatch> found(count);
        memory::findEachInRange(buffer.begin(), buffer.end(), signatures.data(), count, found.data(), GetParam());
        for (std::size_t s = 0; s < count; ++s) {
            const auto* first = referenceSearch(buffer.begin(), buffer.end(), masks[s].c_str(), patterns[s].data());
            const auto* second = first == nullptr
                                     ? nullptr
                                     : referenceSearch(first + 1, buffer.end(), masks[s].c_str(), patterns[s].data());
            ASSERT_EQ(found[s].first, first) << "round " << round << " signature " << s;
            ASSERT_EQ(found[s].count, first == nullptr    ? 0
                                      : second == nullptr ? 1
                                                          : 2)
                << "round " << round << " signature " << s;
        }
    }
}

// A set's pass over more than the stretches it samples, where the end and
// one other byte of a signature's fingerprint come together every 64 bytes
// of its first 192 KiB (the third byte wrong). The far byte in one round of
// three, so that the rest is tested on the end and near byte first; the near
// byte in another, so that it goes back to the far; the two in turn in the
// third, so that both pairs pass often and the 256- and 512-bit passes test
// the rest on all three positions first, going back to two once a stretch
// had none (at 256 KiB). Every signature's lowest match and count are those
// of the plain loop, on either side of each change.
TEST_P(Scanner, ASetFindsThePlainLoopsMatchesWhereverItChangesHowItTestsFirst) {
    std::mt19937 random(2032);
    constexpr std::size_t kCount = 3, kLength = 16, kSize = 384 * 1024, kPaired = 192 * 1024;
    std::uint8_t patterns[kCount][kLength];
    for (auto& pattern : patterns)
        for (auto& byte : pattern) byte = static_cast<std::uint8_t>(random());
    const std::string mask(kLength, 'x');
    memory::Signature set[kCount];
    for (std::size_t s = 0; s < kCount; ++s) set[s] = {mask.c_str(), patterns[s]};
    const memory::Fingerprints fingerprints = memory::fingerprintsOf(set, kCount);
    const std::size_t end = fingerprints.end[0], near = fingerprints.distance[0], far = fingerprints.distance[1];
    ASSERT_GE(end, far);
    GuardedBuffer buffer(kSize);
    for (int round = 0; round < 48; ++round) {
        for (std::size_t i = 0; i < kSize; ++i) buffer.begin()[i] = static_cast<std::uint8_t>(random());
        for (std::size_t at = 64; at < kPaired; at += 64) {
            const bool farPair = round % 3 == 0 || (round % 3 == 2 && at / 64 % 2 == 0);
            const std::size_t right = farPair ? far : near, wrong = farPair ? near : far;
            buffer.begin()[at] = patterns[0][end];
            buffer.begin()[at - right] = patterns[0][end - right];
            buffer.begin()[at - wrong] = static_cast<std::uint8_t>(patterns[0][end - wrong] ^ 1);
        }
        // The first signature at the range's end (searched byte by byte) in
        // one round of four, anywhere past the samples in another, and in the
        // other two across one of the places where the pass may change: where
        // the second sample begins, where the rest begins, where the pairs
        // stop, and where it goes back to two positions. The second twice
        // anywhere; the third inside the samples.
        constexpr std::size_t kChanges[] = {64 * 1024, 128 * 1024, kPaired, 256 * 1024};
        const std::size_t past = round % 4 == 3   ? kSize - kLength
                                 : round % 4 == 2 ? 128 * 1024 + random() % (kSize - 128 * 1024 - kLength)
                                                  : kChanges[round / 4 % 4] - 40 + random() % 80;
        std::memcpy(buffer.begin() + past, patterns[0], kLength);
        for (int twice = 0; twice < 2; ++twice)
            std::memcpy(buffer.begin() + random() % (kSize - kLength), patterns[1], kLength);
        std::memcpy(buffer.begin() + random() % (100 * 1024), patterns[2], kLength);
        memory::EachMatch found[kCount] = {};
        memory::findEachInRange(buffer.begin(), buffer.end(), set, kCount, found, GetParam());
        for (std::size_t s = 0; s < kCount; ++s) {
            const auto* first = referenceSearch(buffer.begin(), buffer.end(), mask.c_str(), patterns[s]);
            const bool twice =
                first != nullptr && referenceSearch(first + 1, buffer.end(), mask.c_str(), patterns[s]) != nullptr;
            ASSERT_EQ(found[s].first, first) << "round " << round << ", signature " << s;
            ASSERT_EQ(found[s].count, first == nullptr ? 0 : twice ? 2 : 1) << "round " << round << ", signature " << s;
        }
    }
}

TEST(StandInGame, EachFunctionBeginsWithTheEntrySignatureTheHeaderHolds) {
    for (std::size_t k = 0; k < std::size(memory::kGameSignatures); ++k) {
        const memory::SignatureSet& set = *memory::kGameSignatures[k];
        const memory::SetSignature* entry = set.entry();
        if (entry == nullptr) continue;
        const std::uint8_t* code = sim::gameFunctionAddress(static_cast<sim::GameFunction>(k));
        for (std::size_t i = 0; entry->mask[i] != '\0'; ++i) {
            if (entry->mask[i] != 'x') continue;
            EXPECT_EQ(code[i], entry->pattern[i]) << set.name << " byte " << i;
        }
    }
}

using ModuleQuery = PluginTest;

TEST_F(ModuleQuery, FailedQueryGivesNull) {
    // The host build's platform layer reports the stand-in game's code as the module
    // unless told otherwise; an empty range is a failed query.
    std::vector<std::uint8_t> image(kGetPropState.begin(), kGetPropState.end());
    platform::setHostMainModule({image.data(), image.data()});
    EXPECT_EQ(memory::findFunction(memory::kGetPropStateSignatures), nullptr);
}

// Each signature of a set that does not give `function` in the game's code,
// with what it gives instead: the bytes the stand-in game must hold, in a
// caller's call or a function's body as well as in its first bytes.
std::string signaturesMissing(const memory::SignatureSet& set, const void* function) {
    static const char* const kKinds[] = {"entry", "call", "inside"};
    static const char* const kHow[] = {"gives another address",        "no match in code",
                                       "several matches in code",      "ruled out, inside a known function",
                                       "a call's target outside code", "the exception directory says nothing certain"};
    const platform::ByteRange range = platform::mainModuleRange();
    const memory::ModuleAccess module{range.begin, range.end, memory::processRegions()};
    const memory::SetFinding finding = memory::resolveSet(set, module, memory::bestVectorPath());
    std::string missing;
    for (std::size_t k = 0; k < set.count; ++k) {
        if (finding.gives[k].address == function) continue;
        const memory::SetSignature& signature = set.items[k];
        missing += std::string("\n  ") + kKinds[static_cast<int>(signature.kind)];
        for (std::size_t i = 0; signature.mask[i] != '\0'; ++i) {
            char byte[4] = " ??";
            if (signature.mask[i] == 'x') std::snprintf(byte, sizeof byte, " %02X", signature.pattern[i]);
            missing += byte;
        }
        missing += std::string(": ") + kHow[static_cast<int>(finding.gives[k].how)];
    }
    return missing;
}

TEST_F(ModuleQuery, EachSetFindsItsFunctionInTheGamesCode) {
    SKIP_UNLESS_PAGE_PROTECTIONS_READ_APART();
    for (std::size_t k = 0; k < std::size(memory::kGameSignatures); ++k) {
        const memory::SignatureSet& set = *memory::kGameSignatures[k];
        const void* function = sim::gameFunctionAddress(static_cast<sim::GameFunction>(k));
        EXPECT_EQ(memory::findFunction(set), function)
            << set.name << ": the signatures that do not give it" << signaturesMissing(set, function);
    }
}

}  // namespace
