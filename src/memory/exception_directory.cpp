#include "memory/exception_directory.h"

#include <cstring>

namespace memory {

namespace {

constexpr std::uint32_t kEntryBytes = 12;  // begin, end, unwind information: three RVAs
// A chain longer than this is a loop, or no function.
constexpr int kLongestChain = 32;
constexpr std::uint8_t kChainedUnwindInfo = 0x4;

}  // namespace

ExceptionDirectory::ExceptionDirectory(const std::uint8_t* begin, const std::uint8_t* end, RegionSource regions)
    : begin_(begin),
      size_(begin != nullptr && end > begin ? static_cast<std::uint64_t>(end - begin) : 0),
      regions_(regions) {
    // The DOS header names the PE headers; the optional header's fourth data
    // directory is the exception directory.
    if (!readable(0, 0x40) || begin_[0] != 'M' || begin_[1] != 'Z') return;
    const std::uint32_t pe = read32(0x3C);
    constexpr std::uint32_t kOptional = 24;      // after the signature and the file header
    constexpr std::uint32_t kDirectories = 112;  // in a PE32+ optional header
    constexpr std::uint32_t kExceptionDirectory = 3 * 8;
    if (!readable(pe, kOptional + kDirectories + kExceptionDirectory + 8)) return;
    std::uint16_t magic = 0;
    std::uint16_t optionalSize = 0;
    std::memcpy(&optionalSize, begin_ + pe + 20, 2);
    std::memcpy(&magic, begin_ + pe + kOptional, 2);
    const std::uint32_t directories = read32(pe + kOptional + kDirectories - 4);  // NumberOfRvaAndSizes
    if (read32(pe) != 0x00004550 || magic != 0x20B || directories < 4 ||
        optionalSize < kDirectories + kExceptionDirectory + 8)
        return;
    const std::uint32_t rva = read32(pe + kOptional + kDirectories + kExceptionDirectory);
    const std::uint32_t size = read32(pe + kOptional + kDirectories + kExceptionDirectory + 4);
    if (size < kEntryBytes || !readable(rva, size)) return;
    entries_ = rva;
    count_ = size / kEntryBytes;
}

bool ExceptionDirectory::readable(std::uint64_t rva, std::uint64_t length) const {
    if (rva > size_ || length > size_ - rva) return false;
    // Each region the bytes lie in must be one the process may read.
    const std::uint8_t* at = begin_ + rva;
    const std::uint8_t* last = at + length;
    while (at < last) {
        const platform::Region region = regions_.query(regions_.context, at);
        if (!region.readable || region.end <= at) return false;
        at = region.end;
    }
    return true;
}

std::uint32_t ExceptionDirectory::read32(std::uint64_t rva) const {
    std::uint32_t value;
    std::memcpy(&value, begin_ + rva, 4);
    return value;
}

const std::uint8_t* ExceptionDirectory::functionHolding(const std::uint8_t* address) const {
    if (count_ == 0 || address < begin_ || static_cast<std::uint64_t>(address - begin_) >= size_) return nullptr;
    const auto rva = static_cast<std::uint32_t>(address - begin_);
    // The last entry that begins at or below the address; a directory out of
    // order may hide the one that holds it, and then says nothing.
    std::uint32_t low = 0;
    std::uint32_t high = count_;
    while (high - low > 1) {
        const std::uint32_t middle = low + (high - low) / 2;
        (read32(entries_ + std::uint64_t{middle} * kEntryBytes) <= rva ? low : high) = middle;
    }
    std::uint64_t entry = entries_ + std::uint64_t{low} * kEntryBytes;
    if (read32(entry) > rva || rva >= read32(entry + 4)) return nullptr;
    // Part of a function: its chain leads to the entry of the whole.
    for (int step = 0;; ++step) {
        if (step == kLongestChain) return nullptr;
        const std::uint32_t unwind = read32(entry + 8);
        std::uint64_t parent = 0;
        if ((unwind & 1u) != 0) {  // the slot names another entry instead of unwind information
            parent = unwind - 1u;
        } else {
            if (!readable(unwind, 4)) return nullptr;
            if (((begin_[unwind] >> 3) & kChainedUnwindInfo) == 0) break;
            const std::uint32_t codes = begin_[unwind + 2];
            parent = std::uint64_t{unwind} + 4 + 2 * ((codes + 1) & ~1u);
        }
        if (!readable(parent, kEntryBytes)) return nullptr;
        entry = parent;
    }
    const std::uint32_t start = read32(entry);
    if (start >= size_) return nullptr;
    // A function starts in code, or the directory lies.
    const platform::Region region = regions_.query(regions_.context, begin_ + start);
    return region.executable ? begin_ + start : nullptr;
}

}  // namespace memory
