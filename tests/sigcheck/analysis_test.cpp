// The signature tool's analysis on code of the test's own making: which
// bytes a new signature leaves open, where a function ends, and what the
// exception directory and the relocations say, broken ones included.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "compare.h"
#include "decode.h"
#include "module_view.h"
#include "program.h"
#include "propose.h"

namespace {

using sigcheck::ModuleView;

constexpr std::uint64_t kBase = 0x140000000;
constexpr std::uint32_t kCode = 0x1000;    // code from here
constexpr std::uint32_t kTables = 0x2000;  // read-only data: the tables
constexpr std::uint32_t kEnd = 0x3000;

// An image of one page of code and one of tables, laid out by RVA.
struct TestImage {
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(kEnd, 0xCC);
    std::uint64_t bounds[4] = {0, kCode, kTables, kEnd};
    std::uint8_t kinds[3] = {0, 1, 2};
    std::uint32_t pdataRva = 0, pdataSize = 0, relocRva = 0, relocSize = 0;

    void put(std::uint32_t rva, const std::vector<std::uint8_t>& code) {
        std::memcpy(bytes.data() + rva, code.data(), code.size());
    }
    void put32(std::uint32_t rva, std::uint32_t value) { std::memcpy(bytes.data() + rva, &value, 4); }
    // One block of DIR64 relocations for the page at `page`, in the tables.
    void relocate(std::uint32_t page, const std::vector<std::uint16_t>& offsets) {
        relocRva = kTables + 0x800;
        put32(relocRva, page);
        put32(relocRva + 4, static_cast<std::uint32_t>(8 + 2 * offsets.size()));
        for (std::size_t k = 0; k < offsets.size(); ++k) {
            const auto entry = static_cast<std::uint16_t>(0xA000 | offsets[k]);
            std::memcpy(bytes.data() + relocRva + 8 + 2 * k, &entry, 2);
        }
        relocSize = static_cast<std::uint32_t>(8 + 2 * offsets.size());
    }
    ModuleView view() const {
        const SigcheckModule d{bytes.data(), bytes.size(), bounds,   kinds,     3,       kBase,   0,
                               pdataRva,     pdataSize,    relocRva, relocSize, nullptr, nullptr, 0};
        return ModuleView(d);
    }
};

std::vector<sigcheck::Instruction> code(const ModuleView& image, std::uint32_t rva, std::uint32_t length) {
    return sigcheck::decodeRange(image, rva, rva + length, 64);
}

struct OpenRow {
    const char* what;
    std::vector<std::uint8_t> before, after;
    const char* mask;                           // of `after`
    std::vector<std::uint16_t> relocated = {};  // offsets in `after` that a DIR64 relocation covers
};

class OpenBytes : public ::testing::TestWithParam<OpenRow> {};

TEST_P(OpenBytes, AreTheOnesThatMoveWithTheLayoutOrThatTheTwoBuildsDisagreeOn) {
    const OpenRow& row = GetParam();
    TestImage old;
    TestImage neu;
    old.put(kCode, row.before);
    neu.put(kCode, row.after);
    if (!row.relocated.empty()) neu.relocate(kCode & ~0xFFFu, row.relocated);
    const ModuleView oldImage = old.view();
    const ModuleView newImage = neu.view();
    const auto newCode = code(newImage, kCode, static_cast<std::uint32_t>(row.after.size()));
    const auto oldCode = code(oldImage, kCode, static_cast<std::uint32_t>(row.before.size()));
    EXPECT_EQ(sigcheck::openBytes(newImage, newCode, oldCode), row.mask);
}

const std::vector<std::uint8_t> kSubRsp28 = {0x48, 0x83, 0xEC, 0x28};

INSTANTIATE_TEST_SUITE_P(
    Rules, OpenBytes,
    ::testing::Values(
        OpenRow{"CallRel32", {0xE8, 1, 2, 3, 4}, {0xE8, 9, 9, 9, 9}, "x????"},
        OpenRow{"JmpRel32", {0xE9, 1, 2, 3, 4}, {0xE9, 1, 2, 3, 4}, "x????"},
        OpenRow{"JccRel32", {0x0F, 0x84, 1, 2, 3, 4}, {0x0F, 0x84, 1, 2, 3, 4}, "xx????"},
        OpenRow{"JccRel8SameInBoth", {0x77, 0x19}, {0x77, 0x19}, "xx"},
        OpenRow{"JccRel8Moved", {0x77, 0x19}, {0x77, 0x1B}, "x?"},
        OpenRow{"RipRelativeLoad", {0x48, 0x8B, 0x05, 1, 2, 3, 4}, {0x48, 0x8B, 0x05, 1, 2, 3, 4}, "xxx????"},
        OpenRow{"RipRelativeLea", {0x48, 0x8D, 0x0D, 1, 2, 3, 4}, {0x48, 0x8D, 0x0D, 5, 6, 7, 8}, "xxx????"},
        // mov rax, imm64 (not into the image), the relocation table covering it.
        OpenRow{"RelocatedAbsoluteAddress",
                {0x48, 0xB8, 8, 7, 6, 5, 4, 3, 2, 1},
                {0x48, 0xB8, 8, 7, 6, 5, 4, 3, 2, 1},
                "xx????????",
                {0x002}},
        // mov rax, [0x140002010] and mov rax, 0x140002010: addresses into the image, relocated or not.
        OpenRow{"AbsoluteAddressIntoTheImage",
                {0x48, 0xA1, 0x10, 0x20, 0x00, 0x40, 0x01, 0, 0, 0},
                {0x48, 0xA1, 0x10, 0x20, 0x00, 0x40, 0x01, 0, 0, 0},
                "xx????????"},
        OpenRow{"MovRaxImm64IntoTheImage",
                {0x48, 0xB8, 0x10, 0x20, 0x00, 0x40, 0x01, 0, 0, 0},
                {0x48, 0xB8, 0x10, 0x20, 0x00, 0x40, 0x01, 0, 0, 0},
                "xx????????"},
        OpenRow{"StructDisplacementSameInBoth", {0x48, 0x8B, 0x41, 0x08}, {0x48, 0x8B, 0x41, 0x08}, "xxxx"},
        OpenRow{"StructDisplacementMoved", {0x48, 0x8B, 0x41, 0x08}, {0x48, 0x8B, 0x41, 0x10}, "xxx?"},
        OpenRow{
            "StructDisplacementMovedWithOtherRegisters", {0x48, 0x8B, 0x41, 0x50}, {0x48, 0x8B, 0x42, 0x54}, "xxx?"},
        OpenRow{"FrameSizeImm8SameInBoth", kSubRsp28, kSubRsp28, "xxxx"},
        OpenRow{"FrameSizeImm8Changed", kSubRsp28, {0x48, 0x83, 0xEC, 0x38}, "xxx?"},
        OpenRow{"FrameSizeImm32Changed",
                {0x48, 0x81, 0xEC, 0x00, 0x01, 0x00, 0x00},
                {0x48, 0x81, 0xEC, 0x08, 0x01, 0x00, 0x00},
                "xxx????"},
        OpenRow{"SmallImmediateSameInBoth", {0x83, 0xFA, 0x07}, {0x83, 0xFA, 0x07}, "xxx"},
        // An instruction new in this build: nothing says its immediate stays.
        OpenRow{"ImmediateOfANewInstruction", {0x90}, {0x90, 0xB8, 5, 0, 0, 0}, "xx????"}),
    [](const auto& row) { return std::string(row.param.what); });

// A few bytes of code, ended by the bytes given.
struct ExtentRow {
    const char* what;
    std::vector<std::uint8_t> code;
    std::uint32_t end;
};

class ForwardExtent : public ::testing::TestWithParam<ExtentRow> {};

TEST_P(ForwardExtent, EndsAtTheReturnOrJumpThatNoBranchPasses) {
    TestImage t;
    t.put(kCode, GetParam().code);
    const ModuleView image = t.view();
    EXPECT_EQ(sigcheck::forwardExtent(image, kCode, kEnd).end, kCode + GetParam().end);
}

INSTANTIATE_TEST_SUITE_P(
    Code, ForwardExtent,
    ::testing::Values(ExtentRow{"Return", {0x31, 0xC0, 0xC3}, 3},
                      // ja +1 jumps past the first ret: the function goes on to the second.
                      ExtentRow{"BranchPastTheFirstReturn", {0x77, 0x01, 0xC3, 0x31, 0xC0, 0xC3}, 6},
                      ExtentRow{"TailJump", {0x48, 0x89, 0xC8, 0xE9, 0xF0, 0xFF, 0xFF, 0xFF}, 8},
                      ExtentRow{"BackwardLoopThenReturn", {0xFF, 0xC9, 0x75, 0xFC, 0xC3}, 5},
                      ExtentRow{"Trap", {0x0F, 0x0B}, 2},
                      // No return before the code ends: the function runs to the end of its section.
                      ExtentRow{"RunsToTheEndOfTheSection", std::vector<std::uint8_t>(kTables - kCode, 0x90),
                                kTables - kCode}),
    [](const auto& row) { return std::string(row.param.what); });

// What a broken exception directory or relocation table leaves: what is
// sound in it, and nothing read outside the image.
TEST(BrokenTables, ChainsInALoopAndEntriesOutsideTheImageAreDropped) {
    TestImage t;
    t.pdataRva = kTables;
    t.pdataSize = 4 * 12;
    const auto entry = [&](std::uint32_t k, std::uint32_t begin, std::uint32_t end, std::uint32_t unwind) {
        t.put32(kTables + 12 * k, begin);
        t.put32(kTables + 12 * k + 4, end);
        t.put32(kTables + 12 * k + 8, unwind);
    };
    entry(0, kCode, kCode + 0x10, kTables + 0x400);  // sound: unwind data without a chain
    t.bytes[kTables + 0x400] = 0x01;
    entry(1, kCode + 0x20, kCode + 0x30, kTables + 12 * 2 + 1);  // names entry 2, which names entry 1
    entry(2, kCode + 0x40, kCode + 0x50, kTables + 12 * 1 + 1);
    entry(3, kCode + 0x60, 0x7FFFFFF0, kTables + 0x400);  // ends far outside the image
    t.relocRva = kTables + 0x800;
    t.relocSize = 0x7FFFFFFF;  // past the end of the image: nothing is read
    const ModuleView image = t.view();
    ASSERT_EQ(image.unwindFunctions().size(), 1u);
    EXPECT_EQ(image.unwindFunctions()[0].begin, kCode);
    EXPECT_TRUE(image.pointerSlots().empty());
}

TEST(BrokenTables, RelocationsPastTheEndOfTheImageAreDropped) {
    TestImage t;
    t.relocate(kEnd - 0x1000, {0xFF0, 0xFFC});  // the second would run past the image's last byte
    const ModuleView image = t.view();
    EXPECT_TRUE(image.relocated(kEnd - 0x10, 8));
    EXPECT_FALSE(image.relocated(kEnd - 4, 4));
}

// Which argument registers an instruction reads and writes: what tells a
// function that takes more arguments than the old one.
struct ArgumentRow {
    const char* what;
    std::vector<std::uint8_t> code;
    std::uint8_t read, written;
};

class Arguments : public ::testing::TestWithParam<ArgumentRow> {};

TEST_P(Arguments, AreReadOrWrittenAsTheInstructionUsesThem) {
    TestImage t;
    t.put(kCode, GetParam().code);
    const ModuleView image = t.view();
    sigcheck::Instruction instruction;
    ASSERT_TRUE(sigcheck::decode(image, kCode, kTables, instruction));
    EXPECT_EQ(instruction.argumentsRead, GetParam().read);
    EXPECT_EQ(instruction.argumentsWritten, GetParam().written);
}

INSTANTIATE_TEST_SUITE_P(Registers, Arguments,
                         ::testing::Values(ArgumentRow{"MovRaxRcx", {0x48, 0x89, 0xC8}, 0x01, 0x00},
                                           ArgumentRow{"ZeroingR9", {0x45, 0x31, 0xC9}, 0x00, 0x08},
                                           ArgumentRow{
                                               "StoreRdxToTheStack", {0x48, 0x89, 0x54, 0x24, 0x10}, 0x02, 0x00},
                                           ArgumentRow{"LoadThroughRdxIntoR8", {0x4C, 0x8B, 0x02}, 0x02, 0x04},
                                           ArgumentRow{"MovssXmm0Xmm1", {0xF3, 0x0F, 0x10, 0xC1}, 0x20, 0x10},
                                           ArgumentRow{"ZeroingXmm0", {0x0F, 0x57, 0xC0}, 0x00, 0x10}),
                         [](const auto& row) { return std::string(row.param.what); });

TEST(Arguments, ArityIsTheHighestPositionRead) {
    EXPECT_EQ(sigcheck::arity(0x00), 0);
    EXPECT_EQ(sigcheck::arity(0x01), 1);
    EXPECT_EQ(sigcheck::arity(0x40), 3);  // xmm2: the third argument, a float
    EXPECT_EQ(sigcheck::arity(0x09), 4);
}

// The longest common subsequence the plain way, to hold the word-parallel one to.
std::size_t plainCommon(const std::vector<std::uint64_t>& a, const std::vector<std::uint64_t>& b) {
    std::vector<std::size_t> row(b.size() + 1, 0);
    for (const std::uint64_t x : a) {
        std::size_t diagonal = 0;
        for (std::size_t j = 0; j < b.size(); ++j) {
            const std::size_t above = row[j + 1];
            row[j + 1] = x == b[j] ? diagonal + 1 : std::max(row[j + 1], row[j]);
            diagonal = above;
        }
    }
    return row[b.size()];
}

TEST(Compare, SimilarityAndAlignmentFollowTheLongestCommonSubsequenceAcrossMachineWords) {
    std::mt19937 random(5);
    for (int round = 0; round < 300; ++round) {
        // A small alphabet and lengths across several 64-bit words: long
        // subsequences, and carries between the words.
        std::vector<std::uint64_t> a(random() % 300);
        std::vector<std::uint64_t> b(random() % 300);
        for (auto& token : a) token = random() % 4;
        for (auto& token : b) token = random() % 4;
        const std::size_t common = plainCommon(a, b);
        const double expected =
            a.empty() && b.empty() ? 1.0 : 2.0 * static_cast<double>(common) / static_cast<double>(a.size() + b.size());
        ASSERT_DOUBLE_EQ(sigcheck::similarity(a, b), expected) << "round " << round;
        const auto pairs = sigcheck::align(a, b);
        ASSERT_EQ(pairs.size(), common) << "round " << round;
        for (std::size_t k = 0; k < pairs.size(); ++k) {
            ASSERT_EQ(a[pairs[k].first], b[pairs[k].second]);
            if (k == 0) continue;
            ASSERT_TRUE(pairs[k].first > pairs[k - 1].first && pairs[k].second > pairs[k - 1].second);
        }
    }
}

// Of the acceptable signatures, the one whose nearest near-miss is further
// away wins over the shorter one.
TEST(Propose, PrefersTheLargerMarginToTheNearestNearMissOverTheShorter) {
    const std::vector<std::uint8_t> function = {0x48, 0x89, 0xC8, 0x48, 0x01, 0xD0, 0x48,
                                                0x31, 0xC9, 0x48, 0xFF, 0xC0, 0xC3};  // mov, add, xor, inc, ret
    TestImage old;
    old.put(kCode + 0x100, function);
    TestImage neu;
    neu.put(kCode + 0x200, function);
    std::vector<std::uint8_t> near(function.begin(), function.begin() + 9);
    near[4] = 0x29;  // add becomes sub: the first three instructions but one byte
    neu.put(kCode + 0x400, near);
    const ModuleView oldImage = old.view();
    const ModuleView newImage = neu.view();
    sigcheck::Deadline deadline(10);
    const sigcheck::Program oldProgram(oldImage, {kCode + 0x100}, deadline);
    const sigcheck::Program newProgram(newImage, {kCode + 0x200, kCode + 0x400}, deadline);
    const sigcheck::Proposal proposal =
        sigcheck::propose(oldProgram, kCode + 0x100, newProgram, kCode + 0x200, deadline);
    ASSERT_TRUE(proposal.found);
    EXPECT_EQ(sigcheck::signatureText(proposal.mask, proposal.pattern), "48 89 C8 48 01 D0 48 31 C9 48 FF C0");
    EXPECT_TRUE(proposal.survives);
    EXPECT_EQ(proposal.margin, 3u);
}

}  // namespace
