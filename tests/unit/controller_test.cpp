#include <bit>
#include <cstdint>
#include <cstring>
#include <ostream>

#include "config/settings.h"
#include "diag/log.h"
#include "nozzle/controller.h"
#include "plugin_fixture.h"

namespace {

constexpr std::uint32_t kVehicle = 100;
constexpr int kUp = 61;
constexpr int kDown = 62;

class ControllerTest : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        diag::openLog();
        config::settings = config::Settings{kUp, kDown, 0.1f};
        world().clock = 1000;
    }

    // A class vehicle the player sits in.
    sim::Vehicle& enter(float position, std::int32_t mods = -1, std::int32_t fitted = -1, int classFlag = 1) {
        sim::Vehicle& vehicle = world().addVehicle(kVehicle, "vtol");
        vehicle.position = position;
        vehicle.modCount = mods;
        vehicle.fitted = fitted;
        world().classFlags[vehicle.model] = classFlag;
        world().playerVehicle = kVehicle;
        return vehicle;
    }

    // One call of updateNozzles after the clock moved on by `elapsed`.
    void run(std::uint64_t elapsed = 20) {
        world().clock += elapsed;
        nozzle::updateNozzles();
    }

    float position() { return world().vehicle(kVehicle)->position; }

    std::vector<std::string> setCalls() {
        std::vector<std::string> found;
        for (const auto& line : calls())
            if (line.rfind("setNozzlePosition", 0) == 0 || line.rfind("fitMod", 0) == 0 ||
                line.rfind("scriptWait", 0) == 0)
                found.push_back(line);
        return found;
    }
};

TEST_F(ControllerTest, ThrottledCallMakesOnlyTheFourQueries) {
    enter(0.5f);
    world().heldFirst = {kUp};
    run(20);
    const std::size_t before = world().trace.size();
    const std::size_t lines = logLines().size();
    run(10);  // lastRun + 10 >= now: throttled
    const std::uint32_t model = sim::World::modelHash("vtol");
    EXPECT_EQ(calls(before),
              (std::vector<std::string>{"playerCharacter() -> 1", "vehicleOf(1, 0) -> 100",
                                        "modelOf(100) -> " + std::to_string(static_cast<std::int32_t>(model)),
                                        "isModelOfClass(" + std::to_string(model) + ") -> 1"}));
    EXPECT_EQ(logLines().size(), lines);
    run(1);  // 11 ms after the last accepted run
    EXPECT_GT(world().trace.size(), before + 8);
}

TEST_F(ControllerTest, AcceptedRunAsksInTheOrderOfTheRun) {
    enter(0.25f, 2, 0);
    world().heldFirst = {kUp};
    run();
    const std::uint32_t model = sim::World::modelHash("vtol");
    const std::string hash = std::to_string(static_cast<std::int32_t>(model));
    EXPECT_EQ(calls(), (std::vector<std::string>{
                           "playerCharacter() -> 1", "vehicleOf(1, 0) -> 100", "modelOf(100) -> " + hash,
                           "isModelOfClass(" + std::to_string(model) + ") -> 1", "controlFirst(0, 61) -> 1",
                           "controlFirst(0, 62) -> 0", "controlSecond(0, 62) -> 0", "controlFirst(0, 87) -> 0",
                           "controlSecond(0, 87) -> 0", "nozzlePosition(100) -> 0.25", "exists(100) -> 1",
                           "setNozzlePosition(100, 0.349999994) -> 0", "modCount(100, 4) -> 2",
                           "fittedMod(100, 4) -> 0", nameQuery("qm31varlo"), nameQuery("zr72"), nameQuery("zr72v")}));
    EXPECT_EQ(logLines(),
              (std::vector<std::string>{"current nozzle angle   0.250", "set nozzle angle   0.350", "nozzle mod 0"}));
}

struct AdjustCase {
    const char* name;
    float start;
    float step;
    bool up;
    bool down;
    const char* current;  // the first line, or null for none
    const char* set;      // the second line and the native write, or null for none
    float expected;
};

// Rows print by name (their padding bytes mean nothing).
void PrintTo(const AdjustCase& row, std::ostream* out) { *out << row.name; }

class PositionAdjustment : public ControllerTest, public ::testing::WithParamInterface<AdjustCase> {};

TEST_P(PositionAdjustment, ClampsAndLogs) {
    const AdjustCase& row = GetParam();
    config::settings.angleStep = row.step;
    enter(row.start);
    if (row.up) world().heldFirst.insert(kUp);
    if (row.down) world().heldFirst.insert(kDown);
    run();
    std::vector<std::string> lines;
    for (const char* line : {row.current, row.set})
        if (line != nullptr) lines.push_back(line);
    EXPECT_EQ(logLines(), lines);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(position()), std::bit_cast<std::uint32_t>(row.expected));
    EXPECT_EQ(setCalls().size(), row.set != nullptr ? 1u : 0u);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Controller, PositionAdjustment, ::testing::Values(
    AdjustCase{"UpClampsToExactlyOne", 0.95f, 0.1f, true, false,
               "current nozzle angle   0.950", "set nozzle angle   1.000", 1.0f},
    AdjustCase{"DownClampsToExactlyZero", 0.05f, 0.1f, false, true,
               "current nozzle angle   0.050", "set nozzle angle   0.000", 0.0f},
    AdjustCase{"UpAtOneWritesNothing", 1.0f, 0.1f, true, false, "current nozzle angle   1.000", nullptr, 1.0f},
    AdjustCase{"UpAtOneWithDownHeldFalls", 1.0f, 0.1f, true, true,
               "current nozzle angle   1.000", "set nozzle angle   0.900", 0.9f},
    AdjustCase{"BothHeldBelowOneGoesUp", 0.5f, 0.1f, true, true,
               "current nozzle angle   0.500", "set nozzle angle   0.600", 0.6f},
    AdjustCase{"DownAtZeroWritesNothing", 0.0f, 0.1f, false, true, "current nozzle angle   0.000", nullptr, 0.0f},
    AdjustCase{"ZeroStepStillWrites", 0.5f, 0.0f, true, false,
               "current nozzle angle   0.500", "set nozzle angle   0.500", 0.5f},
    AdjustCase{"NeitherHeldLogsNothing", 0.5f, 0.1f, false, false, nullptr, nullptr, 0.5f},
    // A negative step moves the other way but never leaves 0.0..1.0.
    AdjustCase{"NegativeStepUpClampsAtZero", 0.1f, -0.25f, true, false,
               "current nozzle angle   0.100", "set nozzle angle   0.000", 0.0f},
    AdjustCase{"NegativeStepDownClampsAtOne", 0.9f, -0.25f, false, true,
               "current nozzle angle   0.900", "set nozzle angle   1.000", 1.0f},
    AdjustCase{"NegativeStepUpInsideTheRange", 0.5f, -0.25f, true, false,
               "current nozzle angle   0.500", "set nozzle angle   0.250", 0.25f}),
    [](const ::testing::TestParamInfo<AdjustCase>& row) { return row.param.name; });
// clang-format on

TEST_F(ControllerTest, SecondControlQueryAloneCountsAsHeld) {
    enter(0.5f);
    world().heldSecond = {kDown};
    run();
    EXPECT_FLOAT_EQ(position(), 0.4f);
}

// The mod walk over a slot of `mods` mods (-1: no slot), one run per
// character of `runs` ('h' with the mod control held, '.' without): the mod
// fitted after each run and the log. Every "set nozzle mod N" line is one
// fitMod call (N zero-extended) followed by its 50 ms pause.
struct ModCase {
    const char* name;
    std::int32_t mods;
    std::int32_t fitted;
    const char* runs;
    std::vector<int> fittedAfter;
    std::vector<std::string> lines;
};

void PrintTo(const ModCase& row, std::ostream* out) { *out << row.name; }

const ModCase kModCases[] = {
    {"WalksUpToMinusOneThenBackDownToZero",
     3,
     0,
     "hhhhh.....",
     {1, 2, -1, -1, -1, 2, 1, 0, 0, 0},
     {"nozzle mod 0", "set nozzle mod 1", "nozzle mod 1", "set nozzle mod 2", "nozzle mod 2", "set nozzle mod -1",
      "nozzle mod -1", "nozzle mod -1", "nozzle mod -1", "set nozzle mod 2", "nozzle mod 2", "set nozzle mod 1",
      "nozzle mod 1", "set nozzle mod 0", "nozzle mod 0", "nozzle mod 0"}},
    {"EmptySlotFitsMinusOneEveryRunHeldOrNot",
     0,
     -1,
     "h.",
     {-1, -1},
     {"nozzle mod -1", "set nozzle mod -1", "nozzle mod -1", "set nozzle mod -1"}},
    {"SlotCountMinusOneSkipsTheModStep", -1, 2, "h.", {2, 2}, {}},
};

class ModWalk : public ControllerTest, public ::testing::WithParamInterface<ModCase> {};

TEST_P(ModWalk, FitsLogsAndPauses) {
    const ModCase& row = GetParam();
    enter(0.5f, row.mods, row.fitted);
    std::vector<int> fitted;
    for (const char* held = row.runs; *held != 0; ++held) {
        world().heldFirst.clear();
        if (*held == 'h') world().heldFirst.insert(87);
        run();
        fitted.push_back(world().vehicle(kVehicle)->fitted);
    }
    EXPECT_EQ(fitted, row.fittedAfter);
    EXPECT_EQ(logLines(), row.lines);
    std::vector<std::string> fits;
    for (const std::string& line : row.lines) {
        if (line.rfind("set nozzle mod ", 0) != 0) continue;
        const auto index = static_cast<std::uint32_t>(std::stoi(line.substr(15)));
        fits.push_back("fitMod(100, 4, " + std::to_string(index) + ", 0) -> 0");
        fits.push_back("scriptWait(50)");
    }
    EXPECT_EQ(setCalls(), fits);
    // Without a slot the fitted mod is not even asked for.
    std::size_t queries = 0;
    for (const auto& line : calls()) queries += line.rfind("fittedMod", 0) == 0 ? 1 : 0;
    EXPECT_EQ(queries, row.mods == -1 ? 0u : std::strlen(row.runs));
}

INSTANTIATE_TEST_SUITE_P(Controller, ModWalk, ::testing::ValuesIn(kModCases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(ControllerTest, ClassFlagZeroSkipsStraightToThePropStateRule) {
    enter(0.5f, 3, 0, 0);
    world().heldFirst = {kUp, 87};
    run();
    const auto trace = calls();
    // Four queries, four control queries (up and mod answer the first one), position, exists, names.
    ASSERT_EQ(trace.size(), 4u + 4u + 1u + 1u + 3u);
    EXPECT_EQ(trace[8], "nozzlePosition(100) -> 0.5");
    EXPECT_EQ(trace[9], "exists(100) -> 1");
    EXPECT_EQ(trace[10].rfind("modelHashOfName", 0), 0u);
    EXPECT_TRUE(logLines().empty());
}

TEST_F(ControllerTest, NoVehicleWithClassFlagStillStepsTheModOfHandleZero) {
    world().classFlags[0] = 1;
    sim::Vehicle& none = world().vehicles[0];
    none.modCount = 2;
    none.fitted = 1;
    world().heldFirst = {kUp};
    run();
    const auto trace = calls();
    ASSERT_GE(trace.size(), 12u);
    EXPECT_EQ(trace[1], "vehicleOf(1, 0) -> 0");
    EXPECT_EQ(trace[9], "nozzlePosition(0) -> 0");
    // No existence check for handle 0, no adjustment, but the mod step runs.
    EXPECT_EQ(trace[10], "modCount(0, 4) -> 2");
    EXPECT_EQ(trace[11], "fittedMod(0, 4) -> 1");
    EXPECT_EQ(logLines(), (std::vector<std::string>{"nozzle mod 1", "set nozzle mod 0"}));
}

TEST_F(ControllerTest, VehicleThatNoLongerExistsSkipsTheAdjustmentOnly) {
    sim::Vehicle& vehicle = enter(0.5f, 2, 0);
    vehicle.exists = false;
    world().heldFirst = {kUp};
    run();
    EXPECT_EQ(logLines(), (std::vector<std::string>{"nozzle mod 0"}));
    EXPECT_EQ(position(), 0.5f);
}

}  // namespace
