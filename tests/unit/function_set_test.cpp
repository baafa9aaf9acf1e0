// How a set of signatures finds its function, on a module of the test's own
// making: PE headers, a page of code and one of tables (the exception
// directory and its unwind information), each row placing its bytes and
// its directory, and saying where the function is, or that it is not found.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "memory/function_set.h"
#include "vector_paths.h"

namespace {

using memory::SignatureSet;

constexpr std::uint32_t kCode = 0x1000;    // code from here
constexpr std::uint32_t kTables = 0x3000;  // read-only data from here
constexpr std::uint32_t kEnd = 0x4000;
constexpr std::uint32_t kPe = 0x80;
constexpr std::uint32_t kDirectory = kPe + 24 + 112 + 3 * 8;  // the exception directory's RVA and size

// Where the row's functions stand.
constexpr std::uint32_t kFunction = kCode + 0x100;
constexpr std::uint32_t kOther = kCode + 0x400;
constexpr std::uint32_t kCaller = kCode + 0x800;
constexpr std::uint32_t kSecondCaller = kCode + 0xA00;
constexpr std::uint32_t kData = kCode + 0x600;  // a data page between code, where a row asks for one
constexpr std::uint32_t kNone = 0;

// The signatures the rows' sets are made of, and the bytes they find.
const std::vector<std::uint8_t> kEntryBytes = {0x4C, 0x8B, 0xC1, 0x83, 0xFA, 0x07, 0x77, 0x19};
const std::vector<std::uint8_t> kInsideBytes = {0x41, 0x8B, 0x44, 0x80, 0x10};

struct Module {
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(kEnd, 0xCC);

    Module() {
        bytes[0] = 'M', bytes[1] = 'Z';
        put32(0x3C, kPe);
        put32(kPe, 0x00004550);
        bytes[kPe + 20] = 240;  // SizeOfOptionalHeader
        bytes[kPe + 24] = 0x0B, bytes[kPe + 25] = 0x02;
        put32(kPe + 24 + 108, 16);  // NumberOfRvaAndSizes
        std::memset(bytes.data() + kTables, 0, kEnd - kTables);
    }
    void put(std::uint32_t rva, const std::vector<std::uint8_t>& code) {
        std::memcpy(bytes.data() + rva, code.data(), code.size());
    }
    void put32(std::uint32_t rva, std::uint32_t value) { std::memcpy(bytes.data() + rva, &value, 4); }
    // A call (E8) or jump (E9) at `at` to `target`, between the bytes a call signature fixes.
    void call(std::uint32_t at, std::uint32_t target, std::uint8_t opcode = 0xE8) {
        put(at, {0x48, 0x8B, 0xCF, opcode});
        put32(at + 4, target - (at + 8));
        put(at + 8, {0x85, 0xC0});
    }
    memory::ModuleAccess access() const { return {bytes.data(), bytes.data() + bytes.size(), {query, this}}; }

    // What the page queries answer: the first page of code may be split by
    // a page of data, the header page may be unreadable, and past the
    // module may lie more code, as another module's pages may.
    bool dataInCode = false;
    bool unreadableHeaders = false;
    bool codeBeyond = false;

    // Headers and tables may be read, the code run.
    static platform::Region query(const void* context, const std::uint8_t* address) {
        const auto& module = *static_cast<const Module*>(context);
        const std::uint8_t* base = module.bytes.data();
        if (address >= base + module.bytes.size() && module.codeBeyond) return {address, address + 0x1000, true, true};
        if (address < base || address >= base + module.bytes.size()) return {};
        const auto rva = static_cast<std::uint32_t>(address - base);
        if (rva < kCode) return {base, base + kCode, false, !module.unreadableHeaders};
        if (module.dataInCode && rva >= kData && rva < kData + 0x100)
            return {base + kData, base + kData + 0x100, false, true};
        if (module.dataInCode && rva < kData) return {base + kCode, base + kData, true, true};
        if (module.dataInCode && rva < kTables) return {base + kData + 0x100, base + kTables, true, true};
        if (rva < kTables) return {base + kCode, base + kTables, true, true};
        return {base + kTables, base + kEnd, false, true};
    }
};

// The exception directory at kTables: (begin, end, unwind information) per
// entry, the unwind information after them. `chained` entries' unwind
// information chains to the entry before them.
void directory(Module& m, const std::vector<std::array<std::uint32_t, 2>>& entries, std::vector<bool> chained = {}) {
    const std::uint32_t unwind = kTables + 0x800;
    for (std::size_t k = 0; k < entries.size(); ++k) {
        const auto at = static_cast<std::uint32_t>(kTables + 12 * k);
        m.put32(at, entries[k][0]);
        m.put32(at + 4, entries[k][1]);
        const auto info = static_cast<std::uint32_t>(unwind + 16 * k);
        m.put32(at + 8, info);
        const bool chain = k < chained.size() && chained[k];
        m.bytes[info] = static_cast<std::uint8_t>(1 | (chain ? 0x4 << 3 : 0));  // version 1, no unwind codes
        if (chain) {                                                            // the parent entry after the codes
            m.put32(info + 4, entries[k - 1][0]);
            m.put32(info + 8, entries[k - 1][1]);
            m.put32(info + 12, static_cast<std::uint32_t>(unwind + 16 * (k - 1)));
        }
    }
    m.put32(kDirectory, kTables);
    m.put32(kDirectory + 4, static_cast<std::uint32_t>(12 * entries.size()));
}

struct Row {
    const char* what;
    SignatureSet set;
    void (*arrange)(Module&);
    std::uint32_t expected;  // the function's RVA, kNone for not found
    bool tie = false;
    // What the first signature gives, where the row is about it.
    std::optional<memory::GivenHow> firstHow = std::nullopt;
    memory::DirectorySays says = memory::DirectorySays::function;  // with GivenHow::directory
};

constexpr SignatureSet kEntry = memory::signatures("f", "4C 8B C1 83 FA 07 77 19");
constexpr SignatureSet kCall = memory::signatures("f", "call 48 8B CF [E8 ?? ?? ?? ??] 85 C0");
constexpr SignatureSet kJump = memory::signatures("f", "call 48 8B CF [E9 ?? ?? ?? ??] 85 C0");
constexpr SignatureSet kInside = memory::signatures("f", "inside 41 8B 44 80 10");
constexpr SignatureSet kAll =
    memory::signatures("f", "4C 8B C1 83 FA 07 77 19", "call 48 8B CF [E8 ?? ?? ?? ??] 85 C0", "inside 41 8B 44 80 10");
constexpr SignatureSet kEntryAndCall =
    memory::signatures("f", "4C 8B C1 83 FA 07 77 19", "call 48 8B CF [E8 ?? ?? ?? ??] 85 C0");
// Votes in the order B, C, A, A.
constexpr SignatureSet kVotes =
    memory::signatures("f", "4C 8B C1 83 FA 07 77 19", "call 48 8B CF [E8 ?? ?? ?? ??] 85 C0", "inside 41 8B 44 80 10",
                       "inside 41 8B 44 80 11");

const Row kRows[] = {
    {"EntryAloneGivesItsMatch", kEntry, [](Module& m) { m.put(kFunction, kEntryBytes); }, kFunction},
    {"CallGivesItsTarget", kCall, [](Module& m) { m.call(kCaller, kFunction); }, kFunction},
    {"JumpGivesItsTarget", kJump, [](Module& m) { m.call(kCaller, kFunction, 0xE9); }, kFunction},
    {"CallIntoDataIsRefused", kCall, [](Module& m) { m.call(kCaller, kTables + 0x100); }, kNone},
    {"CallOutsideTheModuleIsRefused", kCall, [](Module& m) { m.call(kCaller, kEnd + 0x1000); }, kNone},
    {"CallMatchingTwiceGivesNothing", kCall,
     [](Module& m) {
         m.call(kCaller, kFunction);
         m.call(kSecondCaller, kFunction);
     },
     kNone},
    {"InsideGivesTheFunctionTheDirectoryHoldsItIn", kInside,
     [](Module& m) {
         m.put(kFunction + 0x10, kInsideBytes);
         directory(m, {{kCode, kCode + 0x10}, {kFunction, kFunction + 0x40}, {kOther, kOther + 0x40}});
     },
     kFunction},
    {"InsideFollowsChainedEntriesToTheirRoot", kInside,
     [](Module& m) {
         m.put(kFunction + 0x50, kInsideBytes);
         directory(m,
                   {{kFunction, kFunction + 0x20},
                    {kFunction + 0x40, kFunction + 0x60},
                    {kFunction + 0x80, kFunction + 0x90}},
                   {false, true, true});
     },
     kFunction},
    {"InsideWithoutAnEntryHoldingItGivesNothing", kInside,
     [](Module& m) {
         m.put(kFunction + 0x50, kInsideBytes);
         directory(m, {{kFunction, kFunction + 0x40}});
     },
     kNone, false, memory::GivenHow::directory, memory::DirectorySays::noRecord},
    {"DirectoryOutsideTheModuleHasNothingToSay", kInside,
     [](Module& m) {
         m.put(kFunction + 0x10, kInsideBytes);
         directory(m, {{kFunction, kFunction + 0x40}});
         m.put32(kDirectory, 0x7FFF0000);
     },
     kNone},
    {"DirectoryEntryStartingOutsideCodeHasNothingToSay", kInside,
     [](Module& m) {
         m.put(kFunction + 0x10, kInsideBytes);
         directory(m, {{kCode - 0x800, kFunction + 0x40}});
     },
     kNone, false, memory::GivenHow::directory, memory::DirectorySays::notCode},
    {"ChainInALoopHasNothingToSay", kInside,
     [](Module& m) {
         m.put(kFunction + 0x10, kInsideBytes);
         directory(m, {{kFunction, kFunction + 0x40}});
         m.put32(kTables + 8, kTables + 1);  // the entry names itself as its parent
     },
     kNone, false, memory::GivenHow::directory, memory::DirectorySays::brokenChain},
    {"AllAgree", kAll,
     [](Module& m) {
         m.put(kFunction, kEntryBytes);
         m.put(kFunction + 0x10, kInsideBytes);
         m.call(kCaller, kFunction);
         directory(m, {{kFunction, kFunction + 0x40}});
     },
     kFunction},
    {"MajorityOutvotesAnEntryThatFoundAnotherFunction", kAll,
     [](Module& m) {
         m.put(kOther, kEntryBytes);
         m.put(kFunction + 0x10, kInsideBytes);
         m.call(kCaller, kFunction);
         directory(m, {{kFunction, kFunction + 0x40}, {kOther, kOther + 0x40}});
     },
     kFunction},
    {"TieFindsNothing", kEntryAndCall,
     [](Module& m) {
         m.put(kOther, kEntryBytes);
         m.call(kCaller, kFunction);
     },
     kNone, true},
    {"NoneGivingFindsNothingNotTheEntrysLowestMatch", kEntryAndCall,
     [](Module& m) {
         m.put(kOther, kEntryBytes);
         m.put(kFunction, kEntryBytes);
     },
     kNone, false, memory::GivenHow::severalMatches},
    {"ALaterMajorityBreaksAnEarlierTie", kVotes,
     [](Module& m) {
         m.put(kOther, kEntryBytes);                               // B
         m.call(kCaller, kSecondCaller);                           // C
         m.put(kFunction + 0x10, kInsideBytes);                    // A
         m.put(kFunction + 0x20, {0x41, 0x8B, 0x44, 0x80, 0x11});  // A
         directory(m, {{kFunction, kFunction + 0x40}});
     },
     kFunction},
    // Where a match, or what it gives, lies strictly inside a function the directory knows.
    {"EntryAloneTakesItsLowestMatchThatCanBeginAFunction", kEntry,
     [](Module& m) {
         m.put(kFunction + 5, kEntryBytes);
         m.put(kOther, kEntryBytes);
         directory(m, {{kFunction, kFunction + 0x40}});
     },
     kOther},
    {"EntryAloneInsideAKnownFunctionFindsNothing", kEntry,
     [](Module& m) {
         m.put(kFunction + 0x16F - 0x100, kEntryBytes);
         directory(m, {{kFunction - 0x100, kFunction + 0x100}});
     },
     kNone, false, memory::GivenHow::insideFunction},
    {"EntryAtTheStartOfAChainedPartIsPassedOver", kEntry,
     [](Module& m) {
         m.put(kFunction + 0x40, kEntryBytes);
         directory(m, {{kFunction, kFunction + 0x20}, {kFunction + 0x40, kFunction + 0x60}}, {false, true});
     },
     kNone, false, memory::GivenHow::insideFunction},
    {"EntryInsideAKnownFunctionCountsAsNoAddressInASet", kEntryAndCall,
     [](Module& m) {
         m.put(kOther + 5, kEntryBytes);
         m.call(kCaller, kFunction);
         directory(m, {{kFunction, kFunction + 0x40}, {kOther, kOther + 0x40}});
     },
     kFunction, false, memory::GivenHow::insideFunction},
    {"CallTargetInsideAKnownFunctionIsPassedOver", kCall,
     [](Module& m) {
         m.call(kCaller, kFunction + 0x10);
         directory(m, {{kFunction, kFunction + 0x40}});
     },
     kNone, false, memory::GivenHow::insideFunction},
    {"CallTargetPastTheModulesEndIsRefusedThoughCodeLiesThere", kCall,
     [](Module& m) {
         m.codeBeyond = true;
         m.call(kCaller, kEnd);
     },
     kNone, false, memory::GivenHow::outsideCode},
    // A directory that contradicts itself fails closed.
    {"ChainRootWhereNoRecordBeginsGivesNothing", kInside,
     [](Module& m) {
         m.put(kFunction + 0x50, kInsideBytes);
         directory(m, {{kFunction, kFunction + 0x20}, {kFunction + 0x40, kFunction + 0x60}}, {false, true});
         m.put32(kTables + 0x800 + 16 + 4, kFunction + 8);  // the parent's copy begins inside the first
     },
     kNone, false, memory::GivenHow::directory, memory::DirectorySays::rootNotARecord},
    {"ChainNamingARecordOutsideTheDirectoryGivesNothing", kInside,
     [](Module& m) {
         m.put(kFunction + 0x10, kInsideBytes);
         directory(m, {{kFunction, kFunction + 0x40}});
         m.put32(kTables + 8, kTables + 12 + 1);  // the record past the last
     },
     kNone, false, memory::GivenHow::directory, memory::DirectorySays::brokenChain},
    {"OverlappingRecordsGiveNothing", kInside,
     [](Module& m) {
         m.put(kFunction + 0x10, kInsideBytes);
         directory(m, {{kFunction, kFunction + 0x40}, {kFunction + 4, kFunction + 0x30}});
     },
     kNone, false, memory::GivenHow::directory, memory::DirectorySays::disordered},
    {"OverlappingRecordsLetNoEntryMatchBeginAFunction", kEntry,
     [](Module& m) {
         m.put(kFunction + 4, kEntryBytes);
         directory(m, {{kFunction, kFunction + 0x40}, {kFunction + 4, kFunction + 0x30}});
     },
     kNone, false, memory::GivenHow::directory, memory::DirectorySays::disordered},
    {"ARecordPastTheImageMakesTheDirectoryUntrusted", kInside,
     [](Module& m) {
         m.put(kFunction + 0x10, kInsideBytes);
         directory(m, {{kFunction, kFunction + 0x40}, {kEnd - 0x10, kEnd + 0x10}});
     },
     kNone, false, memory::GivenHow::directory, memory::DirectorySays::disordered},
    {"OutOfOrderRecordsGiveNothing", kInside,
     [](Module& m) {
         m.put(kOther + 0x10, kInsideBytes);
         directory(m, {{kOther, kOther + 0x40}, {kFunction, kFunction + 0x40}});
     },
     kNone, false, memory::GivenHow::directory, memory::DirectorySays::disordered},
    // Headers that cannot be trusted say nothing: an inside signature gives nothing, an entry match stands.
    {"TruncatedDirectoryHasNothingToSay", kInside,
     [](Module& m) {
         m.put(kFunction + 0x10, kInsideBytes);
         directory(m, {{kFunction, kFunction + 0x40}});
         m.put32(kDirectory + 4, kEnd - kTables + 12);
     },
     kNone, false, memory::GivenHow::directory, memory::DirectorySays::noDirectory},
    {"PeHeaderPastTheEndHasNothingToSay", kInside,
     [](Module& m) {
         m.put(kFunction + 0x10, kInsideBytes);
         directory(m, {{kFunction, kFunction + 0x40}});
         m.put32(0x3C, kEnd - 8);
     },
     kNone, false, memory::GivenHow::directory, memory::DirectorySays::noDirectory},
    {"Pe32HeaderHasNothingToSay", kInside,
     [](Module& m) {
         m.put(kFunction + 0x10, kInsideBytes);
         directory(m, {{kFunction, kFunction + 0x40}});
         m.bytes[kPe + 24] = 0x0B, m.bytes[kPe + 25] = 0x01;
     },
     kNone, false, memory::GivenHow::directory, memory::DirectorySays::noDirectory},
    {"FewerThanFourDataDirectoriesHaveNothingToSay", kInside,
     [](Module& m) {
         m.put(kFunction + 0x10, kInsideBytes);
         directory(m, {{kFunction, kFunction + 0x40}});
         m.put32(kPe + 24 + 108, 3);
     },
     kNone, false, memory::GivenHow::directory, memory::DirectorySays::noDirectory},
    {"UnreadableHeadersHaveNothingToSay", kInside,
     [](Module& m) {
         m.put(kFunction + 0x10, kInsideBytes);
         directory(m, {{kFunction, kFunction + 0x40}});
         m.unreadableHeaders = true;
     },
     kNone, false, memory::GivenHow::directory, memory::DirectorySays::noDirectory},
    {"UnreadableHeadersLeaveAnEntryMatchStanding", kEntry,
     [](Module& m) {
         m.put(kFunction + 5, kEntryBytes);
         directory(m, {{kFunction, kFunction + 0x40}});
         m.unreadableHeaders = true;
     },
     kFunction + 5},
    {"ASetOverTwoCodeRunsCountsNoCopyInData", kEntryAndCall,
     [](Module& m) {
         m.dataInCode = true;
         m.put(kFunction, kEntryBytes);
         m.put(kData + 0x10, kEntryBytes);  // a copy in the data between the runs
         m.call(kCaller, kFunction);        // in the second run
     },
     kFunction},
    {"NoneGivingWithoutAnEntryFindsNothing", kCall, [](Module&) {}, kNone},
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.what; }

class FunctionSet : public ::testing::TestWithParam<Row> {};

TEST_P(FunctionSet, FindsWhatTheRuleSays) {
    const Row& row = GetParam();
    Module module;
    row.arrange(module);
    for (const auto path : test::kEveryPath) {
        const memory::SetFinding found = memory::resolveSet(row.set, module.access(), path);
        const std::uint8_t* expected = row.expected == kNone ? nullptr : module.bytes.data() + row.expected;
        EXPECT_EQ(found.address, expected);
        EXPECT_EQ(found.tie, row.tie);
        if (row.firstHow) {
            EXPECT_EQ(found.gives[0].how, *row.firstHow);
            if (*row.firstHow == memory::GivenHow::directory) {
                EXPECT_EQ(found.gives[0].directory, row.says);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, FunctionSet, ::testing::ValuesIn(kRows),
                         [](const auto& row) { return std::string(row.param.what); });

}  // namespace
