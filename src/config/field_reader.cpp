#include "config/field_reader.h"

#include <limits>

#include "config/nearest_float.h"

namespace config {
namespace {

bool isSpace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool isDigit(int c) { return c >= '0' && c <= '9'; }

// Enough significant digits to round any decimal to the nearest float: the
// digits past these can only break a tie, which a sticky digit stands for.
constexpr int kKeptDigits = 800;
// Exponents far beyond float range all give the same result; clamping them
// keeps the arithmetic bounded for fields of a million digits.
constexpr std::int64_t kExponentLimit = 100000;

}  // namespace

int FieldReader::peek() {
    const int c = source_->peek();
    if (c == CharSource::kEnd) atEnd_ = true;
    return c;
}

bool FieldReader::beginField() {
    if (!good()) {
        failed_ = true;
        return false;
    }
    while (isSpace(peek())) take();
    if (atEnd_) {
        failed_ = true;
        return false;
    }
    return true;
}

void FieldReader::readInt(std::int32_t& target) {
    if (!beginField()) return;
    bool negative = false;
    if (const int c = peek(); c == '+' || c == '-') {
        negative = c == '-';
        take();
    }
    bool anyDigit = false;
    std::uint64_t magnitude = 0;
    constexpr std::uint64_t kSaturated = 0x100000000ull;  // past either limit
    for (int c = peek(); isDigit(c); c = peek()) {
        anyDigit = true;
        if (magnitude < kSaturated) magnitude = magnitude * 10 + static_cast<std::uint64_t>(c - '0');
        take();
    }
    if (!anyDigit) {
        target = 0;
        failed_ = true;
        return;
    }
    const std::uint64_t limit = negative ? 2147483648ull : 2147483647ull;
    if (magnitude > limit) {
        target = negative ? INT32_MIN : INT32_MAX;
        failed_ = true;
        return;
    }
    target = negative ? static_cast<std::int32_t>(-static_cast<std::int64_t>(magnitude))
                      : static_cast<std::int32_t>(magnitude);
}

void FieldReader::readFloat(float& target) {
    if (!beginField()) return;

    // The significant digits (kept digits and a sticky digit), without
    // leading zeros; the value is 0.<digits> x 10^pointPosition.
    char text[kKeptDigits + 1];
    std::size_t length = 0;
    bool negative = false;
    if (const int c = peek(); c == '+' || c == '-') {
        negative = c == '-';
        take();
    }

    bool anyDigit = false;
    bool sticky = false;
    int kept = 0;
    std::int64_t pointPosition = 0;  // value = 0.<significant digits> x 10^pointPosition
    auto keep = [&](int c) {
        if (kept < kKeptDigits) {
            text[length++] = static_cast<char>(c);
            ++kept;
        } else if (c != '0') {
            sticky = true;
        }
    };
    for (int c = peek(); isDigit(c); c = peek()) {
        anyDigit = true;
        if (kept > 0 || sticky || c != '0') {
            keep(c);
            if (pointPosition < kExponentLimit * 20) ++pointPosition;
        }
        take();
    }
    if (peek() == '.') {
        take();
        for (int c = peek(); isDigit(c); c = peek()) {
            anyDigit = true;
            if (kept > 0 || sticky || c != '0')
                keep(c);
            else if (pointPosition > -kExponentLimit * 20)
                --pointPosition;
            take();
        }
    }
    std::int64_t exponent = 0;
    bool exponentOk = true;
    if (const int c = peek(); c == 'e' || c == 'E') {
        take();
        bool exponentNegative = false;
        if (const int s = peek(); s == '+' || s == '-') {
            exponentNegative = s == '-';
            take();
        }
        exponentOk = false;
        for (int d = peek(); isDigit(d); d = peek()) {
            exponentOk = true;
            if (exponent < kExponentLimit * 20) exponent = exponent * 10 + (d - '0');
            take();
        }
        if (exponentNegative) exponent = -exponent;
    }
    if (!anyDigit || !exponentOk) {
        target = 0.0f;
        failed_ = true;
        return;
    }
    if (kept == 0) {
        // Every digit was zero: the value is zero, keeping its sign.
        target = negative ? -0.0f : 0.0f;
        return;
    }
    if (sticky) text[length++] = '1';
    std::int64_t decimalExponent = pointPosition + exponent;
    if (decimalExponent > kExponentLimit) decimalExponent = kExponentLimit;
    if (decimalExponent < -kExponentLimit) decimalExponent = -kExponentLimit;

    const float value = nearestFloat(text, length, decimalExponent);
    if (value == 0.0f || value == std::numeric_limits<float>::infinity()) {
        // Beyond float range either way: too large, or so small it rounds to zero.
        target = 0.0f;
        failed_ = true;
        return;
    }
    target = negative ? -value : value;
}

}  // namespace config
