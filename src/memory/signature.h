// The search for byte signatures in a range of memory, at the vector width the processor allows.
#pragma once

#include <cstddef>
#include <cstdint>

namespace memory {

// The vector instructions a search uses: AVX2 where the processor has it,
// SSE2 (which every x86-64 processor has) otherwise, or when asked for.
enum class VectorPath { sse2, avx2 };
VectorPath bestVectorPath();

// The lowest address in [begin, end) at which the signature occurs, overlapping
// partial matches included, or null. Reads no byte outside the range. AVX2,
// when asked for on a processor without it, falls back to SSE2.
const std::uint8_t* findInRange(const std::uint8_t* begin, const std::uint8_t* end, const char* mask,
                                const std::uint8_t* pattern, VectorPath path);

}  // namespace memory
