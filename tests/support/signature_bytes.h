// A signature's first bytes as a game's code holds them, for tests that put
// a function where the search must find it: the fixed bytes from the
// plug-in's own header, and a chosen value where a byte is open.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "memory/game_signatures.h"

namespace test {

// A set's entry signature: the function's first bytes.
inline memory::Signature entryOf(const memory::SignatureSet& set) { return *set.entry(); }

inline std::vector<std::uint8_t> functionBytes(const memory::Signature& signature, std::uint8_t open) {
    std::vector<std::uint8_t> bytes(signature.pattern, signature.pattern + std::strlen(signature.mask));
    for (std::size_t k = 0; k < bytes.size(); ++k)
        if (signature.mask[k] == '?') bytes[k] = open;
    return bytes;
}

}  // namespace test
