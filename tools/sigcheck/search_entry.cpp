// The signature check's way into the plug-in's own search: a game file laid
// out as the loader lays it, its sections standing in for the page queries.
// Called from nozzles-sigcheck (Python) through ctypes; offsets throughout
// are from the image's first byte, that is, RVAs.
#include <cstdint>
#include <vector>

#include "memory/code_bytes.h"
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

// Starts in code at which exactly `mismatches` fixed bytes differ, lowest
// first, up to `limit` of them; returns how many it wrote to `found`.
std::uint64_t sigcheckNearMisses(const std::uint8_t* image, const std::uint64_t* bounds,
                                 const std::uint8_t* executable, std::uint64_t count, const char* mask,
                                 const std::uint8_t* pattern, unsigned mismatches, std::uint64_t* found,
                                 std::uint64_t limit) {
    std::vector<std::uint64_t> fixed;
    for (std::uint64_t k = 0; mask[k] != '\0'; ++k) {
        if (mask[k] != '?') fixed.push_back(k);
    }
    std::uint64_t length = 0;
    while (mask[length] != '\0') ++length;
    // Of any mismatches + 1 fixed positions one must match: filter on the
    // rarest of them in code, so that most starts cost a few compares.
    std::vector<std::uint64_t> filter = fixed;
    for (std::uint64_t i = 0; i < filter.size(); ++i) {
        for (std::uint64_t j = i + 1; j < filter.size(); ++j) {
            if (memory::kCodeByteFrequency[pattern[filter[j]]] < memory::kCodeByteFrequency[pattern[filter[i]]])
                std::swap(filter[i], filter[j]);
        }
    }
    const bool filtered = filter.size() > mismatches;
    filter.resize(filtered ? mismatches + 1 : 0);

    std::uint64_t written = 0;
    for (std::uint64_t region = 0; region < count && written < limit;) {
        if (executable[region] == 0) {
            ++region;
            continue;
        }
        std::uint64_t runEnd = region;  // adjacent code regions are one run
        while (runEnd < count && executable[runEnd] != 0) ++runEnd;
        const std::uint64_t runBegin = bounds[region];
        const std::uint64_t last = bounds[runEnd];
        for (std::uint64_t at = runBegin; at + length <= last && written < limit; ++at) {
            const std::uint8_t* start = image + at;
            if (filtered) {
                bool any = false;
                for (const std::uint64_t k : filter) any |= start[k] == pattern[k];
                if (!any) continue;
            }
            unsigned differ = 0;
            for (const std::uint64_t k : fixed) {
                differ += start[k] != pattern[k];
                if (differ > mismatches) break;
            }
            if (differ == mismatches) found[written++] = at;
        }
        region = runEnd;
    }
    return written;
}
}
