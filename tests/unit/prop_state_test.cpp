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

TEST_F(PropStateTest, FirstReadSearchesAndLogsEachStageLaterReadsOnlyCall) {
    object_->propStates[2] = 1;
    EXPECT_TRUE(memory::readPropState(kVehicle));
    EXPECT_EQ(newLines(), (Lines{"before init memory", "before looking for getpropstate",
                                 "after looking for getpropstate", "before call getpropstate", getLine(1)}));
    EXPECT_TRUE(memory::readPropState(kVehicle));
    EXPECT_EQ(newLines(), (Lines{"before call getpropstate", getLine(1)}));
    EXPECT_EQ(gameCallCounts[0], 2u);  // handleToAddress once per read
    EXPECT_EQ(gameCallCounts[1], 4u);  // getpropstate twice per read
}

TEST_F(PropStateTest, FirstWriteAfterAReadSearchesOnceThenOnlyLogsItsLine) {
    memory::readPropState(kVehicle);
    newLines();
    memory::writePropState(kVehicle, true);
    EXPECT_EQ(newLines(),
              (Lines{"before looking for setpropstate", "after looking for setpropstate", setLine("enabled")}));
    EXPECT_EQ(object_->propStates[2], 1);
    memory::writePropState(kVehicle, false);
    EXPECT_EQ(newLines(), (Lines{setLine("disabled")}));
    EXPECT_EQ(object_->propStates[2], 0);
}

TEST_F(PropStateTest, WriteAsTheFirstCallInitialisesMemoryItself) {
    memory::writePropState(kVehicle, true);
    EXPECT_EQ(newLines(), (Lines{"before init memory", "before looking for setpropstate",
                                 "after looking for setpropstate", setLine("enabled")}));
    memory::readPropState(kVehicle);
    EXPECT_EQ(newLines().front(), "before looking for getpropstate");
}

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

TEST_F(PropStateTest, NullObjectCausesNoSearch) {
    objects_.remove(kVehicle);
    EXPECT_FALSE(memory::readPropState(kVehicle));
    memory::writePropState(kVehicle, true);
    EXPECT_EQ(newLines(), (Lines{"before init memory", "address not found", "address not found"}));
    EXPECT_EQ(memory::propStateAccess.getPropState, nullptr);
    EXPECT_EQ(memory::propStateAccess.setPropState, nullptr);
}

TEST_F(PropStateTest, MissingHandleToAddressIsSearchedOnceAndNothingIsCalled) {
    sim::setFindable(sim::GameFunction::handleToAddress, false);
    EXPECT_FALSE(memory::readPropState(kVehicle));
    memory::writePropState(kVehicle, true);
    EXPECT_FALSE(memory::readPropState(kVehicle));
    sim::setFindable(sim::GameFunction::handleToAddress, true);  // too late: decided once
    EXPECT_FALSE(memory::readPropState(kVehicle));
    EXPECT_EQ(newLines(), (Lines{"before init memory", "address not found", "address not found", "address not found",
                                 "address not found"}));
    EXPECT_EQ(gameCallCounts[0] + gameCallCounts[1] + gameCallCounts[2], 0u);
}

TEST_F(PropStateTest, MissingGetPropStateIsSearchedAgainOnEveryRead) {
    sim::setFindable(sim::GameFunction::getPropState, false);
    EXPECT_FALSE(memory::readPropState(kVehicle));
    EXPECT_FALSE(memory::readPropState(kVehicle));
    EXPECT_EQ(newLines(),
              (Lines{"before init memory", "before looking for getpropstate", "after looking for getpropstate",
                     "getpropstate is null", "before looking for getpropstate", "after looking for getpropstate",
                     "getpropstate is null"}));
    EXPECT_EQ(gameCallCounts[1], 0u);
    sim::setFindable(sim::GameFunction::getPropState, true);
    object_->propStates[2] = 1;
    EXPECT_TRUE(memory::readPropState(kVehicle));
}

TEST_F(PropStateTest, MissingSetPropStateIsSearchedAgainOnEveryWrite) {
    sim::setFindable(sim::GameFunction::setPropState, false);
    memory::writePropState(kVehicle, true);
    memory::writePropState(kVehicle, true);
    EXPECT_EQ(newLines(),
              (Lines{"before init memory", "before looking for setpropstate", "after looking for setpropstate",
                     "setpropstate is null", "before looking for setpropstate", "after looking for setpropstate",
                     "setpropstate is null"}));
    EXPECT_EQ(gameCallCounts[2], 0u);
    EXPECT_EQ(object_->propStates[2], 0);
}

class PropSyncTest : public PropStateTest {
protected:
    void sync(const char* model, float position) {
        nozzle::syncPropState(kVehicle, sim::World::modelHash(model), position);
    }
};

TEST_F(PropSyncTest, ExactlyHalfTravelDisablesAnEnabledState) {
    object_->propStates[2] = 1;
    sync("zr72", 0.5f);
    EXPECT_EQ(object_->propStates[2], 0);
}

TEST_F(PropSyncTest, BelowHalfTravelEnablesADisabledState) {
    object_->propStates[2] = 0;
    sync("qm31varlo", 0.49f);
    EXPECT_EQ(object_->propStates[2], 1);
}

TEST_F(PropSyncTest, PositionThatComparesWithNothingCountsAsLowerHalf) {
    object_->propStates[2] = 0;
    sync("zr72v", std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(object_->propStates[2], 1);
}

TEST_F(PropSyncTest, MatchingStateIsOnlyRead) {
    object_->propStates[2] = 1;
    sync("zr72", 0.2f);
    object_->propStates[2] = 0;
    sync("zr72", 0.8f);
    EXPECT_EQ(gameCallCounts[2], 0u);
    for (const auto& line : logLines()) EXPECT_EQ(line.find("setpropstate"), std::string::npos) << line;
}

TEST_F(PropSyncTest, OtherModelMakesThreeNameQueriesAndNothingElse) {
    sync("vtol", 0.2f);
    EXPECT_EQ(calls(), (std::vector<std::string>{nameQuery("qm31varlo"), nameQuery("zr72"), nameQuery("zr72v")}));
    EXPECT_TRUE(logLines().empty());
    EXPECT_EQ(gameCallCounts[0], 0u);
}

TEST_F(PropSyncTest, FirstListedNameThatMatchesEndsTheQueries) {
    sync("qm31varlo", 0.2f);
    ASSERT_GE(calls().size(), 1u);
    EXPECT_EQ(calls().size(), 1u);
}

TEST_F(PropSyncTest, MissingFunctionsBelowHalfFailAReadAndAWriteEveryRun) {
    sim::setFindable(sim::GameFunction::getPropState, false);
    sim::setFindable(sim::GameFunction::setPropState, false);
    sync("zr72", 0.2f);
    newLines();
    sync("zr72", 0.2f);
    EXPECT_EQ(newLines(),
              (Lines{"before looking for getpropstate", "after looking for getpropstate", "getpropstate is null",
                     "before looking for setpropstate", "after looking for setpropstate", "setpropstate is null"}));
}

}  // namespace
