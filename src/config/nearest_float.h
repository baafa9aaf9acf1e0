// Decimal to float, rounded to the nearest (ties to even), by exact integer
// arithmetic: the settings step reads the same in every build and needs no
// library conversion (the C++ library's pulls its exception runtime along).
#pragma once

#include <cstddef>
#include <cstdint>

namespace config {

// The float nearest to 0.d1d2...dn x 10^pointPosition, where `digits` holds
// n >= 1 ASCII digits, the first not '0'. Infinity when the value lies beyond
// the float range, 0 when it rounds to zero.
float nearestFloat(const char* digits, std::size_t count, std::int64_t pointPosition);

}  // namespace config
