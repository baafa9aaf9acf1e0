#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>

#include "diag/format.h"

namespace {

template <typename... Args>
std::string format(const char* text, Args... args) {
    char buffer[256];
    diag::formatMessageV(buffer, sizeof buffer, text, args...);
    return buffer;
}

struct FloatCase {
    const char* format;
    float value;
    const char* expected;
};

// Rows print by name (their padding bytes mean nothing).
void PrintTo(const FloatCase& row, std::ostream* out) { *out << row.format << ' ' << row.value; }

class FixedFormat : public ::testing::TestWithParam<FloatCase> {};

TEST_P(FixedFormat, WritesThreeDecimalsPaddedAndRoundedHalfToEven) {
    const FloatCase& row = GetParam();
    EXPECT_EQ(format(row.format, static_cast<double>(row.value)), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Log, FixedFormat,
    ::testing::Values(FloatCase{"angle step %5.3f", 0.1f, "angle step 0.100"},
                      FloatCase{"current nozzle angle %7.3f", 0.4f, "current nozzle angle   0.400"},
                      FloatCase{"%7.3f", 12.5f, " 12.500"},
                      // 0.0625 is exact in binary: a true tie, which goes to the even digit.
                      FloatCase{"angle step %5.3f", 0.0625f, "angle step 0.062"}, FloatCase{"%5.3f", 0.1875f, "0.188"},
                      FloatCase{"%7.3f", 1.0f, "  1.000"}, FloatCase{"%7.3f", 0.0f, "  0.000"},
                      FloatCase{"%5.3f", -0.25f, "-0.250"}, FloatCase{"%7.3f", -0.0f, " -0.000"},
                      // Not a tie: the float nearest 0.0005 lies above it.
                      FloatCase{"%5.3f", 0.0005f, "0.001"},
                      FloatCase{"%5.3f", 3.4028235e38f, "340282346638528859811704183484516925440.000"}));

TEST(LogFormat, IntegersCarryTheirSignAndAllDigits) {
    EXPECT_EQ(format("control up %i", -1), "control up -1");
    EXPECT_EQ(format("control up %i", 2147483647), "control up 2147483647");
    EXPECT_EQ(format("control down %i", INT32_MIN), "control down -2147483648");
    EXPECT_EQ(format("vehicle %u", 4294967295u), "vehicle 4294967295");
}

TEST(LogFormat, PointerIsSixteenUpperCaseHexDigitsWithoutPrefix) {
    EXPECT_EQ(format("address %p", reinterpret_cast<void*>(std::uintptr_t{0xABCDEF12})), "address 00000000ABCDEF12");
    EXPECT_EQ(format("%p", static_cast<void*>(nullptr)), "0000000000000000");
    EXPECT_EQ(format("%p", reinterpret_cast<void*>(~std::uintptr_t{0})), "FFFFFFFFFFFFFFFF");
}

TEST(LogFormat, FullPropStateLinesFormatEveryField) {
    EXPECT_EQ(format("getpropstate vehicle %u address %p index %i state %i", 100u,
                     reinterpret_cast<void*>(std::uintptr_t{0x1F00}), 2, -1),
              "getpropstate vehicle 100 address 0000000000001F00 index 2 state -1");
    EXPECT_EQ(format("setpropstate vehicle %u address %p index %i state %s", 7u,
                     reinterpret_cast<void*>(std::uintptr_t{0x10}), 2, "disabled"),
              "setpropstate vehicle 7 address 0000000000000010 index 2 state disabled");
}

TEST(LogFormat, CutsWhatDoesNotFitAndStaysTerminated) {
    char buffer[8];
    diag::formatMessageV(buffer, sizeof buffer, "control up %i", 12345);
    EXPECT_EQ(std::string(buffer), "control");
}

}  // namespace
