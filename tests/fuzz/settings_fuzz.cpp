// Fuzzes the settings reader: it must never crash or read past its input,
// and on inputs made only of the characters numbers are written with it must
// agree with the plain oracle below.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "config/char_source.h"
#include "config/field_reader.h"

namespace {

struct Result {
    std::int32_t up = 0;
    std::int32_t down = 0;
    float step = 0.1f;
};

// The oracle: split the text by the grammar with plain string scanning, then
// let the C library convert each field (strtof rounds to float directly).
Result oracle(const std::string& input) {
    Result result;
    const std::string text = input.substr(0, input.find('\x1A'));
    std::size_t at = 0;
    bool ok = true;
    const auto skipSpace = [&] {
        while (at < text.size() && std::strchr(" \t\n\v\f\r", text[at]) != nullptr) ++at;
    };
    const auto digitsFrom = [&](std::size_t from) {
        std::size_t end = from;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
        return end;
    };
    const auto readInteger = [&](std::int32_t& target) {
        if (!ok) return;
        skipSpace();
        if (at == text.size()) {
            ok = false;
            return;
        }
        std::size_t end = at;
        if (text[end] == '+' || text[end] == '-') ++end;
        const std::size_t digitsEnd = digitsFrom(end);
        if (digitsEnd == end) {
            target = 0;
            ok = false;
            return;
        }
        const std::string field = text.substr(at, digitsEnd - at);
        at = digitsEnd;
        errno = 0;
        const long long value = std::strtoll(field.c_str(), nullptr, 10);
        if (value > INT32_MAX || value < INT32_MIN) {
            target = value > 0 ? INT32_MAX : INT32_MIN;
            ok = false;
            return;
        }
        target = static_cast<std::int32_t>(value);
        if (at == text.size()) ok = false;  // ended at the end: later fields stop
    };
    const auto readFloat = [&](float& target) {
        if (!ok) return;
        skipSpace();
        if (at == text.size()) return;
        std::size_t end = at;
        if (text[end] == '+' || text[end] == '-') ++end;
        const std::size_t whole = digitsFrom(end);
        std::size_t fraction = whole;
        if (fraction < text.size() && text[fraction] == '.') fraction = digitsFrom(fraction + 1);
        const bool anyDigit = whole > end || fraction > whole + 1;
        std::size_t fieldEnd = fraction;
        bool exponentOk = true;
        if (fieldEnd < text.size() && (text[fieldEnd] == 'e' || text[fieldEnd] == 'E')) {
            std::size_t sign = fieldEnd + 1;
            if (sign < text.size() && (text[sign] == '+' || text[sign] == '-')) ++sign;
            const std::size_t exponentEnd = digitsFrom(sign);
            exponentOk = exponentEnd > sign;
            fieldEnd = exponentEnd;
        }
        if (!anyDigit || !exponentOk) {
            target = 0.0f;
            return;
        }
        const std::string field = text.substr(at, fieldEnd - at);
        const float value = std::strtof(field.c_str(), nullptr);
        const bool nonZeroDigit = field.find_first_of("123456789") < field.find_first_of("eE");
        if (std::isinf(value) || (value == 0.0f && nonZeroDigit)) {
            target = 0.0f;
            return;
        }
        target = value;
    };
    readInteger(result.up);
    readInteger(result.down);
    readFloat(result.step);
    return result;
}

bool numeric(const std::uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i)
        if (std::strchr("0123456789+-.eE \t\n\r\x1A", data[i]) == nullptr || data[i] == 0) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exact-size copy, so that a read past the end is a heap overflow.
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size]);
    if (size > 0) std::memcpy(copy.get(), data, size);
    config::MemorySource source(copy.get(), size);
    config::FieldReader reader(&source);
    Result got;
    reader.readInt(got.up);
    reader.readInt(got.down);
    reader.readFloat(got.step);
    if (size > 4096 || !numeric(data, size)) return 0;
    const Result expected = oracle(std::string(reinterpret_cast<const char*>(data), size));
    std::uint32_t gotBits = 0;
    std::uint32_t expectedBits = 0;
    std::memcpy(&gotBits, &got.step, 4);
    std::memcpy(&expectedBits, &expected.step, 4);
    if (got.up != expected.up || got.down != expected.down || gotBits != expectedBits) std::abort();
    return 0;
}
