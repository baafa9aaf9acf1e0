// printf-style formatting for the log's own placeholders, written out by hand
// so that both builds give the same bytes whatever the C runtime does
// ("%p" in particular differs between runtimes).
#pragma once

#include <cstdarg>
#include <cstddef>

namespace diag {

// Formats into `out` (capacity bytes, NUL included), cutting what does not
// fit. Handles %i, %d, %u, %p, %s, %% and %W.Pf; returns the length written.
std::size_t formatMessage(char* out, std::size_t capacity, const char* format, std::va_list args);

std::size_t formatMessageV(char* out, std::size_t capacity, const char* format, ...);

}  // namespace diag
