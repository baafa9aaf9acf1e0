// The one table of native hashes. Everything else calls the typed wrappers
// in natives.h.
#pragma once

#include <cstdint>

namespace natives::hashes {
inline constexpr std::uint64_t kPlayerCharacter = 0xD80958FC74E988A6;
inline constexpr std::uint64_t kVehicleOfCharacter = 0x9A9112A0FE9A4713;
inline constexpr std::uint64_t kEntityModel = 0x9F47B058362C84B5;
inline constexpr std::uint64_t kIsModelOfClass = 0xA0948AB42D7BA0DE;
inline constexpr std::uint64_t kEntityExists = 0x7239B21A38F536BA;
inline constexpr std::uint64_t kControlActiveFirst = 0x580417101DDB492F;
inline constexpr std::uint64_t kControlActiveSecond = 0xF3A21BCD95725A4A;
inline constexpr std::uint64_t kNozzlePosition = 0xDA62027C8BDB326E;
inline constexpr std::uint64_t kSetNozzlePosition = 0x30D779DE7C4F6DD3;
inline constexpr std::uint64_t kModCount = 0xE38E9162A2500646;
inline constexpr std::uint64_t kFittedMod = 0x772960298DA26FDB;
inline constexpr std::uint64_t kFitMod = 0x6AF0636DDEDCB6DD;
inline constexpr std::uint64_t kModelHashOfName = 0xD24D37CC275948CC;
}  // namespace natives::hashes
