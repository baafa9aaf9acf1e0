// The plain search the fast one must agree with: every start, every position.
#pragma once

#include <cstdint>

const std::uint8_t* referenceSearch(const std::uint8_t* begin, const std::uint8_t* end, const char* mask,
                                    const std::uint8_t* pattern);
