#include "diag/format.h"

#include <cmath>
#include <cstdint>

namespace diag {
namespace {

class Output {
public:
    Output(char* out, std::size_t capacity) : out_(out), capacity_(capacity) {}

    void put(char c) {
        if (length_ + 1 < capacity_) out_[length_++] = c;
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

// The log's floats have three decimals.
constexpr int kDecimals = 3;

// A value too large for 64-bit units is a whole number (its last set bit lies
// far above the point): print its exact decimal digits, then zero decimals.
// Up to 309 digits, for a settings value near the float limit, say.
std::size_t largeFixedText(double magnitude, char* buffer) {
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
    buffer[length++] = '.';
    for (int i = 0; i < kDecimals; ++i) buffer[length++] = '0';
    return length;
}

// The value times 1000, rounded to the nearest whole number with ties to even,
// in exact integer arithmetic (no extended precision needed, which not every
// machine or emulator gives); false when it does not fit in 64 bits.
bool thousandths(double magnitude, std::uint64_t& units) {
    int exponent = 0;
    const double fraction = std::frexp(magnitude, &exponent);
    const auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));  // magnitude = mantissa x 2^shift
    const int shift = exponent - 53;
    const std::uint64_t product = mantissa * 1000u;  // under 2^63
    if (shift >= 0) {
        if (shift >= 64 || (shift > 0 && product > (~std::uint64_t{0} >> shift))) return false;
        units = product << shift;
        return true;
    }
    if (-shift >= 64) {  // below a half once scaled
        units = 0;
        return true;
    }
    units = product >> -shift;
    const std::uint64_t rest = product & ((std::uint64_t{1} << -shift) - 1);
    const std::uint64_t half = std::uint64_t{1} << (-shift - 1);
    if (rest > half || (rest == half && (units & 1u) != 0)) ++units;
    return true;
}

// Fixed notation with three decimals, rounded to nearest with ties to even.
std::size_t fixedText(double value, char* buffer) {
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
    std::uint64_t units = 0;
    if (!thousandths(magnitude, units)) return length + largeFixedText(magnitude, buffer + length);
    length += toDigits(units / 1000u, 10, false, 1, buffer + length);
    buffer[length++] = '.';
    length += toDigits(units % 1000u, 10, false, kDecimals, buffer + length);
    return length;
}

}  // namespace

std::size_t vformatMessage(char* out, std::size_t capacity, const char* format, std::va_list args) {
    Output output(out, capacity);
    char text[360];
    for (const char* cursor = format; *cursor != '\0'; ++cursor) {
        if (*cursor != '%') {
            output.put(*cursor);
            continue;
        }
        std::size_t conversion = 0;
        std::size_t length = 0;
        switch (conversionAt(cursor + 1, conversion)) {
            case 'i': {
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
            case 'f':
                length = fixedText(va_arg(args, double), text);
                output.padTo(cursor[1] - '0', length);
                break;
            case 's': {
                const char* value = va_arg(args, const char*);
                if (value == nullptr) value = "(null)";
                while (value[length] != '\0') ++length;
                output.put(value, length);
                length = 0;
                break;
            }
            default:
                // Refused: no argument is read past what the accepted ones took.
                return output.finish();
        }
        output.put(text, length);
        cursor += conversion;
    }
    return output.finish();
}

std::size_t formatMessage(char* out, std::size_t capacity, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const std::size_t length = vformatMessage(out, capacity, format, args);
    va_end(args);
    return length;
}

}  // namespace diag
