#include <cstdio>
#include <limits>

#include "diag/log.h"
#include "game_objects.h"
#include "memory/prop_state.h"
#include "nozzle/prop_sync.h"
#include "plugin_fixture.h"

namespace {

constexpr std::uint32_t kVehicle = 100;

class PropStateTest : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        if (searchesTheProcess()) SKIP_UNLESS_PAGE_PROTECTIONS_READ_APART();
        diag::openLog();
        object_ = &objects_.add(kVehicle);
        for (auto& count : gameCallCounts) count = 0;
    }
    void TearDown() override {
        for (auto function :
             {sim::GameFunction::handleToAddress, sim::GameFunction::getPropState, sim::GameFunction::setPropState})
            sim::setFindable(function, true);
        PluginTest::TearDown();
    }

    virtual bool searchesTheProcess() const { return true; }

    std::string address() const {
        char text[32];
        std::snprintf(text, sizeof text, "%016llX",
                      static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(object_)));
        return text;
    }
    std::string getLine(int state) const {
        return "getpropstate vehicle 100 address " + address() + " index 2 state " + std::to_string(state);
    }
    std::string setLine(const char* state) const {
        return "setpropstate vehicle 100 address " + address() + " index 2 state " + state;
    }
    // Lines written since the last call.
    std::vector<std::string> newLines() {
        auto lines = logLines();
        std::vector<std::string> fresh(lines.begin() + static_cast<long>(seen_), lines.end());
        seen_ = lines.size();
        return fresh;
    }

    sim::GameObjects objects_;
    GameObject* object_ = nullptr;
    std::size_t seen_ = 0;
};

using Lines = std::vector<std::string>;

// One sequence of reads and writes from a fresh process: 'r' reads (its
// answer is the next character of `answers`), 'e' and 'd' write enabled and
// disabled, 'g', 'h' and 's' make getpropstate, handleToAddress or
// setpropstate findable again. The log in short: "init" is "before init
// memory", "find F" the two lines of looking for F, "null F" "F is null",
// "none" "address not found", "call" "before call getpropstate", and "get N"
// and "set WORD" the calls' lines with the object's address.
struct StageCase {
    const char* name;
    const char* unfindable;  // the functions not findable at the start, as letters like the above
    bool object;             // whether the vehicle has a game object
    const char* steps;
    const char* answers;
    std::vector<std::string> lines;
    std::uint64_t calls[3];  // handleToAddress, getpropstate, setpropstate
    int stateAfter;
};

// clang-format off
const StageCase kStageCases[] = {
    {"FirstReadSearchesEachStageLaterReadsOnlyCall", "", true, "rr", "11",
     {"init", "find get", "call", "get 1", "call", "get 1"}, {2, 4, 0}, 1},
    {"FirstWriteAfterAReadSearchesOnce", "", true, "red", "1",
     {"init", "find get", "call", "get 1", "find set", "set enabled", "set disabled"}, {3, 2, 2}, 0},
    {"WriteAsTheFirstCallInitialisesMemory", "", true, "er", "1",
     {"init", "find set", "set enabled", "find get", "call", "get 1"}, {2, 2, 1}, 1},
    {"NullObjectCausesNoSearch", "", false, "re", "0", {"init", "none", "none"}, {2, 0, 0}, 1},
    {"MissingHandleToAddressIsDecidedOnceAndNothingIsCalled", "h", true, "rerhr", "000",
     {"init", "none", "none", "none", "none"}, {0, 0, 0}, 1},
    {"MissingGetPropStateIsSearchedAgainOnEveryRead", "g", true, "rrgr", "001",
     {"init", "find get", "null get", "find get", "null get", "find get", "call", "get 1"}, {3, 2, 0}, 1},
    {"MissingGetPropStateStillLetsAWriteThrough", "g", true, "re", "0",
     {"init", "find get", "null get", "find set", "set enabled"}, {2, 0, 1}, 1},
    {"MissingSetPropStateIsSearchedAgainOnEveryWrite", "s", true, "dd", "",
     {"init", "find set", "null set", "find set", "null set"}, {2, 0, 0}, 1},
};
// clang-format on

void PrintTo(const StageCase& row, std::ostream* out) { *out << row.name; }

class PropStateStages : public PropStateTest, public ::testing::WithParamInterface<StageCase> {};

sim::GameFunction functionOf(char letter) {
    return letter == 'h'   ? sim::GameFunction::handleToAddress
           : letter == 'g' ? sim::GameFunction::getPropState
                           : sim::GameFunction::setPropState;
}

TEST_P(PropStateStages, LogAndCallsFollowTheSteps) {
    const StageCase& row = GetParam();
    object_->propStates[2] = 1;
    if (!row.object) objects_.remove(kVehicle);
    for (const char* letter = row.unfindable; *letter != 0; ++letter) sim::setFindable(functionOf(*letter), false);
    std::string answers;
    for (const char* step = row.steps; *step != 0; ++step) {
        if (*step == 'r')
            answers += memory::readPropState(kVehicle) ? '1' : '0';
        else if (*step == 'e' || *step == 'd')
            memory::writePropState(kVehicle, *step == 'e');
        else
            sim::setFindable(functionOf(*step), true);
    }
    EXPECT_EQ(answers, row.answers);
    Lines expected;
    for (const std::string& line : row.lines) {
        const std::string rest = line.substr(line.find(' ') + 1);
        const std::string function = rest == "get" ? "getpropstate" : "setpropstate";
        if (line == "init")
            expected.push_back("before init memory");
        else if (line == "none")
            expected.push_back("address not found");
        else if (line == "call")
            expected.push_back("before call getpropstate");
        else if (line.starts_with("null "))
            expected.push_back(function + " is null");
        else if (line.starts_with("get "))
            expected.push_back(getLine(std::stoi(rest)));
        else if (line.starts_with("set "))
            expected.push_back(setLine(rest.c_str()));
        else
            expected.insert(expected.end(), {"before looking for " + function, "after looking for " + function});
    }
    EXPECT_EQ(logLines(), expected);
    EXPECT_EQ(gameCallCounts[0], row.calls[0]);
    EXPECT_EQ(gameCallCounts[1], row.calls[1]);
    EXPECT_EQ(gameCallCounts[2], row.calls[2]);
    if (row.object) {
        EXPECT_EQ(object_->propStates[2], row.stateAfter);
    } else {  // nothing past the object is looked for
        EXPECT_EQ(memory::propStateAccess.getPropState, nullptr);
        EXPECT_EQ(memory::propStateAccess.setPropState, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(PropState, PropStateStages, ::testing::ValuesIn(kStageCases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(PropStateTest, OnlyStateOneReadsAsEnabledAndTheLineShowsTheValue) {
    memory::readPropState(kVehicle);
    newLines();
    for (const int state : {0, 2, -1, 1, 7}) {
        object_->propStates[2] = state;
        EXPECT_EQ(memory::readPropState(kVehicle), state == 1) << state;
        EXPECT_EQ(newLines(), (Lines{"before call getpropstate", getLine(state)}));
    }
}

int stateReads = 0;
std::int32_t __attribute__((ms_abi)) changingState(void*, std::int32_t) { return stateReads++ == 0 ? 0 : 1; }

TEST_F(PropStateTest, LineShowsTheFirstResultAndTheAnswerFollowsTheSecond) {
    memory::readPropState(kVehicle);
    newLines();
    stateReads = 0;
    memory::propStateAccess.getPropState = &changingState;
    EXPECT_TRUE(memory::readPropState(kVehicle));
    EXPECT_EQ(newLines(), (Lines{"before call getpropstate", getLine(0)}));
}

// The rule over a model, a position and the state before: what the state is
// after, and how many names were asked before one matched (all three when
// none does, and then nothing is read or written).
struct SyncCase {
    const char* name;
    const char* model;
    float position;
    int before;
    int after;
    bool listed;
    std::size_t nameQueries;
    std::uint64_t writes;
};

const SyncCase kSyncCases[] = {
    {"ExactlyHalfTravelDisables", "zr72", 0.5f, 1, 0, true, 2, 1},
    {"BelowHalfTravelEnables", "qm31varlo", 0.49f, 0, 1, true, 1, 1},
    {"NotANumberCountsAsLowerHalf", "zr72v", std::numeric_limits<float>::quiet_NaN(), 0, 1, true, 3, 1},
    {"MatchingEnabledStateIsOnlyRead", "zr72", 0.2f, 1, 1, true, 2, 0},
    {"MatchingDisabledStateIsOnlyRead", "zr72", 0.8f, 0, 0, true, 2, 0},
    {"OtherModelIsNeitherReadNorWritten", "vtol", 0.2f, 1, 1, false, 3, 0},
};

void PrintTo(const SyncCase& row, std::ostream* out) { *out << row.name; }

class PropSync : public PropStateTest, public ::testing::WithParamInterface<SyncCase> {
    // Only a listed model searches the process.
    bool searchesTheProcess() const override { return GetParam().listed; }
};

TEST_P(PropSync, StateAfterAndQueries) {
    const SyncCase& row = GetParam();
    object_->propStates[2] = row.before;
    nozzle::syncPropState(kVehicle, sim::World::modelHash(row.model), row.position);
    EXPECT_EQ(object_->propStates[2], row.after);
    EXPECT_EQ(gameCallCounts[2], row.writes);
    const auto queries = calls();
    ASSERT_EQ(queries.size(), row.nameQueries);
    for (std::size_t i = 0; i < queries.size(); ++i) EXPECT_EQ(queries[i], nameQuery(nozzle::kModelHashList[i]));
    EXPECT_EQ(logLines().empty(), !row.listed);
    if (!row.listed) {
        EXPECT_EQ(gameCallCounts[0], 0u);
    }
    for (const auto& line : logLines()) {
        if (row.writes == 0) {
            EXPECT_EQ(line.find("setpropstate"), std::string::npos) << line;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(PropState, PropSync, ::testing::ValuesIn(kSyncCases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(PropStateTest, MissingFunctionsBelowHalfFailAReadAndAWriteEveryRun) {
    sim::setFindable(sim::GameFunction::getPropState, false);
    sim::setFindable(sim::GameFunction::setPropState, false);
    nozzle::syncPropState(kVehicle, sim::World::modelHash("zr72"), 0.2f);
    newLines();
    nozzle::syncPropState(kVehicle, sim::World::modelHash("zr72"), 0.2f);
    EXPECT_EQ(newLines(),
              (Lines{"before looking for getpropstate", "after looking for getpropstate", "getpropstate is null",
                     "before looking for setpropstate", "after looking for setpropstate", "setpropstate is null"}));
}

}  // namespace
