#include <bit>

#include "hook/natives.h"
#include "plugin_fixture.h"

namespace {

using NativeCallTest = PluginTest;

TEST_F(NativeCallTest, IntegersTravelZeroExtendedMinusOneIncluded) {
    natives::fitMod(7, 4, -1);
    ASSERT_EQ(world().trace.size(), 1u);
    const sim::TraceEntry& call = world().trace[0];  // its hash and argument count: the pinned table
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

}  // namespace
