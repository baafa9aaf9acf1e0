// Fuzzes the signature scanner, on both vector paths, against the plain reference on
// random buffers, masks and patterns, one signature and a set of them in one
// pass; the buffer is an exact-size heap copy, so any read past its end is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "memory/signature.h"
#include "reference_search.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    // Every length the signature tool may propose (up to 64 bytes) and beyond.
    const std::size_t length = 1 + data[0] % 80;
    if (size < 2 + 2 * length) return 0;
    std::string mask(length, 'x');
    std::uint8_t pattern[80] = {};
    for (std::size_t k = 0; k < length; ++k) {
        // Low bit of the mask byte: wildcard; the pattern byte is taken from
        // a small alphabet half the time, so that matches are common.
        const std::uint8_t control = data[2 + k];
        if (control & 1u) mask[k] = '?';
        pattern[k] = (control & 2u) ? static_cast<std::uint8_t>(control >> 6) : data[2 + length + k];
    }
    // The rest, repeated up to 12 times, so that ranges long enough for the
    // search to take dense candidates in bulk come up too.
    const std::size_t tile = size - 2 - 2 * length;
    if (tile == 0) return 0;
    const std::size_t bufferSize = tile * (1 + data[1] % 12u);
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[bufferSize]);
    const std::uint8_t* bytes = data + 2 + 2 * length;
    for (std::size_t i = 0; i < bufferSize; ++i) {
        const std::uint8_t byte = bytes[i % tile];
        buffer[i] = byte < 64 ? byte % 4 : byte;
    }
    const auto* begin = buffer.get();
    const auto* end = begin + bufferSize;
    const std::uint8_t* expected = referenceSearch(begin, end, mask.c_str(), pattern);
    for (const auto path : {memory::VectorPath::sse2, memory::VectorPath::avx2})
        if (memory::findInRange(begin, end, mask.c_str(), pattern, path) != expected) std::abort();

    // A set: the signature and up to eight of its tails, all in one pass.
    const std::size_t count = 1 + (data[1] >> 4) % 9 < length ? 1 + (data[1] >> 4) % 9 : length;
    memory::Signature set[9];
    for (std::size_t s = 0; s < count; ++s) set[s] = {mask.c_str() + s, pattern + s};
    for (const auto path : {memory::VectorPath::sse2, memory::VectorPath::avx2}) {
        memory::EachMatch found[9] = {};
        memory::findEachInRange(begin, end, set, count, found, path);
        for (std::size_t s = 0; s < count; ++s) {
            const std::uint8_t* first = referenceSearch(begin, end, set[s].mask, set[s].pattern);
            const std::uint8_t* second = first ? referenceSearch(first + 1, end, set[s].mask, set[s].pattern) : nullptr;
            if (found[s].first != first || found[s].count != (first == nullptr ? 0 : second == nullptr ? 1 : 2))
                std::abort();
        }
    }
    return 0;
}
