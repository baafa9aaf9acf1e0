// The signature check's way into the plug-in's own search: a game file laid
// out as the loader lays it, its sections standing in for the page queries.
// Called from nozzles-sigcheck (Python) through ctypes; offsets throughout
// are from the image's first byte, that is, RVAs.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "memory/game_signatures.h"
#include "memory/signature.h"

namespace {

struct Layout {
    const std::uint8_t* image;
    const std::uint64_t* bounds;  // region k is [bounds[k], bounds[k + 1])
    const std::uint8_t* executable;
    std::uint64_t count;
};

platform::Region regionAt(const void* context, const std::uint8_t* address) {
    const auto& layout = *static_cast<const Layout*>(context);
    const auto offset = static_cast<std::uint64_t>(address - layout.image);
    std::uint64_t low = 0;
    std::uint64_t high = layout.count;
    while (high - low > 1) {  // the last region starting at or below the offset
        const std::uint64_t middle = low + (high - low) / 2;
        (layout.bounds[middle] <= offset ? low : high) = middle;
    }
    if (offset < layout.bounds[low] || offset >= layout.bounds[low + 1]) return {};
    return {layout.image + layout.bounds[low], layout.image + layout.bounds[low + 1], layout.executable[low] != 0};
}

std::int64_t offsetOf(const std::uint8_t* found, const std::uint8_t* image) {
    return found == nullptr ? -1 : static_cast<std::int64_t>(found - image);
}

}  // namespace

extern "C" {

// The plug-in's signatures, by index: false past the last.
bool sigcheckSignature(unsigned index, const char** name, const char** mask, const std::uint8_t** pattern) {
    static const struct {
        const char* name;
        const memory::Signature& signature;
    } signatures[] = {{"handleToAddress", memory::kHandleToAddressSignature},
                      {"getpropstate", memory::kGetPropStateSignature},
                      {"setpropstate", memory::kSetPropStateSignature}};
    if (index >= sizeof signatures / sizeof signatures[0]) return false;
    *name = signatures[index].name;
    *mask = signatures[index].signature.mask;
    *pattern = signatures[index].signature.pattern;
    return true;
}

// The lowest match at or above `from` that lies wholly in code, as the
// plug-in finds it in the game; -1 for none.
std::int64_t sigcheckFindInCode(const std::uint8_t* image, const std::uint64_t* bounds, const std::uint8_t* executable,
                                std::uint64_t count, const char* mask, const std::uint8_t* pattern,
                                std::uint64_t from) {
    const Layout layout{image, bounds, executable, count};
    const std::uint8_t* end = image + bounds[count];
    if (from >= bounds[count]) return -1;
    return offsetOf(memory::findInExecutableRegions(image + from, end, mask, pattern, memory::bestVectorPath(),
                                                    {regionAt, &layout}),
                    image);
}

// The lowest match at or above `from` anywhere in the image; -1 for none.
std::int64_t sigcheckFindAnywhere(const std::uint8_t* image, std::uint64_t size, const char* mask,
                                  const std::uint8_t* pattern, std::uint64_t from) {
    if (from >= size) return -1;
    return offsetOf(memory::findInRange(image + from, image + size, mask, pattern, memory::bestVectorPath()), image);
}

// Starts in code at which exactly `mismatches` fixed bytes differ (one or
// two), lowest first, up to `limit` of them; returns how many it wrote.
std::uint64_t sigcheckNearMisses(const std::uint8_t* image, const std::uint64_t* bounds, const std::uint8_t* executable,
                                 std::uint64_t count, const char* mask, const std::uint8_t* pattern,
                                 unsigned mismatches, std::uint64_t* found, std::uint64_t limit) {
    const Layout layout{image, bounds, executable, count};
    const std::uint8_t* end = image + bounds[count];
    const std::string full(mask);
    std::vector<std::size_t> fixed;
    for (std::size_t k = 0; k < full.size(); ++k) {
        if (full[k] != '?') fixed.push_back(k);
    }
    if (mismatches == 0 || fixed.size() <= mismatches) return 0;
    // Deal the fixed positions into mismatches + 1 groups: a start with at
    // most that many differing bytes matches one group whole, and the
    // plug-in's own search finds each group's matches at its full speed.
    std::vector<std::uint64_t> places;
    for (std::size_t group = 0; group <= mismatches; ++group) {
        std::string part(full.size(), '?');
        for (std::size_t i = group; i < fixed.size(); i += mismatches + 1) part[fixed[i]] = 'x';
        for (const std::uint8_t* at = image; at < end;) {
            const std::uint8_t* hit = memory::findInExecutableRegions(at, end, part.c_str(), pattern,
                                                                      memory::bestVectorPath(), {regionAt, &layout});
            if (hit == nullptr) break;
            unsigned differ = 0;
            for (const std::size_t k : fixed) differ += hit[k] != pattern[k];
            if (differ == mismatches) places.push_back(static_cast<std::uint64_t>(hit - image));
            at = hit + 1;
        }
    }
    std::sort(places.begin(), places.end());
    places.erase(std::unique(places.begin(), places.end()), places.end());
    const std::uint64_t written = places.size() < limit ? places.size() : limit;
    std::copy(places.begin(), places.begin() + static_cast<std::ptrdiff_t>(written), found);
    return written;
}
}
