#include "diag/format.h"

#include <cmath>
#include <cstdint>

namespace diag {
namespace {

class Output {
public:
    Output(char* out, std::size_t capacity) : out_(out), capacity_(capacity) {}

    void put(char c) {
        if (length_ + 1 < capacity_)
            out_[length_++] = c;
        else
            truncated_ = true;
    }
    void put(const char* text, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) put(text[i]);
    }
    void padTo(int width, std::size_t used) {
        for (std::size_t i = used; i < static_cast<std::size_t>(width > 0 ? width : 0); ++i) put(' ');
    }
    std::size_t finish() {
        if (capacity_ > 0) out_[length_] = '\0';
        return length_;
    }

private:
    char* out_;
    std::size_t capacity_;
    std::size_t length_ = 0;
    bool truncated_ = false;
};

// Digits of `value` in `base`, most significant first, into `buffer`; returns the count.
std::size_t toDigits(std::uint64_t value, unsigned base, bool upper, int minDigits, char* buffer) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char reversed[32];
    std::size_t count = 0;
    do {
        reversed[count++] = digits[value % base];
        value /= base;
    } while (value != 0);
    while (count < static_cast<std::size_t>(minDigits)) reversed[count++] = '0';
    for (std::size_t i = 0; i < count; ++i) buffer[i] = reversed[count - 1 - i];
    return count;
}

// A value too large for 64-bit units is a whole number (its last set bit lies
// far above the point): print its exact decimal digits, then zero decimals.
// Up to 309 digits, for a settings value near the float limit, say.
std::size_t largeFixedText(double magnitude, int precision, char* buffer) {
    int exponent = 0;
    const double fraction = std::frexp(magnitude, &exponent);
    auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
    int shift = exponent - 53;
    std::uint32_t limbs[40] = {};  // base 1e9, least significant first
    int used = 0;
    while (mantissa != 0) {
        limbs[used++] = static_cast<std::uint32_t>(mantissa % 1000000000u);
        mantissa /= 1000000000u;
    }
    for (; shift > 0; --shift) {
        std::uint32_t carry = 0;
        for (int i = 0; i < used; ++i) {
            const std::uint64_t doubled = std::uint64_t{limbs[i]} * 2u + carry;
            limbs[i] = static_cast<std::uint32_t>(doubled % 1000000000u);
            carry = static_cast<std::uint32_t>(doubled / 1000000000u);
        }
        if (carry != 0 && used < 40) limbs[used++] = carry;
    }
    std::size_t length = toDigits(limbs[used - 1], 10, false, 1, buffer);
    for (int i = used - 2; i >= 0; --i) length += toDigits(limbs[i], 10, false, 9, buffer + length);
    if (precision > 0) {
        buffer[length++] = '.';
        for (int i = 0; i < precision; ++i) buffer[length++] = '0';
    }
    return length;
}

// Fixed notation with `precision` decimals, rounded to nearest with ties to
// even. The product is taken in long double: x87's 64-bit significand holds a
// double times 1000 exactly, so the rounding sees the exact value.
std::size_t fixedText(double value, int precision, char* buffer) {
    std::size_t length = 0;
    if (std::signbit(value)) buffer[length++] = '-';
    const double magnitude = std::fabs(value);
    if (std::isnan(value)) {
        buffer[length++] = 'n', buffer[length++] = 'a', buffer[length++] = 'n';
        return length;
    }
    if (std::isinf(value)) {
        buffer[length++] = 'i', buffer[length++] = 'n', buffer[length++] = 'f';
        return length;
    }
    long double scale = 1.0L;
    for (int i = 0; i < precision; ++i) scale *= 10.0L;
    const long double scaled = std::nearbyint(static_cast<long double>(magnitude) * scale);
    if (scaled >= 1.8e19L) return length + largeFixedText(magnitude, precision, buffer + length);
    const auto units = static_cast<std::uint64_t>(scaled);
    std::uint64_t divisor = 1;
    for (int i = 0; i < precision; ++i) divisor *= 10;
    length += toDigits(units / divisor, 10, false, 1, buffer + length);
    if (precision > 0) {
        buffer[length++] = '.';
        length += toDigits(units % divisor, 10, false, precision, buffer + length);
    }
    return length;
}

int readNumber(const char*& cursor) {
    int value = 0;
    while (*cursor >= '0' && *cursor <= '9') {
        if (value < 1000) value = value * 10 + (*cursor - '0');
        ++cursor;
    }
    return value;
}

}  // namespace

std::size_t formatMessage(char* out, std::size_t capacity, const char* format, std::va_list args) {
    Output output(out, capacity);
    char text[360];
    for (const char* cursor = format; *cursor != '\0'; ++cursor) {
        if (*cursor != '%') {
            output.put(*cursor);
            continue;
        }
        ++cursor;
        const int width = readNumber(cursor);
        int precision = 6;
        if (*cursor == '.') {
            ++cursor;
            precision = readNumber(cursor);
            if (precision > 9) precision = 9;
        }
        std::size_t length = 0;
        switch (*cursor) {
            case 'i':
            case 'd': {
                const int value = va_arg(args, int);
                if (value < 0) text[length++] = '-';
                const std::uint64_t magnitude = value < 0
                                                    ? 0u - static_cast<std::uint64_t>(static_cast<std::int64_t>(value))
                                                    : static_cast<std::uint64_t>(value);
                length += toDigits(magnitude, 10, false, 1, text + length);
                break;
            }
            case 'u': length = toDigits(va_arg(args, unsigned int), 10, false, 1, text); break;
            case 'p':
                length = toDigits(reinterpret_cast<std::uintptr_t>(va_arg(args, void*)), 16, true, 16, text);
                break;
            case 'f': length = fixedText(va_arg(args, double), precision, text); break;
            case 's': {
                const char* value = va_arg(args, const char*);
                if (value == nullptr) value = "(null)";
                std::size_t valueLength = 0;
                while (value[valueLength] != '\0') ++valueLength;
                output.padTo(width, valueLength);
                output.put(value, valueLength);
                continue;
            }
            case '%': output.put('%'); continue;
            case '\0': return output.finish();
            default:
                // Unknown conversion: write it as it stands rather than guess its argument.
                output.put('%');
                output.put(*cursor);
                continue;
        }
        output.padTo(width, length);
        output.put(text, length);
    }
    return output.finish();
}

std::size_t formatMessageV(char* out, std::size_t capacity, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const std::size_t length = formatMessage(out, capacity, format, args);
    va_end(args);
    return length;
}

}  // namespace diag
