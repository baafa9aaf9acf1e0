#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>

#include "diag/format.h"

namespace {

template <typename... Args>
std::string format(const char* text, Args... args) {
    char buffer[400];
    diag::formatMessage(buffer, sizeof buffer, text, args...);
    return buffer;
}

template <typename... Args>
std::string printed(const char* text, Args... args) {
    char buffer[400];
    std::snprintf(buffer, sizeof buffer, text, args...);
    return buffer;
}

// Every accepted conversion against the C library's printf, on random values
// of every magnitude, ties at the third decimal, zeros, infinities and NaN.
TEST(LogFormat, EveryAcceptedConversionPrintsAsPrintfDoes) {
    std::mt19937_64 random(99);
    const double specials[] = {0.0,
                               -0.0,
                               0.0625,
                               0.0005,
                               2e10,
                               3.4028234663852886e38,
                               1.7976931348623157e308,
                               std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(),
                               std::numeric_limits<double>::quiet_NaN()};
    for (int round = 0; round < 20000; ++round) {
        double value = round < 10 ? specials[round] : std::ldexp(static_cast<double>(random() >> 11), -53);
        if (round >= 10) value = std::ldexp(value, static_cast<int>(random() % 140) - 70) * (random() % 2 ? -1 : 1);
        if (round % 7 == 0 && round >= 10)
            value = static_cast<double>(static_cast<std::int64_t>(random() % 100000)) / 16;
        for (const char* text : {"%5.3f", "x %7.3f y"}) ASSERT_EQ(format(text, value), printed(text, value)) << value;
        const auto integer = static_cast<int>(random());
        ASSERT_EQ(format("%i|%u", integer, static_cast<unsigned>(integer)),
                  printed("%i|%u", integer, static_cast<unsigned>(integer)));
        void* pointer = reinterpret_cast<void*>(static_cast<std::uintptr_t>(random()));
        ASSERT_EQ(format("%p", pointer),
                  printed("%016llX", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(pointer))));
    }
    EXPECT_EQ(format("%s and %s", "enabled", "disabled"), "enabled and disabled");
}

TEST(LogFormat, TheLogsOwnLinesComeOutAsWritten) {
    EXPECT_EQ(format("angle step %5.3f", 0.1f * 1.0), "angle step 0.100");
    EXPECT_EQ(format("current nozzle angle %7.3f", static_cast<double>(0.4f)), "current nozzle angle   0.400");
    EXPECT_EQ(format("%7.3f", 12.5), " 12.500");
    EXPECT_EQ(format("control up %i", -1), "control up -1");
    EXPECT_EQ(format("getpropstate vehicle %u address %p index %i state %i", 100u,
                     reinterpret_cast<void*>(std::uintptr_t{0x1F00}), 2, -1),
              "getpropstate vehicle 100 address 0000000000001F00 index 2 state -1");
}

// What the log does not use is refused: at compile time where the log takes
// a format, and by ending the output where the formatter meets it.
TEST(LogFormat, AnythingElseIsRefused) {
    static_assert(diag::formatTakes("setpropstate vehicle %u address %p index %i state %s", "upis"));
    static_assert(!diag::formatTakes("%.9f", "f") && !diag::formatTakes("%7.2f", "f") && !diag::formatTakes("%d", "i"));
    static_assert(!diag::formatTakes("%i", "u") && !diag::formatTakes("%i %i", "i") && !diag::formatTakes("%%", ""));
    for (const char* refused : {"%.9f", "%7.2f", "%f", "%d", "%x", "%%", "%3i", "%"})
        EXPECT_EQ(format((std::string("kept ") + refused + " lost").c_str(), 2e10), "kept ") << refused;
}

TEST(LogFormat, CutsWhatDoesNotFitAndStaysTerminated) {
    char buffer[8];
    diag::formatMessage(buffer, sizeof buffer, "control up %i", 12345);
    EXPECT_EQ(std::string(buffer), "control");
}

}  // namespace
