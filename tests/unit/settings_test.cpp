#include <dirent.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>

#include "config/settings.h"
#include "diag/log.h"
#include "plugin_fixture.h"

namespace {

struct SettingsCase {
    const char* name;
    std::string text;  // contents of Nozzles.ini
    std::int32_t up;
    std::int32_t down;
    float step;
    const char* stepLine;
};

// Rows print by name (their padding bytes mean nothing).
std::string withNul(const char* text, std::size_t length) { return std::string(text, length); }

const SettingsCase kCases[] = {
    // Nothing to read: every setting keeps its value at load.
    {"EmptyFile", "", 0, 0, 0.1f, "angle step 0.100"},
    {"WhiteSpaceOnly", " \t\r\n\v\f \n", 0, 0, 0.1f, "angle step 0.100"},
    {"OneNumberThenLineBreak", "61\n", 61, 0, 0.1f, "angle step 0.100"},
    {"EndsAfterDownControl", "61 62", 61, 62, 0.1f, "angle step 0.100"},
    // The usual file.
    {"AllThreeOnOneLine", "61 62 0.05", 61, 62, 0.05f, "angle step 0.050"},
    {"WindowsLineEnds", "61\r\n62\r\n0.25\r\n", 61, 62, 0.25f, "angle step 0.250"},
    {"NegativeIdsAndPlusSigns", "-5 +6 +.5", -5, 6, 0.5f, "angle step 0.500"},
    {"LeadingZerosAreDecimal", "010 0000000000000000000020 0.5", 10, 20, 0.5f, "angle step 0.500"},
    {"TextAfterTheThirdFieldIsIgnored", withNul("1 2 0.5 junk\0\xff=", 16), 1, 2, 0.5f, "angle step 0.500"},
    // What cannot start a field.
    {"ByteOrderMark",
     "\xEF\xBB\xBF"
     "61 62 0.1",
     0, 0, 0.1f, "angle step 0.100"},
    {"KeyName", "up=61\ndown=62\n", 0, 0, 0.1f, "angle step 0.100"},
    {"LetterAsStep", "1 2 x", 1, 2, 0.0f, "angle step 0.000"},
    {"PointAloneAsStep", "1 2 .", 1, 2, 0.0f, "angle step 0.000"},
    {"SignAloneAsStep", "1 2 -", 1, 2, 0.0f, "angle step 0.000"},
    // Integer limits.
    {"UpControlBeyondRangeClampsAndStops", "4294967295 62 0.5", 2147483647, 0, 0.1f, "angle step 0.100"},
    {"NegativeBeyondRangeClamps", "-2147483649 1 1", INT32_MIN, 0, 0.1f, "angle step 0.100"},
    {"IntegerLimitsThemselves", "2147483647 -2147483648 1", 2147483647, INT32_MIN, 1.0f, "angle step 1.000"},
    // Fields end at the first character that cannot continue them.
    {"NoSpaceWhereTheSignStartsTheNextField", "5-6", 5, -6, 0.1f, "angle step 0.100"},
    {"DecimalDownControlLendsItsFractionToTheStep", "1 2.5", 1, 2, 0.5f, "angle step 0.500"},
    {"NumberFollowedByLetters", "12abc 5 0.5", 12, 0, 0.1f, "angle step 0.100"},
    {"DecimalInAnIntegerField", "2.5 3 0.5", 2, 0, 0.1f, "angle step 0.100"},
    {"SignSeparatedFromItsDigits", "5 - 6 0.5", 5, 0, 0.1f, "angle step 0.100"},
    {"HexPrefixIsNoPrefix", "0x10 1 0.5", 0, 0, 0.1f, "angle step 0.100"},
    {"DecimalCommaEndsTheStep", "1 2 0,05", 1, 2, 0.0f, "angle step 0.000"},
    {"SecondPointEndsTheStep", "1 2 1.5.5", 1, 2, 1.5f, "angle step 1.500"},
    // Float forms and range.
    {"DigitsBeforeThePointOnly", "1 2 5.", 1, 2, 5.0f, "angle step 5.000"},
    {"Exponents", "1 2 25E-2", 1, 2, 0.25f, "angle step 0.250"},
    // Zeros inside and at the end of the integer part, against the C library.
    {"ZeroEndsTheIntegerPart", "1 2 10e-2", 1, 2, std::strtof("10e-2", nullptr), "angle step 0.100"},
    {"ZeroInsideTheIntegerPart", "1 2 105e-3", 1, 2, std::strtof("105e-3", nullptr), "angle step 0.105"},
    {"NegativeStepStaysNegative", "1 2 -0.25", 1, 2, -0.25f, "angle step -0.250"},
    {"NegativeZeroKeepsItsSign", "1 2 -0", 1, 2, -0.0f, "angle step -0.000"},
    {"ExponentMarkerWithoutDigits", "1 2 1e", 1, 2, 0.0f, "angle step 0.000"},
    {"ExponentSignWithoutDigits", "1 2 1e+x", 1, 2, 0.0f, "angle step 0.000"},
    {"TooLargeForAFloat", "1 2 1e39", 1, 2, 0.0f, "angle step 0.000"},
    {"JustBelowHalfwayToInfinity", "1 2 3.4028235677e38", 1, 2, 3.4028235e38f,
     "angle step 340282346638528859811704183484516925440.000"},
    {"HalfwayToInfinityOverflows", "1 2 340282356779733661637539395458142568448", 1, 2, 0.0f, "angle step 0.000"},
    {"UnderflowToZeroLosesTheSign", "1 2 -1e-50", 1, 2, 0.0f, "angle step 0.000"},
    {"TinyButNonZeroKeepsItsValue", "1 2 1e-45", 1, 2, 1e-45f, "angle step 0.000"},
    // Text mode: Ctrl-Z ends the input where it stands.
    {"CtrlZBeforeTheDownControl", "1 \x1A 2 0.5", 1, 0, 0.1f, "angle step 0.100"},
    {"CtrlZRightAfterTheDownControl", "1 2\x1A 0.5", 1, 2, 0.1f, "angle step 0.100"},
    // Tie-breaking past the first 800 digits: the digit that breaks the tie
    // lies far beyond them.
    {"HalfwayBetweenTwoFloatsRoundsToEven", "1 2 1.000000059604644775390625" + std::string(2000, '0'), 1, 2, 1.0f,
     "angle step 1.000"},
    {"JustAboveHalfwayRoundsUp", "1 2 1.000000059604644775390625" + std::string(2000, '0') + "1", 1, 2,
     std::bit_cast<float>(0x3F800001u), "angle step 1.000"},
    // The file is read in chunks of 4 KiB: fields run on across a chunk's end.
    {"FieldsAcrossTheReadChunks", std::string(4093, ' ') + "12345 6" + std::string(4090, '\n') + "0.0625", 12345, 6,
     0.0625f, "angle step 0.062"},
};

void PrintTo(const SettingsCase& row, std::ostream* out) { *out << row.name; }

class SettingsFile : public PluginTest, public ::testing::WithParamInterface<SettingsCase> {};

TEST_P(SettingsFile, GivesTheValuesAndTheSixLines) {
    const SettingsCase& row = GetParam();
    writeFile("Nozzles.ini", row.text);
    diag::openLog();
    config::loadSettings();
    EXPECT_EQ(config::settings.upControl, row.up);
    EXPECT_EQ(config::settings.downControl, row.down);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(config::settings.angleStep), std::bit_cast<std::uint32_t>(row.step));
    const std::vector<std::string> expected = {"before up control",   "control up " + std::to_string(row.up),
                                               "before down control", "control down " + std::to_string(row.down),
                                               "before angle step",   row.stepLine};
    EXPECT_EQ(logLines(), expected);
}

INSTANTIATE_TEST_SUITE_P(Settings, SettingsFile, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<SettingsCase>& row) { return row.param.name; });

using SettingsTest = PluginTest;

TEST_F(SettingsTest, MissingFileKeepsTheValuesAtLoadAndStillLogs) {
    diag::openLog();
    config::loadSettings();
    EXPECT_EQ(config::settings.upControl, 0);
    EXPECT_EQ(config::settings.downControl, 0);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(config::settings.angleStep), 0x3DCCCCCDu);
    EXPECT_EQ(logLines(), (std::vector<std::string>{"before up control", "control up 0", "before down control",
                                                    "control down 0", "before angle step", "angle step 0.100"}));
}

int openDescriptors() {
    int count = 0;
    if (DIR* fds = opendir("/proc/self/fd")) {
        while (readdir(fds) != nullptr) ++count;
        closedir(fds);
    }
    return count;
}

TEST_F(SettingsTest, TheFileIsClosedWhenLoadingReturns) {
    diag::openLog();
    writeFile("Nozzles.ini", "1 2 0.5");
    const int before = openDescriptors();
    config::loadSettings();
    EXPECT_EQ(openDescriptors(), before);
}

TEST_F(SettingsTest, ShippedSampleFileGivesItsFirstLinesValues) {
    std::ifstream sample(std::string(NOZZLES_SOURCE_DIR) + "/package/Nozzles.ini", std::ios::binary);
    ASSERT_TRUE(sample.good());
    std::ostringstream text;
    text << sample.rdbuf();
    writeFile("Nozzles.ini", text.str());
    diag::openLog();
    config::loadSettings();
    EXPECT_EQ(config::settings.upControl, 61);
    EXPECT_EQ(config::settings.downControl, 62);
    EXPECT_EQ(config::settings.angleStep, 0.05f);
}

}  // namespace
