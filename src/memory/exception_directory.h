// A module's exception directory as the loader mapped it, read from the
// module's own headers: which function holds an address, and whether an
// address can begin a function at all. x64 code keeps a record for every
// function that is not a leaf, sorted by start and never overlapping; a
// record for part of a function chains to the record of its whole.
//
// A game's tables are not always honest (a protector may rewrite them), so
// the directory fails closed: one whose records are out of order, overlap
// or lie outside the image names no function and lets no address begin
// one, and a chain that leaves the directory, loops, or ends where no
// record begins gives no function. Every read is checked against the
// module's bounds and against memory that may be read. Nothing is read
// until the first question, so a search that has no match to judge never
// touches the headers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "memory/regions.h"

namespace memory {

// What the directory says of an address.
enum class DirectorySays : std::uint8_t {
    function,        // one record holds it, and its chain ends at the start of a function in code
    noDirectory,     // the module has none, or none that may be read whole
    disordered,      // its records are out of order, overlap or lie outside the image: it says nothing
    noRecord,        // no record holds the address (a leaf function, or no function)
    brokenChain,     // the chain leaves the directory, loops, or runs past its bound
    rootNotARecord,  // the chain names a start where no record begins
    notCode,         // the function it names begins outside code
};

struct Holder {
    DirectorySays says = DirectorySays::noDirectory;
    const std::uint8_t* record = nullptr;    // where the record holding the address begins
    const std::uint8_t* function = nullptr;  // DirectorySays::function: where the whole function begins
};

class ExceptionDirectory {
public:
    ExceptionDirectory(const std::uint8_t* begin, const std::uint8_t* end, RegionSource regions);

    // The function that holds `address`, by its record's chain to the root.
    Holder holding(const std::uint8_t* address) const;

    // False when the address lies strictly inside a function the directory
    // knows: inside a record's range but not at its start, or at the start
    // of a record whose chain leads to another function's; and false
    // everywhere in a directory whose records are out of order, overlap or
    // lie outside the image. A module without a directory that may be read
    // judges nothing: every address may begin a function there. `within`,
    // when false inside a function, is where that function (or, with a
    // broken chain, the record) begins.
    bool canBeginFunction(const std::uint8_t* address, const std::uint8_t** within = nullptr) const;

    // Whether the directory could be read and is in order (reads it first).
    DirectorySays state() const;

private:
    void load() const;
    bool readable(std::uint64_t rva, std::uint64_t length) const;
    std::uint32_t read32(std::uint64_t rva) const;
    // The index of the record that holds rva, or of the one that begins at it; -1 for none.
    std::int64_t recordHolding(std::uint32_t rva) const;
    std::int64_t recordBeginningAt(std::uint32_t rva) const;
    // The index of the record a record's unwind information chains to; -1
    // when it is a root, -2 when the chain cannot be followed (with `says`).
    std::int64_t parentOf(std::int64_t record, DirectorySays& says) const;

    const std::uint8_t* begin_;
    std::uint64_t size_;
    RegionSource regions_;
    mutable bool loaded_ = false;
    mutable DirectorySays state_ = DirectorySays::noDirectory;
    mutable std::uint32_t records_ = 0;  // the directory's RVA
    mutable std::uint32_t count_ = 0;
};

}  // namespace memory
