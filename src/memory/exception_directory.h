// A module's exception directory as the loader mapped it, read from the
// module's own headers: which function holds an address. x64 code keeps an
// entry for every function that is not a leaf, sorted by start; an entry
// for part of a function chains to the entry of its whole. Every read is
// checked against the module's bounds and against memory that may be read:
// a directory that points outside the module, or at what cannot be read,
// has nothing to say.
#pragma once

#include <cstddef>
#include <cstdint>

#include "memory/regions.h"

namespace memory {

class ExceptionDirectory {
public:
    ExceptionDirectory(const std::uint8_t* begin, const std::uint8_t* end, RegionSource regions);

    // The start of the function that holds `address`, in the module's code;
    // null where the directory has nothing to say.
    const std::uint8_t* functionHolding(const std::uint8_t* address) const;

private:
    bool readable(std::uint64_t rva, std::uint64_t length) const;
    std::uint32_t read32(std::uint64_t rva) const;

    const std::uint8_t* begin_;
    std::uint64_t size_;
    RegionSource regions_;
    std::uint32_t entries_ = 0;  // the directory's RVA
    std::uint32_t count_ = 0;
};

}  // namespace memory
