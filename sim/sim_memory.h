// Page-level tricks the stand-in game plays on its own image: patching a byte
// of code, turning a page of code into data or taking all access from it, so
// that scans must step around it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

void writeCode(const std::uint8_t* address, std::uint8_t value);

enum class PageAccess { code, writableCode, data, noAccess, guard, executeOnly };
// Changes the protection of the page holding `address`; returns the page start.
const std::uint8_t* setPageAccess(const std::uint8_t* address, PageAccess access);
std::size_t pageSize();

// Copies the first bytes of each of the game's three functions into the page
// holding `address` and leaves that page read-only data: what a scan must
// rule out, since calling into it would fault.
void writeDataCopies(const std::uint8_t* address);

}  // namespace sim
