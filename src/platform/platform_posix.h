// Seams of the host build (Linux): it runs in no game process, so whoever stands in
// for the game (the stand-in world, a test) tells the platform layer which
// clock and which "main module" to report. Not part of the Windows build.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace platform {

using TickSource = std::uint64_t (*)();

// Null restores the monotonic clock.
void setHostTickSource(TickSource source);

// A range with a null start restores the default: the program's executable.
void setHostMainModule(ByteRange range);

// What processorHasAvx2 answers: a test's "no AVX2" on any machine, while
// processorHasAvx512 answers no. Null restores the processor's own answers.
using FeatureQuery = bool (*)();
void setHostAvx2Query(FeatureQuery query);

}  // namespace platform
