// The single forward pass the scanner replaced, kept only as the benchmark's
// baseline: one byte and one mask position per step, no going back.
#pragma once

#include <cstdint>

const std::uint8_t* baselineScan(const std::uint8_t* begin, const std::uint8_t* end, const char* mask,
                                 const std::uint8_t* pattern);
