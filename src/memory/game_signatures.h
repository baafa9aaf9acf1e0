// The byte signatures of the three internal game functions the prop-state
// access calls: the first bytes of each function, with the bytes that move
// between game builds (a displacement, an immediate) left open.
//
// This file is the one place they stand. A game update changes the text
// between the clang-format markers and nothing else; `make sigupdate` writes
// it (nozzles-sigcheck --write-header), one signature to a line.
#pragma once

#include <cstddef>
#include <cstdint>

namespace memory {

struct Signature {
    const char* mask;             // 'x' must match, '?' accepts any byte; NUL-ended
    const std::uint8_t* pattern;  // as many bytes as the mask has characters
};

// A signature as its bytes, read at compile time from the text disassemblers
// print: two hexadecimal digits per byte, "??" for an open one, one space between.
template <std::size_t N>
struct SignatureBytes {
    const char* name;
    char mask[N + 1] = {};
    std::uint8_t pattern[N] = {};
    constexpr operator Signature() const { return {mask, pattern}; }
};

// Not constexpr, so that a malformed text fails the build where it is called.
void malformedSignatureText();

consteval std::uint8_t hexDigit(char c) {
    if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
    malformedSignatureText();
    return 0;
}

template <std::size_t Length>
consteval SignatureBytes<Length / 3> signature(const char* name, const char (&text)[Length]) {
    SignatureBytes<Length / 3> bytes{name};
    if (Length % 3 != 0 || Length < 3) malformedSignatureText();
    for (std::size_t k = 0; k < Length / 3; ++k) {
        const char high = text[3 * k];
        const char low = text[3 * k + 1];
        if (text[3 * k + 2] != (k + 1 == Length / 3 ? '\0' : ' ')) malformedSignatureText();
        if (high == '?' && low == '?') {
            bytes.mask[k] = '?';
        } else {
            bytes.mask[k] = 'x';
            bytes.pattern[k] = static_cast<std::uint8_t>(hexDigit(high) << 4 | hexDigit(low));
        }
    }
    if (bytes.mask[0] == '?' || bytes.mask[Length / 3 - 1] == '?') malformedSignatureText();
    return bytes;
}

// clang-format off
inline constexpr auto kHandleToAddressSignature = signature("handleToAddress", "83 F9 FF 74 31 4C 8B 0D ?? ?? ?? ?? 44 8B C1 49 8B 41 08");
inline constexpr auto kGetPropStateSignature = signature("getpropstate", "4C 8B C1 83 FA ?? 77 19");
inline constexpr auto kSetPropStateSignature = signature("setpropstate", "4C 8B C9 83 FA ?? 77 1F 8B CA");
// clang-format on

// The three in the order the stand-in game and the tools list them.
struct NamedSignature {
    const char* name;
    Signature signature;
};
inline constexpr NamedSignature kGameSignatures[] = {
    {kHandleToAddressSignature.name, kHandleToAddressSignature},
    {kGetPropStateSignature.name, kGetPropStateSignature},
    {kSetPropStateSignature.name, kSetPropStateSignature},
};

}  // namespace memory
