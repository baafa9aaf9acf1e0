#include "baseline_scan.h"

#include <cstring>

const std::uint8_t* baselineScan(const std::uint8_t* begin, const std::uint8_t* end, const char* mask,
                                 const std::uint8_t* pattern) {
    const std::size_t length = std::strlen(mask);
    std::size_t k = 0;
    for (const std::uint8_t* p = begin; p < end; ++p) {
        if (*p == pattern[k] || mask[k] == '?') {
            if (mask[k + 1] == '\0') return p - (length - 1);
            ++k;
        } else {
            k = 0;
        }
    }
    return nullptr;
}
