// Fuzzes the signature scanner against the plain byte-by-byte reference on
// random buffers, masks and patterns; the buffer is an exact-size heap copy,
// so any read past its end is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "memory/signature.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t length = 1 + data[0] % 20;
    if (size < 1 + 2 * length) return 0;
    std::string mask(length, 'x');
    std::uint8_t pattern[20] = {};
    for (std::size_t k = 0; k < length; ++k) {
        // Low bit of the mask byte: wildcard; the pattern byte is taken from
        // a small alphabet half the time, so that matches are common.
        const std::uint8_t control = data[1 + k];
        if (control & 1u) mask[k] = '?';
        pattern[k] = (control & 2u) ? static_cast<std::uint8_t>(control >> 6) : data[1 + length + k];
    }
    const std::size_t bufferSize = size - 1 - 2 * length;
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[bufferSize + 1]);
    const std::uint8_t* bytes = data + 1 + 2 * length;
    for (std::size_t i = 0; i < bufferSize; ++i) buffer[i] = bytes[i] < 64 ? bytes[i] % 4 : bytes[i];
    const auto* begin = buffer.get();
    const auto* end = begin + bufferSize;
    if (memory::findInRange(begin, end, mask.c_str(), pattern) !=
        memory::findInRangeReference(begin, end, mask.c_str(), pattern))
        std::abort();
    return 0;
}
