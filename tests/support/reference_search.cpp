#include "reference_search.h"

#include <cstring>

const std::uint8_t* referenceSearch(const std::uint8_t* begin, const std::uint8_t* end, const char* mask,
                                    const std::uint8_t* pattern) {
    if (begin == nullptr || end == nullptr || begin >= end) return nullptr;
    const std::size_t length = std::strlen(mask);
    if (length == 0) return nullptr;
    for (const std::uint8_t* at = begin; static_cast<std::size_t>(end - at) >= length; ++at) {
        std::size_t k = 0;
        while (k < length && (mask[k] == '?' || at[k] == pattern[k])) ++k;
        if (k == length) return at;
    }
    return nullptr;
}
