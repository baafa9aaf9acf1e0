#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "game_objects.h"
#include "memory/signature.h"
#include "platform/platform_native.h"
#include "plugin_fixture.h"

namespace {

using memory::findInRange;
using memory::findInRangeReference;

// Bytes that end right before a page no one may read, so that any read past
// the end of the range faults instead of passing unnoticed.
class GuardedBuffer {
public:
    explicit GuardedBuffer(std::size_t size) : size_(size) {
        page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        readable_ = (size + page_ - 1) / page_ * page_;
        if (readable_ == 0) readable_ = page_;
        mapping_ = static_cast<std::uint8_t*>(
            mmap(nullptr, readable_ + page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(mapping_ + readable_, page_, PROT_NONE);
        std::memset(mapping_, 0x90, readable_);
    }
    ~GuardedBuffer() { munmap(mapping_, readable_ + page_); }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    std::uint8_t* begin() { return mapping_ + readable_ - size_; }
    std::uint8_t* end() { return mapping_ + readable_; }
    std::size_t size() const { return size_; }

private:
    std::uint8_t* mapping_ = nullptr;
    std::size_t size_;
    std::size_t page_ = 0;
    std::size_t readable_ = 0;
};

const std::uint8_t* find(GuardedBuffer& buffer, const memory::Signature& signature) {
    return findInRange(buffer.begin(), buffer.end(), signature.mask, signature.pattern);
}

void put(std::uint8_t* at, const std::vector<std::uint8_t>& bytes) { std::memcpy(at, bytes.data(), bytes.size()); }

const std::vector<std::uint8_t> kGetPropState = {0x4C, 0x8B, 0xC1, 0x83, 0xFA, 0x07, 0x77, 0x19};
const std::vector<std::uint8_t> kSetPropState = {0x4C, 0x8B, 0xC9, 0x83, 0xFA, 0x07, 0x77, 0x1F, 0x8B, 0xCA};
const std::vector<std::uint8_t> kHandleToAddress = {0x83, 0xF9, 0xFF, 0x74, 0x31, 0x4C, 0x8B, 0x0D, 0x12, 0x34,
                                                    0x56, 0x78, 0x44, 0x8B, 0xC1, 0x49, 0x8B, 0x41, 0x08};

TEST(Scanner, SignatureAtTheFirstByteIsFoundAtTheBase) {
    GuardedBuffer buffer(4096);
    put(buffer.begin(), kHandleToAddress);
    EXPECT_EQ(find(buffer, memory::kHandleToAddressSignature), buffer.begin());
}

TEST(Scanner, SignatureEndingAtTheLastByteIsFound) {
    for (const std::size_t size : {10u, 4096u, 100000u}) {
        GuardedBuffer buffer(size);
        put(buffer.end() - kSetPropState.size(), kSetPropState);
        EXPECT_EQ(find(buffer, memory::kSetPropStateSignature), buffer.end() - kSetPropState.size()) << size;
    }
}

TEST(Scanner, PartialMatchRunningIntoTheEndIsNoMatchAndReadsNothingBeyond) {
    for (std::size_t k = 1; k < kHandleToAddress.size(); ++k) {
        GuardedBuffer buffer(1000);
        put(buffer.end() - k,
            std::vector<std::uint8_t>(kHandleToAddress.begin(), kHandleToAddress.begin() + static_cast<long>(k)));
        EXPECT_EQ(find(buffer, memory::kHandleToAddressSignature), nullptr) << k;
    }
}

TEST(Scanner, FindsAnOccurrenceThatStartsInsideABrokenPartialMatch) {
    GuardedBuffer buffer(64);
    put(buffer.begin() + 20, {0x4C, 0x4C, 0x8B, 0xC1, 0x83, 0xFA, 0x07, 0x77, 0x19});
    EXPECT_EQ(find(buffer, memory::kGetPropStateSignature), buffer.begin() + 21);
}

TEST(Scanner, WildcardAcceptsEveryByteValue) {
    for (const int value : {0x00, 0x07, 0x80, 0xFF}) {
        GuardedBuffer buffer(256);
        auto bytes = kGetPropState;
        bytes[5] = static_cast<std::uint8_t>(value);
        put(buffer.begin() + 100, bytes);
        EXPECT_EQ(find(buffer, memory::kGetPropStateSignature), buffer.begin() + 100) << value;
    }
}

TEST(Scanner, LowerOfTwoOccurrencesWins) {
    GuardedBuffer buffer(100000);
    put(buffer.begin() + 70000, kSetPropState);
    put(buffer.begin() + 333, kSetPropState);
    EXPECT_EQ(find(buffer, memory::kSetPropStateSignature), buffer.begin() + 333);
}

TEST(Scanner, EveryMaskLengthAtEveryOffsetNearTheEdges) {
    std::mt19937 random(7);
    for (std::size_t length = 1; length <= 19; ++length) {
        std::string mask(length, 'x');
        std::vector<std::uint8_t> pattern(length);
        for (auto& byte : pattern) byte = static_cast<std::uint8_t>(random());
        if (length > 2) mask[length / 2] = '?';
        const std::size_t size = 200;
        for (std::size_t offset = 0; offset + length <= size; ++offset) {
            if (offset > 70 && offset + length < size - 70) continue;  // the middle is like any other place
            GuardedBuffer buffer(size);
            std::memset(buffer.begin(), 0xAA, size);
            std::memcpy(buffer.begin() + offset, pattern.data(), length);
            const auto* expected = findInRangeReference(buffer.begin(), buffer.end(), mask.c_str(), pattern.data());
            ASSERT_EQ(findInRange(buffer.begin(), buffer.end(), mask.c_str(), pattern.data()), expected)
                << "length " << length << " offset " << offset;
            ASSERT_LE(expected, buffer.begin() + offset);
        }
    }
}

TEST(Scanner, AgreesWithThePlainLoopOnRandomBuffers) {
    std::mt19937 random(12345);
    for (int round = 0; round < 3000; ++round) {
        const std::size_t size = random() % 300;
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
                  findInRangeReference(buffer.begin(), buffer.end(), mask.c_str(), pattern.data()))
            << "round " << round;
    }
}

TEST(Scanner, EmptyOrShortRangeGivesNull) {
    GuardedBuffer buffer(4);
    put(buffer.begin(), {0x4C, 0x8B, 0xC1, 0x83});
    EXPECT_EQ(findInRange(buffer.begin(), buffer.begin(), "x", kGetPropState.data()), nullptr);
    EXPECT_EQ(find(buffer, memory::kGetPropStateSignature), nullptr);
    EXPECT_EQ(findInRange(nullptr, nullptr, "x", kGetPropState.data()), nullptr);
}

class ReadableRegions : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        base_ = static_cast<std::uint8_t*>(
            mmap(nullptr, 4 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        std::memset(base_, 0x90, 4 * page_);
    }
    void TearDown() override {
        munmap(base_, 4 * page_);
        PluginTest::TearDown();
    }
    void lock(std::size_t page) { mprotect(base_ + page * page_, page_, PROT_NONE); }
    const std::uint8_t* search() {
        platform::setNativeMainModule({base_, base_ + 4 * page_});
        return static_cast<const std::uint8_t*>(
            findSignature(memory::kGetPropStateSignature.mask, memory::kGetPropStateSignature.pattern));
    }

    std::uint8_t* base_ = nullptr;
    std::size_t page_ = 0;
};

TEST_F(ReadableRegions, NoAccessPageIsSteppedAroundAndWhatFollowsIsFound) {
    put(base_ + 2 * page_ + 5, kGetPropState);
    lock(1);
    EXPECT_EQ(search(), base_ + 2 * page_ + 5);
}

TEST_F(ReadableRegions, MatchNeverSpansAnUnreadablePage) {
    put(base_ + page_ - 4, kGetPropState);  // runs from page 0 into page 1
    put(base_ + 3 * page_ + 1, kGetPropState);
    lock(1);
    EXPECT_EQ(search(), base_ + 3 * page_ + 1);
}

TEST_F(ReadableRegions, MatchAcrossTwoReadableRegionsIsFound) {
    put(base_ + page_ - 4, kGetPropState);
    mprotect(base_ + page_, page_, PROT_READ);  // a different protection, still readable
    EXPECT_EQ(search(), base_ + page_ - 4);
}

TEST_F(ReadableRegions, FailedModuleQueryGivesNull) {
    // The native stand-in reports the stand-in game's code as the module
    // unless told otherwise; an empty range is a failed query.
    put(base_, kGetPropState);
    platform::setNativeMainModule({base_, base_});
    EXPECT_EQ(findSignature(memory::kGetPropStateSignature.mask, memory::kGetPropStateSignature.pattern), nullptr);
}

TEST(GameImage, EachSignatureIsFoundAtItsFunctionsEntry) {
    platform::setNativeMainModule({});
    EXPECT_EQ(findSignature(memory::kHandleToAddressSignature.mask, memory::kHandleToAddressSignature.pattern),
              reinterpret_cast<void*>(&gameHandleToAddress));
    EXPECT_EQ(findSignature(memory::kGetPropStateSignature.mask, memory::kGetPropStateSignature.pattern),
              reinterpret_cast<void*>(&gameGetPropState));
    EXPECT_EQ(findSignature(memory::kSetPropStateSignature.mask, memory::kSetPropStateSignature.pattern),
              reinterpret_cast<void*>(&gameSetPropState));
}

}  // namespace
