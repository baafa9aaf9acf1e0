#include <bit>

#include "host/native_hashes.h"
#include "host/natives.h"
#include "plugin_fixture.h"

namespace {

using NativeCallTest = PluginTest;

TEST_F(NativeCallTest, IntegersTravelZeroExtendedMinusOneIncluded) {
    natives::fitMod(7, 4, -1);
    ASSERT_EQ(world().trace.size(), 1u);
    const sim::TraceEntry& call = world().trace[0];
    EXPECT_EQ(call.hash, hashes::kFitMod);
    ASSERT_EQ(call.argumentCount, 4);
    EXPECT_EQ(call.arguments[0], 7u);
    EXPECT_EQ(call.arguments[1], 4u);
    EXPECT_EQ(call.arguments[2], 0x00000000FFFFFFFFull);
    EXPECT_EQ(call.arguments[3], 0u);
}

TEST_F(NativeCallTest, FloatTravelsAsItsBitsInTheLowHalf) {
    world().addVehicle(9, "zr72");
    natives::setNozzlePosition(9, 0.1f);
    const sim::TraceEntry& call = world().trace.at(0);
    EXPECT_EQ(call.arguments[1], 0x3DCCCCCDull);
    EXPECT_EQ(world().vehicle(9)->position, 0.1f);
}

TEST_F(NativeCallTest, TextTravelsAsTheStringsAddress) {
    const char* name = "zr72v";
    EXPECT_EQ(natives::modelHashOfName(name), sim::World::modelHash("zr72v"));
    EXPECT_EQ(world().trace.at(0).arguments[0], reinterpret_cast<std::uintptr_t>(name));
}

TEST_F(NativeCallTest, ResultsAreReadFromTheLow32BitsAsIntegerOrFloat) {
    sim::Vehicle& vehicle = world().addVehicle(9, "zr72");
    vehicle.position = -0.75f;
    vehicle.modCount = -1;
    EXPECT_EQ(natives::nozzlePosition(9), -0.75f);
    EXPECT_EQ(natives::modCount(9, 4), -1);
    EXPECT_EQ(natives::modCount(9, 3), -1);
}

TEST_F(NativeCallTest, ControlQueriesSendInputGroupZeroThenTheId) {
    natives::controlStateFirst(-3);
    natives::controlStateSecond(87);
    EXPECT_EQ(calls(), (std::vector<std::string>{"controlFirst(0, 4294967293) -> 0", "controlSecond(0, 87) -> 0"}));
}

TEST_F(NativeCallTest, EveryWrapperSendsItsOwnHashAndArgumentCount) {
    natives::playerCharacter();
    natives::vehicleOf(1);
    natives::modelOf(2);
    natives::isModelOfControlledClass(3);
    natives::entityExists(4);
    natives::nozzlePosition(5);
    natives::fittedMod(6, 4);
    const std::vector<std::pair<std::uint64_t, int>> expected = {
        {hashes::kPlayerCharacter, 0}, {hashes::kVehicleOfCharacter, 2}, {hashes::kEntityModel, 1},
        {hashes::kIsModelOfClass, 1},  {hashes::kEntityExists, 1},       {hashes::kNozzlePosition, 1},
        {hashes::kFittedMod, 2}};
    ASSERT_EQ(world().trace.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(world().trace[i].hash, expected[i].first) << i;
        EXPECT_EQ(world().trace[i].argumentCount, expected[i].second) << i;
    }
}

}  // namespace
