// Page-level tricks the stand-in game plays on its own image: patching a byte
// of code, and taking read access from a page so scans must step around it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

void writeCode(const std::uint8_t* address, std::uint8_t value);

enum class PageAccess { readable, noAccess, guard };
// Changes the protection of the page holding `address`; returns the page start.
const std::uint8_t* setPageAccess(const std::uint8_t* address, PageAccess access);
std::size_t pageSize();

}  // namespace sim
