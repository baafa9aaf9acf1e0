// printf-style formatting for exactly the conversions the log uses, written
// out by hand so that both builds give the same bytes whatever the C runtime
// does ("%p" in particular differs between runtimes):
//   %i  int, signed decimal         %u  unsigned, decimal
//   %p  pointer, 16 upper-case hex  %s  text
//   %5.3f, %7.3f  double, three decimals, padded to 5 or 7
// Any other conversion is refused: a format with one does not compile where
// the log takes it, and ends the output where the formatter meets it.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <type_traits>

namespace diag {

// The kind of argument the conversion at `at` (just past a '%') takes: 'i',
// 'u', 'p', 's' or 'f'; 0 when it is refused. Sets `length` to its length.
constexpr char conversionAt(const char* at, std::size_t& length) {
    length = 1;
    if (*at == 'i' || *at == 'u' || *at == 'p' || *at == 's') return *at;
    if ((at[0] == '5' || at[0] == '7') && at[1] == '.' && at[2] == '3' && at[3] == 'f') {
        length = 4;
        return 'f';
    }
    return 0;
}

// True when the format's conversions are accepted ones, taking the argument
// kinds in `kinds` (NUL-ended), one each, in order.
constexpr bool formatTakes(const char* format, const char* kinds) {
    for (const char* at = format; *at != '\0'; ++at) {
        if (*at != '%') continue;
        std::size_t length = 0;
        const char kind = conversionAt(at + 1, length);
        if (kind == 0 || *kinds != kind) return false;
        ++kinds;
        at += length;
    }
    return *kinds == '\0';
}

template <typename T>
constexpr char argumentKind() {
    using Type = std::decay_t<T>;
    if constexpr (std::is_same_v<Type, int>)
        return 'i';
    else if constexpr (std::is_same_v<Type, unsigned>)
        return 'u';
    else if constexpr (std::is_same_v<Type, double>)
        return 'f';
    else if constexpr (std::is_same_v<Type, const char*> || std::is_same_v<Type, char*>)
        return 's';
    else if constexpr (std::is_pointer_v<Type>)
        return 'p';
    else
        return '?';
}

// Called only when a format is refused, so that compiling it fails.
void formatRefused();

// A format checked at compile time against its arguments' types.
template <typename... Args>
class CheckedFormat {
public:
    consteval CheckedFormat(const char* text) : text_(text) {  // NOLINT: implicit, from a literal
        constexpr char kKinds[] = {argumentKind<Args>()..., '\0'};
        if (!formatTakes(text, kKinds)) formatRefused();
    }
    const char* text() const { return text_; }

private:
    const char* text_;
};

// Formats into `out` (capacity bytes, NUL included), cutting what does not
// fit; returns the length written.
std::size_t formatMessage(char* out, std::size_t capacity, const char* format, ...);
std::size_t vformatMessage(char* out, std::size_t capacity, const char* format, std::va_list args);

}  // namespace diag
