// The scanner's vector paths as the tests run and name them.
#pragma once

#include "memory/signature.h"
#include "platform/platform.h"

namespace test {

inline constexpr memory::VectorPath kEveryPath[] = {memory::VectorPath::sse2, memory::VectorPath::avx2,
                                                    memory::VectorPath::avx512};

inline const char* nameOf(memory::VectorPath path) {
    return path == memory::VectorPath::avx512 ? "AVX512" : path == memory::VectorPath::avx2 ? "AVX2" : "SSE2";
}

// Whether this processor runs the path's own instructions: elsewhere the
// path falls back to a narrower one, which its own rows already test.
inline bool runsHere(memory::VectorPath path) {
    return path == memory::VectorPath::avx512 ? platform::processorHasAvx512()
           : path == memory::VectorPath::avx2 ? platform::processorHasAvx2()
                                              : true;
}

}  // namespace test
