#include <windows.h>

#include "sim_memory.h"

namespace sim {

std::size_t pageSize() {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    return info.dwPageSize;
}

void writeCode(const std::uint8_t* address, std::uint8_t value) {
    auto* target = const_cast<std::uint8_t*>(address);
    DWORD old = 0;
    VirtualProtect(target, 1, PAGE_EXECUTE_READWRITE, &old);
    *target = value;
    VirtualProtect(target, 1, old, &old);
    FlushInstructionCache(GetCurrentProcess(), target, 1);
}

const std::uint8_t* setPageAccess(const std::uint8_t* address, PageAccess access) {
    const auto size = pageSize();
    auto* page = reinterpret_cast<std::uint8_t*>(reinterpret_cast<std::uintptr_t>(address) & ~(size - 1));
    DWORD protect = PAGE_EXECUTE_READ;
    if (access == PageAccess::data) protect = PAGE_READONLY;
    if (access == PageAccess::noAccess) protect = PAGE_NOACCESS;
    if (access == PageAccess::guard) protect = PAGE_EXECUTE_READ | PAGE_GUARD;
    if (access == PageAccess::writableCode) protect = PAGE_EXECUTE_READWRITE;
    if (access == PageAccess::executeOnly) protect = PAGE_EXECUTE;
    DWORD old = 0;
    VirtualProtect(page, size, protect, &old);
    return page;
}

}  // namespace sim
