#include <sys/mman.h>
#include <unistd.h>

#include "sim_memory.h"

namespace sim {

std::size_t pageSize() { return static_cast<std::size_t>(sysconf(_SC_PAGESIZE)); }

void writeCode(const std::uint8_t* address, std::uint8_t value) {
    const auto size = pageSize();
    auto* page = reinterpret_cast<std::uint8_t*>(reinterpret_cast<std::uintptr_t>(address) & ~(size - 1));
    mprotect(page, size, PROT_READ | PROT_WRITE | PROT_EXEC);
    *const_cast<std::uint8_t*>(address) = value;
    mprotect(page, size, PROT_READ | PROT_EXEC);
}

const std::uint8_t* setPageAccess(const std::uint8_t* address, PageAccess access) {
    const auto size = pageSize();
    auto* page = reinterpret_cast<std::uint8_t*>(reinterpret_cast<std::uintptr_t>(address) & ~(size - 1));
    int protection = PROT_NONE;
    if (access == PageAccess::code) protection = PROT_READ | PROT_EXEC;
    if (access == PageAccess::data) protection = PROT_READ;
    if (access == PageAccess::writableCode) protection = PROT_READ | PROT_WRITE | PROT_EXEC;
    if (access == PageAccess::executeOnly) protection = PROT_EXEC;
    mprotect(page, size, protection);
    return page;
}

}  // namespace sim
