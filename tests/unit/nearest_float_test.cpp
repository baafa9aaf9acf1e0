#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "config/nearest_float.h"

namespace {

// The reader's form of a decimal text: significant digits and the position of
// the point before them. The text is an exponent form "d.ddd...e±x".
float convert(const std::string& text) {
    std::string digits;
    const std::size_t e = text.find('e');
    for (std::size_t i = 0; i < e; ++i)
        if (text[i] != '.') digits += text[i];
    const std::size_t first = digits.find_first_not_of('0');
    return config::nearestFloat(digits.c_str() + first, digits.size() - first, std::atol(text.c_str() + e + 1) + 1);
}

std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

// Halfway points between neighbouring floats are where rounding goes wrong:
// each is printed exactly (a double holds it), then cut short or nudged in
// its last digit, and glibc's strtof, correctly rounded, is the judge.
TEST(NearestFloat, AgreesWithTheCLibraryAroundHalfwayPoints) {
    std::mt19937_64 random(42);
    char text[256];
    for (int round = 0; round < 20000; ++round) {
        // Normals, subnormals and the top of the range alike.
        const auto low = static_cast<std::uint32_t>(round % 3 == 0 ? random() % 0x01000000 : random() % 0x7F7FFFFF);
        const double halfway =
            (static_cast<double>(std::bit_cast<float>(low)) + static_cast<double>(std::bit_cast<float>(low + 1))) / 2;
        std::snprintf(text, sizeof text, "%.*e", static_cast<int>(random() % 120), halfway);
        std::string decimal = text;
        if (round % 2 == 1 && decimal.find('.') != std::string::npos) {
            const std::size_t last = decimal.find('e') - 1;
            if (decimal[last] != '.') decimal[last] = static_cast<char>('0' + random() % 10);
        }
        const float expected = std::strtof(decimal.c_str(), nullptr);
        ASSERT_EQ(bits(convert(decimal)), bits(expected)) << decimal;
    }
}

TEST(NearestFloat, EdgesOfTheRange) {
    const float infinity = std::numeric_limits<float>::infinity();
    EXPECT_EQ(convert("3.4028234e38"), std::numeric_limits<float>::max());
    EXPECT_EQ(convert("3.40282357e38"), infinity);  // past the halfway point above the largest float
    EXPECT_EQ(convert("1e39"), infinity);
    EXPECT_EQ(convert("1.401298e-45"), std::numeric_limits<float>::denorm_min());
    // Exactly half the smallest float, 2^-150: a tie, which goes to the even zero.
    const std::string half =
        "7.00649232162408535461864791644958065640130970938257885878534141944895541342930300743319094181060791015625";
    EXPECT_EQ(convert(half + "e-46"), 0.0f);
    EXPECT_EQ(convert(half + "1e-46"), std::numeric_limits<float>::denorm_min());
    EXPECT_EQ(convert("1.17549435e-38"), std::numeric_limits<float>::min());
    EXPECT_EQ(convert("9.9e-47"), 0.0f);
}

}  // namespace
