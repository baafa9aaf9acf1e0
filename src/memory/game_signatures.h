// The byte signatures of the three internal game functions the prop-state
// access calls, a set for each function. A signature is of one of three kinds:
//   entry    "4C 8B C1 83 FA ?? 77 19"              its match is the function;
//   call     "call 48 8B CF [E8 ?? ?? ?? ??] 85 C0"  its match holds a call (E8) or
//            jump (E9) whose target is the function: the instruction in brackets;
//   inside   "inside 41 8B 44 80 10"                its match lies inside the
//            function, which the exception directory says where it begins.
// The bytes that move between game builds (a displacement, an immediate) are
// left open. memory/function_set.h says how a set finds its function.
//
// This file is the one place they stand. A game update changes the text
// between the clang-format markers and nothing else; `make sigupdate` prints
// it, and with SIGUPDATE_FLAGS="--write-header FILE" writes it (nozzles-sigcheck
// --write-header), one signature to a line: two
// upper-case hexadecimal digits per byte, "??" for an open one, one space
// between, no open byte at either end. Anything else fails the build.
#pragma once

#include <cstddef>
#include <cstdint>

#include "memory/signature.h"

namespace memory {

enum class SignatureKind : std::uint8_t { entry, call, inside };

inline constexpr std::size_t kLongestSignature = 64;
inline constexpr std::size_t kMostSignaturesInSet = 8;

// One signature of a set, as its bytes.
struct SetSignature {
    SignatureKind kind = SignatureKind::entry;
    std::uint8_t callAt = 0;  // call: where the E8 or E9 stands in it
    char mask[kLongestSignature + 1] = {};
    std::uint8_t pattern[kLongestSignature] = {};
    constexpr operator Signature() const { return {mask, pattern}; }
    constexpr std::size_t length() const {
        std::size_t n = 0;
        while (mask[n] != '\0') ++n;
        return n;
    }
};

// A function's signatures, each of which finds it on its own.
struct SignatureSet {
    const char* name = nullptr;
    std::size_t count = 0;
    SetSignature items[kMostSignaturesInSet] = {};
    constexpr const SetSignature* begin() const { return items; }
    constexpr const SetSignature* end() const { return items + count; }
    // Its entry signature, or null when it has none.
    constexpr const SetSignature* entry() const {
        for (const SetSignature& s : *this)
            if (s.kind == SignatureKind::entry) return &s;
        return nullptr;
    }
};

// Not constexpr, so that a malformed text fails the build where it is called.
void malformedSignatureText();

consteval std::uint8_t hexDigit(char c) {
    if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
    malformedSignatureText();
    return 0;
}

consteval bool startsWith(const char* text, const char* word) {
    for (; *word != '\0'; ++text, ++word)
        if (*text != *word) return false;
    return true;
}

// One signature's text: an optional kind ("call ", "inside "), then bytes,
// a call's instruction in brackets.
consteval SetSignature parseSignature(const char* text) {
    SetSignature s;
    if (startsWith(text, "call ")) {
        s.kind = SignatureKind::call;
        text += 5;
    } else if (startsWith(text, "inside ")) {
        s.kind = SignatureKind::inside;
        text += 7;
    }
    std::size_t n = 0;
    int bracket = -1;  // where '[' opened, until its ']'
    bool closed = false;
    for (;;) {
        if (*text == '[') {
            if (s.kind != SignatureKind::call || bracket >= 0) malformedSignatureText();
            bracket = static_cast<int>(n);
            ++text;
        }
        if (n == kLongestSignature) malformedSignatureText();
        const char high = text[0];
        const char low = text[1];
        if (high == '\0' || low == '\0') malformedSignatureText();
        if (high == '?' && low == '?') {
            s.mask[n] = '?';
        } else {
            s.mask[n] = 'x';
            s.pattern[n] = static_cast<std::uint8_t>(hexDigit(high) << 4 | hexDigit(low));
        }
        ++n;
        text += 2;
        if (*text == ']') {
            // The call or jump and its 32-bit displacement, whole.
            if (bracket < 0 || closed || n - static_cast<std::size_t>(bracket) != 5) malformedSignatureText();
            closed = true;
            ++text;
        }
        if (*text == '\0') break;
        if (*text != ' ') malformedSignatureText();
        ++text;
    }
    if (s.mask[0] == '?' || s.mask[n - 1] == '?') malformedSignatureText();
    if (s.kind == SignatureKind::call) {
        if (!closed) malformedSignatureText();
        const auto at = static_cast<std::size_t>(bracket);
        if (s.mask[at] != 'x' || (s.pattern[at] != 0xE8 && s.pattern[at] != 0xE9)) malformedSignatureText();
        s.callAt = static_cast<std::uint8_t>(at);
    } else if (bracket >= 0) {
        malformedSignatureText();
    }
    return s;
}

consteval bool sameSignature(const SetSignature& a, const SetSignature& b) {
    if (a.kind != b.kind || a.callAt != b.callAt) return false;
    for (std::size_t k = 0; k <= kLongestSignature; ++k) {
        if (a.mask[k] != b.mask[k]) return false;
        if (a.mask[k] == '\0') return true;
        if (a.pattern[k] != b.pattern[k]) return false;
    }
    return true;
}

template <std::size_t... Length>
consteval SignatureSet signatures(const char* name, const char (&... texts)[Length]) {
    static_assert(sizeof...(Length) >= 1 && sizeof...(Length) <= kMostSignaturesInSet);
    SignatureSet set;
    set.name = name;
    const char* all[] = {texts...};
    int entries = 0;
    for (const char* text : all) {
        set.items[set.count] = parseSignature(text);
        entries += set.items[set.count].kind == SignatureKind::entry;
        ++set.count;
    }
    // Two entry signatures are two cuts of the same first bytes, and break
    // together: they would be one piece of evidence with two votes.
    if (entries > 1) malformedSignatureText();
    // One signature, one vote: a copy would outvote the rest of the set.
    for (std::size_t i = 0; i < set.count; ++i)
        for (std::size_t j = i + 1; j < set.count; ++j)
            if (sameSignature(set.items[i], set.items[j])) malformedSignatureText();
    return set;
}

// clang-format off
inline constexpr SignatureSet kHandleToAddressSignatures = signatures("handleToAddress",
    "83 F9 FF 74 31 4C 8B 0D ?? ?? ?? ?? 44 8B C1 49 8B 41 08");
inline constexpr SignatureSet kGetPropStateSignatures = signatures("getpropstate",
    "4C 8B C1 83 FA ?? 77 19");
inline constexpr SignatureSet kSetPropStateSignatures = signatures("setpropstate",
    "4C 8B C9 83 FA ?? 77 1F 8B CA");
// clang-format on

// The three in the order the stand-in game and the tools list them.
inline constexpr const SignatureSet* kGameSignatures[] = {
    &kHandleToAddressSignatures,
    &kGetPropStateSignatures,
    &kSetPropStateSignatures,
};

}  // namespace memory
