#include "module_view.h"

#include <algorithm>
#include <cstring>

namespace sigcheck {

namespace {

// A chain of unwind records longer than this is a loop, or no function.
constexpr int kLongestChain = 32;
// No compiler makes one function this long; a record that claims it is broken.
constexpr std::uint32_t kLongestFunction = 16u << 20;
constexpr std::uint8_t kChainedUnwindInfo = 0x4;

std::uint32_t read32(const std::uint8_t* at) {
    std::uint32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

std::uint16_t read16(const std::uint8_t* at) {
    std::uint16_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

platform::Region regionAt(const void* context, const std::uint8_t* address) {
    const auto& image = *static_cast<const ModuleView*>(context);
    if (address < image.bytes() || address >= image.bytes() + image.size()) return {};
    const Range region = image.regionHolding(static_cast<std::uint32_t>(address - image.bytes()));
    // Every byte of the laid-out image lies in memory the tool may read.
    return {image.bytes() + region.begin, image.bytes() + region.end, image.isCode(region.begin), true};
}

}  // namespace

ModuleView::ModuleView(const SigcheckModule& d)
    : bytes_(d.bytes),
      size_(d.size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(d.size)),
      base_(d.base),
      entryPoint_(d.entryPoint) {
    for (std::uint64_t k = 0; k < d.regionCount; ++k) {
        const std::uint64_t begin = d.bounds[k] < size_ ? d.bounds[k] : size_;
        const std::uint64_t end = d.bounds[k + 1] < size_ ? d.bounds[k + 1] : size_;
        if (end <= begin || (!bounds_.empty() && begin < bounds_.back())) continue;
        if (bounds_.empty() || begin != bounds_.back()) {
            // A gap between the regions given: nothing the plug-in would read.
            if (!bounds_.empty()) kinds_.push_back(RegionKind::other);
            bounds_.push_back(begin);
        }
        bounds_.push_back(end);
        kinds_.push_back(d.kinds[k] <= 2 ? static_cast<RegionKind>(d.kinds[k]) : RegionKind::other);
    }
    if (bounds_.empty()) bounds_.push_back(0);
    for (std::uint64_t k = 0; k < d.importCount; ++k) {
        imports_.push_back({d.importSlots[k], static_cast<int>(k)});
        importNames_.emplace_back(d.importNames[k] != nullptr ? d.importNames[k] : "?");
    }
    std::sort(imports_.begin(), imports_.end());
    readUnwindFunctions(d.pdataRva, d.pdataSize);
    readRelocations(d.relocRva, d.relocSize);
}

std::size_t ModuleView::regionIndex(std::uint32_t rva) const {
    const auto after = std::upper_bound(bounds_.begin(), bounds_.end(), std::uint64_t{rva});
    if (after == bounds_.begin() || after == bounds_.end()) return kNoRegion;
    return static_cast<std::size_t>(after - bounds_.begin() - 1);
}

Range ModuleView::regionHolding(std::uint32_t rva) const {
    const std::size_t k = regionIndex(rva);
    if (k == kNoRegion) return {rva, rva + 1};
    return {static_cast<std::uint32_t>(bounds_[k]), static_cast<std::uint32_t>(bounds_[k + 1])};
}

RegionKind ModuleView::kindAt(std::uint32_t rva) const {
    const std::size_t k = regionIndex(rva);
    return k == kNoRegion ? RegionKind::other : kinds_[k];
}

std::uint32_t ModuleView::codeRunEnd(std::uint32_t rva) const {
    std::size_t k = regionIndex(rva);
    if (k == kNoRegion || kinds_[k] != RegionKind::code) return rva;
    while (k + 1 < kinds_.size() && kinds_[k + 1] == RegionKind::code) ++k;
    return static_cast<std::uint32_t>(bounds_[k + 1]);
}

bool ModuleView::relocated(std::uint32_t rva, std::uint32_t length) const {
    if (length == 0) return false;
    const std::uint64_t last = std::uint64_t{rva} + length - 1;
    auto after = std::upper_bound(relocations_.begin(), relocations_.end(), last,
                                  [](std::uint64_t value, const Range& r) { return value < r.begin; });
    // Slots do not overlap in a sound image; in a broken one, look back a few.
    for (int back = 0; back < 8 && after != relocations_.begin(); ++back) {
        --after;
        if (after->end > rva) return true;
    }
    return false;
}

bool ModuleView::absoluteToRva(std::uint64_t address, std::uint32_t& rva) const {
    if (address < base_ || address - base_ >= size_) return false;
    rva = static_cast<std::uint32_t>(address - base_);
    return true;
}

int ModuleView::importAt(std::uint32_t slot) const {
    const auto at = std::lower_bound(imports_.begin(), imports_.end(), std::make_pair(slot, -1));
    return at != imports_.end() && at->first == slot ? at->second : -1;
}

const Range* ModuleView::unwindFunctionAt(std::uint32_t rva) const {
    const auto at = std::lower_bound(unwindFunctions_.begin(), unwindFunctions_.end(), rva,
                                     [](const Range& r, std::uint32_t value) { return r.begin < value; });
    return at != unwindFunctions_.end() && at->begin == rva ? &*at : nullptr;
}

const Range* ModuleView::unwindFunctionHolding(std::uint32_t rva) const {
    auto after = std::upper_bound(unwindFunctions_.begin(), unwindFunctions_.end(), rva,
                                  [](std::uint32_t value, const Range& r) { return value < r.begin; });
    if (after == unwindFunctions_.begin()) return nullptr;
    --after;
    return rva < after->end ? &*after : nullptr;
}

bool ModuleView::read64(std::uint32_t rva, std::uint64_t& value) const {
    if (!inside(rva, 8)) return false;
    std::memcpy(&value, bytes_ + rva, 8);
    return true;
}

void ModuleView::readUnwindFunctions(std::uint32_t rva, std::uint32_t size) {
    if (!inside(rva, size)) return;
    const std::uint32_t count = size / 12;
    const auto recordAt = [&](std::uint32_t at, Range& range, std::uint32_t& unwind) {
        if (!inside(at, 12)) return false;
        range = {read32(bytes_ + at), read32(bytes_ + at + 4)};
        unwind = read32(bytes_ + at + 8);
        return true;
    };
    for (std::uint32_t i = 0; i < count; ++i) {
        Range range;
        std::uint32_t unwind = 0;
        recordAt(rva + 12 * i, range, unwind);
        bool root = false;
        for (int step = 0; step < kLongestChain; ++step) {
            std::uint32_t parent = 0;
            if (unwind & 1u) {  // the slot names another record instead of unwind data
                parent = unwind - 1;
            } else {
                if (!inside(unwind, 4)) break;
                const std::uint8_t flags = bytes_[unwind] >> 3;
                if ((flags & kChainedUnwindInfo) == 0) {
                    root = true;
                    break;
                }
                const std::uint32_t codes = bytes_[unwind + 2];
                parent = unwind + 4 + 2 * ((codes + 1) & ~1u);
            }
            // A chained record belongs to the function its chain ends at.
            if (!recordAt(parent, range, unwind)) break;
        }
        if (!root || range.end <= range.begin || range.end - range.begin > kLongestFunction) continue;
        if (!isCode(range.begin) || range.end > size_) continue;
        unwindFunctions_.push_back(range);
    }
    std::sort(unwindFunctions_.begin(), unwindFunctions_.end(), [](const Range& a, const Range& b) {
        return a.begin < b.begin || (a.begin == b.begin && a.end > b.end);
    });
    unwindFunctions_.erase(std::unique(unwindFunctions_.begin(), unwindFunctions_.end(),
                                       [](const Range& a, const Range& b) { return a.begin == b.begin; }),
                           unwindFunctions_.end());
}

void ModuleView::readRelocations(std::uint32_t rva, std::uint32_t size) {
    if (!inside(rva, size)) return;
    for (std::uint32_t at = rva; at + 8 <= rva + size;) {
        const std::uint32_t page = read32(bytes_ + at);
        const std::uint32_t blockSize = read32(bytes_ + at + 4);
        if (blockSize < 8 || blockSize > rva + size - at) break;
        for (std::uint32_t e = at + 8; e + 2 <= at + blockSize; e += 2) {
            const std::uint16_t item = read16(bytes_ + e);
            const unsigned type = item >> 12;
            const std::uint32_t length = type == 10 ? 8 : type == 3 ? 4 : 0;  // DIR64, HIGHLOW
            const std::uint64_t slot = std::uint64_t{page} + (item & 0xFFFu);
            if (length == 0 || !inside(slot, length)) continue;  // padding, or past the image
            relocations_.push_back({static_cast<std::uint32_t>(slot), static_cast<std::uint32_t>(slot + length)});
            if (length == 8 && !isCode(static_cast<std::uint32_t>(slot)))
                pointerSlots_.push_back(static_cast<std::uint32_t>(slot));
        }
        at += blockSize;
    }
    std::sort(relocations_.begin(), relocations_.end(),
              [](const Range& a, const Range& b) { return a.begin < b.begin; });
    std::sort(pointerSlots_.begin(), pointerSlots_.end());
    pointerSlots_.erase(std::unique(pointerSlots_.begin(), pointerSlots_.end()), pointerSlots_.end());
}

memory::RegionSource ModuleView::regions() const { return {regionAt, this}; }

std::int64_t ModuleView::findInCode(const char* mask, const std::uint8_t* pattern, std::uint32_t from) const {
    if (from >= size_) return -1;
    const std::uint8_t* found = memory::findInExecutableRegions(bytes_ + from, bytes_ + size_, mask, pattern,
                                                                memory::bestVectorPath(), regions());
    return found == nullptr ? -1 : static_cast<std::int64_t>(found - bytes_);
}

std::vector<std::uint32_t> ModuleView::matchesInCode(const char* mask, const std::uint8_t* pattern,
                                                     std::size_t limit) const {
    std::vector<std::uint32_t> found;
    for (std::int64_t at = findInCode(mask, pattern, 0); at >= 0 && found.size() < limit;
         at = findInCode(mask, pattern, static_cast<std::uint32_t>(at + 1)))
        found.push_back(static_cast<std::uint32_t>(at));  // overlapping starts count
    return found;
}

std::vector<std::uint32_t> ModuleView::nearMisses(const char* mask, const std::uint8_t* pattern, unsigned mismatches,
                                                  std::size_t limit) const {
    std::vector<std::uint32_t> places = nearMissesUpTo(mask, pattern, mismatches, SIZE_MAX);
    if (places.size() > limit) places.resize(limit);
    return places;
}

unsigned ModuleView::nearMissMargin(const char* mask, const std::uint8_t* pattern) const {
    for (unsigned mismatches = 1; mismatches <= 2; ++mismatches)
        if (!nearMissesUpTo(mask, pattern, mismatches, 1).empty()) return mismatches;
    return 3;
}

std::vector<std::uint32_t> ModuleView::nearMissesUpTo(const char* mask, const std::uint8_t* pattern,
                                                      unsigned mismatches, std::size_t stopAfter) const {
    const std::string full(mask);
    std::vector<std::size_t> fixed;
    for (std::size_t k = 0; k < full.size(); ++k) {
        if (full[k] != '?') fixed.push_back(k);
    }
    std::vector<std::uint32_t> places;
    if (mismatches == 0 || fixed.size() <= mismatches) return places;
    // Deal the fixed positions into mismatches + 1 groups: a start with at
    // most that many differing bytes matches one group whole, and the
    // plug-in's own search finds each group's matches at its full speed.
    for (std::size_t group = 0; group <= mismatches; ++group) {
        std::string part(full.size(), '?');
        for (std::size_t i = group; i < fixed.size(); i += mismatches + 1) part[fixed[i]] = 'x';
        for (std::int64_t at = findInCode(part.c_str(), pattern, 0); at >= 0;
             at = findInCode(part.c_str(), pattern, static_cast<std::uint32_t>(at + 1))) {
            unsigned differ = 0;
            for (const std::size_t k : fixed) differ += bytes_[at + static_cast<std::int64_t>(k)] != pattern[k];
            if (differ == mismatches) places.push_back(static_cast<std::uint32_t>(at));
            if (places.size() >= stopAfter) return places;
        }
    }
    std::sort(places.begin(), places.end());
    places.erase(std::unique(places.begin(), places.end()), places.end());
    return places;
}

}  // namespace sigcheck
