#include <filesystem>

#include "config/settings.h"
#include "diag/log.h"
#include "game_objects.h"
#include "hook/native_hashes.h"
#include "nozzle/controller.h"
#include "plugin/process_state.h"
#include "plugin/script.h"
#include "plugin_fixture.h"
#include "posix_host.h"

namespace {

using ScriptTest = PluginTest;

TEST_F(ScriptTest, FirstFrameRunsTheControllerRightAfterTheSettingsLines) {
    writeFile("Nozzles.ini", "61 62 0.5");
    sim::Vehicle& vehicle = world().addVehicle(5, "vtol");
    world().classFlags[vehicle.model] = 1;
    world().playerVehicle = 5;
    world().heldFirst = {61};
    world().clock = 100;
    plugin::scriptStart();
    plugin::scriptFrame();
    EXPECT_EQ(logLines(), (std::vector<std::string>{"before up control", "control up 61", "before down control",
                                                    "control down 62", "before angle step", "angle step 0.500",
                                                    "current nozzle angle   0.000", "set nozzle angle   0.500"}));
    ASSERT_FALSE(world().trace.empty());
    EXPECT_EQ(sim::describe(world().trace.back()), "scriptWait(0)");
}

TEST_F(ScriptTest, WithoutSettingsOrWritableDirectoryTheLoopStillRuns) {
    std::filesystem::create_directory(directory() + "/Nozzels.log");
    plugin::scriptStart();
    for (int frame = 0; frame < 5; ++frame) {
        world().clock += 16;
        plugin::scriptFrame();
    }
    EXPECT_EQ(config::settings.angleStep, 0.1f);
    std::size_t waits = 0;
    for (const auto& entry : world().trace) waits += entry.kind == sim::EventKind::wait ? 1u : 0u;
    EXPECT_EQ(waits, 5u);
    EXPECT_EQ(world().calls(natives::hashes::kControlActiveFirst), 5u * 3u);
}

TEST_F(ScriptTest, SecondStartKeepsTheLogAndReadsTheSettingsAgain) {
    writeFile("Nozzles.ini", "1 2 0.5");
    plugin::scriptStart();
    writeFile("Nozzles.ini", "3 4 0.25");
    plugin::scriptStart();
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 12u);
    EXPECT_EQ(lines[1], "control up 1");
    EXPECT_EQ(lines[7], "control up 3");
    EXPECT_EQ(lines[11], "angle step 0.250");
}

// The same flight twice, the process state reset in between: whatever the
// reset missed (a cached address, the throttle, an open log) shows as a
// difference in the log or in what the plug-in asked of the host.
TEST_F(ScriptTest, AfterResetProcessStateAFlightRepeatsExactly) {
    SKIP_UNLESS_PAGE_PROTECTIONS_READ_APART();
    sim::GameObjects objects;
    const auto fly = [this, &objects] {
        writeFile("Nozzles.ini", "61 62 0.25");
        objects.add(100).propStates[2] = 1;
        sim::Vehicle& vehicle = world().addVehicle(100, "zr72");
        world().classFlags[vehicle.model] = 1;
        world().playerVehicle = 100;
        world().heldFirst = {61};
        plugin::scriptStart();
        for (int frame = 0; frame < 12; ++frame) {
            world().clock += 8;
            plugin::scriptFrame();
        }
        return std::make_pair(logContents(), calls());
    };
    const auto first = fly();
    plugin::resetProcessState();
    sim::resetHostWorld();
    EXPECT_EQ(fly(), first);
}

}  // namespace
