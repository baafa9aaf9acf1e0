#include "memory/regions.h"

#include "memory/signature.h"

namespace memory {

RegionSource processRegions() {
    return {[](const void*, const std::uint8_t* address) { return platform::queryRegion(address); }};
}

namespace {

// Only code can hold a function: a copy of a signature in data (a table, a
// string, a packed section) is never the function, and calling it would
// fault. Adjacent executable regions are searched as one run, so a function
// that straddles two protections is still found; any other region splits
// runs. `search` is given each run in address order and answers whether to stop.
template <typename Search>
void eachCodeRun(const std::uint8_t* begin, const std::uint8_t* end, RegionSource regions, Search search) {
    const std::uint8_t* runStart = nullptr;
    const std::uint8_t* cursor = begin;
    while (cursor < end) {
        const platform::Region region = regions.query(regions.context, cursor);
        if (region.end <= cursor) break;  // failed query: read nothing further
        const std::uint8_t* regionEnd = region.end < end ? region.end : end;
        if (region.executable) {
            if (runStart == nullptr) runStart = cursor;
        } else if (runStart != nullptr) {
            if (search(runStart, cursor)) return;
            runStart = nullptr;
        }
        cursor = regionEnd;
    }
    if (runStart != nullptr) search(runStart, cursor);
}

}  // namespace

const std::uint8_t* findInExecutableRegions(const std::uint8_t* begin, const std::uint8_t* end, const char* mask,
                                            const std::uint8_t* pattern, VectorPath path, RegionSource regions) {
    const std::uint8_t* found = nullptr;
    eachCodeRun(begin, end, regions, [&](const std::uint8_t* runBegin, const std::uint8_t* runEnd) {
        found = findInRange(runBegin, runEnd, mask, pattern, path);
        return found != nullptr;
    });
    return found;
}

void findEachInExecutableRegions(const std::uint8_t* begin, const std::uint8_t* end, const Signature* signatures,
                                 std::size_t count, EachMatch* found, VectorPath path, RegionSource regions) {
    eachCodeRun(begin, end, regions, [&](const std::uint8_t* runBegin, const std::uint8_t* runEnd) {
        findEachInRange(runBegin, runEnd, signatures, count, found, path);
        return false;
    });
}

void* findSignature(const char* mask, const std::uint8_t* pattern) {
    const platform::ByteRange range = platform::mainModuleRange();
    if (range.begin == nullptr || range.begin >= range.end) return nullptr;
    return const_cast<std::uint8_t*>(
        memory::findInExecutableRegions(range.begin, range.end, mask, pattern, memory::bestVectorPath()));
}

}  // namespace memory
