// Whole pages for tests that need page protections: the region test's
// executable and data regions, the scanner's buffer that ends at a page no one
// may read. The host build maps them, the Windows build allocates them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "sim_memory.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#endif

namespace test {

// Pages of one mapping, filled with int3 while writable, then protected page by page.
class Pages {
public:
    explicit Pages(std::size_t count) : count_(count), size_(sim::pageSize()) {
#if defined(_WIN32)
        base_ = static_cast<std::uint8_t*>(
            VirtualAlloc(nullptr, count * size_, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
#else
        base_ = static_cast<std::uint8_t*>(
            mmap(nullptr, count * size_, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
#endif
        std::memset(base_, 0xCC, count * size_);
    }
    ~Pages() {
#if defined(_WIN32)
        VirtualFree(base_, 0, MEM_RELEASE);
#else
        munmap(base_, count_ * size_);
#endif
    }
    Pages(const Pages&) = delete;
    Pages& operator=(const Pages&) = delete;

    std::size_t count() const { return count_; }
    std::uint8_t* page(std::size_t index) const { return base_ + index * size_; }
    std::uint8_t* end() const { return page(count_); }
    void protect(std::size_t index, sim::PageAccess access) const { sim::setPageAccess(page(index), access); }
    // Leaves a hole: no memory at all behind the page any more.
    void release(std::size_t index) const {
#if defined(_WIN32)
        VirtualFree(page(index), size_, MEM_DECOMMIT);
#else
        munmap(page(index), size_);
#endif
    }

private:
    std::size_t count_;
    std::size_t size_;
    std::uint8_t* base_ = nullptr;
};

// Bytes that end right before a page no one may read, so that any read past
// the end of the range faults instead of passing unnoticed.
class GuardedBuffer {
public:
    explicit GuardedBuffer(std::size_t size)
        : pages_((size + sim::pageSize() - 1) / sim::pageSize() + (size == 0 ? 2 : 1)), size_(size) {
        pages_.protect(pages_.count() - 1, sim::PageAccess::noAccess);
        std::memset(pages_.page(0), 0x90, static_cast<std::size_t>(end() - pages_.page(0)));
    }

    std::uint8_t* begin() const { return end() - size_; }
    std::uint8_t* end() const { return pages_.page(pages_.count() - 1); }
    std::size_t size() const { return size_; }

private:
    Pages pages_;
    std::size_t size_;
};

}  // namespace test
