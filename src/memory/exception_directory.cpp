#include "memory/exception_directory.h"

#include <cstring>

namespace memory {

namespace {

constexpr std::uint32_t kRecordBytes = 12;  // begin, end, unwind information: three RVAs
// A chain longer than this is a loop, or no function.
constexpr int kLongestChain = 32;
constexpr std::uint8_t kChainedUnwindInfo = 0x4;

}  // namespace

ExceptionDirectory::ExceptionDirectory(const std::uint8_t* begin, const std::uint8_t* end, RegionSource regions)
    : begin_(begin),
      size_(begin != nullptr && end > begin ? static_cast<std::uint64_t>(end - begin) : 0),
      regions_(regions) {}

void ExceptionDirectory::load() const {
    if (loaded_) return;
    loaded_ = true;
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
    if (size < kRecordBytes || !readable(rva, size)) return;
    // In order, each record a range inside the image, none overlapping the
    // next: the loader's own lookup is a binary search and relies on it, so
    // a directory that breaks it was not written by a linker, and nothing
    // it says is trusted.
    const std::uint32_t count = size / kRecordBytes;
    std::uint32_t previousEnd = 0;
    for (std::uint32_t k = 0; k < count; ++k) {
        const std::uint64_t record = rva + std::uint64_t{k} * kRecordBytes;
        const std::uint32_t first = read32(record);
        const std::uint32_t last = read32(record + 4);
        if (first >= last || first < previousEnd || last > size_) {
            state_ = DirectorySays::disordered;
            return;
        }
        previousEnd = last;
    }
    records_ = rva;
    count_ = count;
    state_ = DirectorySays::function;
}

DirectorySays ExceptionDirectory::state() const {
    load();
    return state_;
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

std::int64_t ExceptionDirectory::recordHolding(std::uint32_t rva) const {
    // The last record that begins at or below the address; records are in
    // order and apart (load checked), so no other can hold it.
    std::uint32_t low = 0;
    std::uint32_t high = count_;
    while (high - low > 1) {
        const std::uint32_t middle = low + (high - low) / 2;
        (read32(records_ + std::uint64_t{middle} * kRecordBytes) <= rva ? low : high) = middle;
    }
    const std::uint64_t record = records_ + std::uint64_t{low} * kRecordBytes;
    return read32(record) <= rva && rva < read32(record + 4) ? std::int64_t{low} : -1;
}

std::int64_t ExceptionDirectory::recordBeginningAt(std::uint32_t rva) const {
    const std::int64_t k = recordHolding(rva);
    return k >= 0 && read32(records_ + static_cast<std::uint64_t>(k) * kRecordBytes) == rva ? k : -1;
}

std::int64_t ExceptionDirectory::parentOf(std::int64_t k, DirectorySays& says) const {
    const std::uint32_t unwind = read32(records_ + static_cast<std::uint64_t>(k) * kRecordBytes + 8);
    if ((unwind & 1u) != 0) {
        // The slot names another record of the directory instead of unwind information.
        const std::uint64_t parent = unwind - 1u;
        if (parent < records_ || parent >= records_ + std::uint64_t{count_} * kRecordBytes ||
            (parent - records_) % kRecordBytes != 0) {
            says = DirectorySays::brokenChain;
            return -2;
        }
        return static_cast<std::int64_t>((parent - records_) / kRecordBytes);
    }
    if (!readable(unwind, 4)) {
        says = DirectorySays::brokenChain;
        return -2;
    }
    if (((begin_[unwind] >> 3) & kChainedUnwindInfo) == 0) return -1;
    // The parent's record is copied after the unwind codes; it must be one of the directory's.
    const std::uint32_t codes = begin_[unwind + 2];
    const std::uint64_t copy = std::uint64_t{unwind} + 4 + 2 * ((codes + 1) & ~1u);
    if (!readable(copy, kRecordBytes)) {
        says = DirectorySays::brokenChain;
        return -2;
    }
    const std::int64_t parent = recordBeginningAt(read32(copy));
    if (parent < 0) says = DirectorySays::rootNotARecord;
    return parent < 0 ? -2 : parent;
}

Holder ExceptionDirectory::holding(const std::uint8_t* address) const {
    load();
    Holder holder;
    holder.says = state_;
    if (state_ != DirectorySays::function) return holder;
    if (address < begin_ || static_cast<std::uint64_t>(address - begin_) >= size_) {
        holder.says = DirectorySays::noRecord;
        return holder;
    }
    std::int64_t k = recordHolding(static_cast<std::uint32_t>(address - begin_));
    if (k < 0) {
        holder.says = DirectorySays::noRecord;
        return holder;
    }
    holder.record = begin_ + read32(records_ + static_cast<std::uint64_t>(k) * kRecordBytes);
    // Part of a function: its chain leads to the record of the whole.
    for (int step = 0;; ++step) {
        if (step == kLongestChain) {
            holder.says = DirectorySays::brokenChain;
            return holder;
        }
        const std::int64_t parent = parentOf(k, holder.says);
        if (parent == -2) return holder;
        if (parent == -1) break;
        k = parent;
    }
    const std::uint8_t* start = begin_ + read32(records_ + static_cast<std::uint64_t>(k) * kRecordBytes);
    // A function starts in code, or the directory lies.
    if (!regions_.query(regions_.context, start).executable) {
        holder.says = DirectorySays::notCode;
        return holder;
    }
    holder.function = start;
    return holder;
}

bool ExceptionDirectory::canBeginFunction(const std::uint8_t* address, const std::uint8_t** within) const {
    const Holder holder = holding(address);
    // A directory that contradicts itself may hide the record that holds
    // the address: nothing is taken for a function's start then.
    if (holder.says == DirectorySays::disordered) return false;
    if (holder.record == nullptr) return true;  // no record holds it, or there is no directory
    // At a record's start a function begins, unless the record's chain leads
    // to another: then the record is only a part of that one.
    const std::uint8_t* whole = holder.says == DirectorySays::function ? holder.function : holder.record;
    if (holder.record == address && whole == address) return true;
    if (within != nullptr) *within = whole;
    return false;
}

}  // namespace memory
