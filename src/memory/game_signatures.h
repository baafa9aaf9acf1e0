// The byte signatures of the three internal game functions the prop-state
// access calls: the first bytes of each function, with the bytes that move
// between game builds (a displacement, an immediate) left open.
#pragma once

#include <cstdint>

namespace memory {

struct Signature {
    const char* mask;             // 'x' must match, '?' accepts any byte; NUL-ended
    const std::uint8_t* pattern;  // as many bytes as the mask has characters
};

inline constexpr std::uint8_t kHandleToAddressPattern[] = {0x83, 0xF9, 0xFF, 0x74, 0x31, 0x4C, 0x8B, 0x0D, 0x00, 0x00,
                                                           0x00, 0x00, 0x44, 0x8B, 0xC1, 0x49, 0x8B, 0x41, 0x08};
inline constexpr std::uint8_t kGetPropStatePattern[] = {0x4C, 0x8B, 0xC1, 0x83, 0xFA, 0x00, 0x77, 0x19};
inline constexpr std::uint8_t kSetPropStatePattern[] = {0x4C, 0x8B, 0xC9, 0x83, 0xFA, 0x00, 0x77, 0x1F, 0x8B, 0xCA};

inline constexpr Signature kHandleToAddressSignature{"xxxxxxxx????xxxxxxx", kHandleToAddressPattern};
inline constexpr Signature kGetPropStateSignature{"xxxxx?xx", kGetPropStatePattern};
inline constexpr Signature kSetPropStateSignature{"xxxxx?xxxx", kSetPropStatePattern};

}  // namespace memory
