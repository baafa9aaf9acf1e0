// Seams of the native stand-in: the Linux build has no game process, so the
// stand-in world tells the platform layer which clock and which "main module"
// to report. Not part of the Windows build.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace platform {

using TickSource = std::uint64_t (*)();

// Null restores the monotonic clock.
void setNativeTickSource(TickSource source);

// An empty range restores the default: the linked "gamecode" section, if any.
void setNativeMainModule(ByteRange range);

}  // namespace platform
