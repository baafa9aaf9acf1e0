// The search for byte signatures in a range of memory, at the vector width the processor allows.
#pragma once

#include <cstddef>
#include <cstdint>

namespace memory {

struct Signature {
    const char* mask;             // 'x' must match, '?' accepts any byte; NUL-ended
    const std::uint8_t* pattern;  // as many bytes as the mask has characters
};

// The vector instructions a search uses: AVX-512 (with its byte permutes)
// or AVX2 where the processor has it, SSE2 (which every x86-64 processor
// has) otherwise, or when asked for. One signature's search is bound by
// memory at 256 bits: asked for AVX-512, it runs AVX2; a set's pass runs
// AVX-512.
enum class VectorPath { sse2, avx2, avx512 };
VectorPath bestVectorPath();

// The lowest address in [begin, end) at which the signature occurs, overlapping
// partial matches included, or null. Reads no byte outside the range. AVX2,
// when asked for on a processor without it, falls back to SSE2.
const std::uint8_t* findInRange(const std::uint8_t* begin, const std::uint8_t* end, const char* mask,
                                const std::uint8_t* pattern, VectorPath path);

// Whether the signature's `length` bytes match at `at`, each fixed byte compared.
bool matchesAt(const std::uint8_t* at, const char* mask, const std::uint8_t* pattern, std::size_t length);

// Several signatures in one pass: the lowest match of each in [begin, end),
// overlapping starts included, and whether it has a second, added to
// `found` (so that a search over several ranges, in address order, adds up).
// Reads no byte outside the range, allocates and writes nothing else. Up to
// kMostInOnePass signatures are filtered at once (AVX-512, AVX2, or SSSE3
// at 128 bits), more in a pass for each as many; without SSSE3, one by one.
inline constexpr std::size_t kMostInOnePass = 8;
struct EachMatch {
    const std::uint8_t* first = nullptr;  // the lowest match
    std::uint8_t count = 0;               // 0, 1, or 2 for two or more
};
void findEachInRange(const std::uint8_t* begin, const std::uint8_t* end, const Signature* signatures, std::size_t count,
                     EachMatch* found, VectorPath path);
// Where the set's pass fingerprints each of up to kMostInOnePass signatures:
// three bytes, the end and the bytes `distance[0]` and `distance[1]` before
// it (the same two for the whole set), `end[s]` into signature s. A place
// in code where each of a signature's three bytes is its fixed byte, or it
// is open, is a candidate the pass checks whole.
struct Fingerprints {
    std::size_t distance[2] = {1, 2};
    std::size_t end[kMostInOnePass] = {};
};
Fingerprints fingerprintsOf(const Signature* signatures, std::size_t count);
// The same, each signature by findInRange on its own: the way without
// SSSE3, and a reference for the tests.
void findEachOneByOne(const std::uint8_t* begin, const std::uint8_t* end, const Signature* signatures,
                      std::size_t count, EachMatch* found, VectorPath path);

}  // namespace memory
