// Fuzzes the signature scanner, on both vector paths, against the plain reference on
// random buffers, masks and patterns, one signature and a set of them in one
// pass; the buffer is an exact-size heap copy, so any read past its end is caught.
// Then the bytes as a module, headers and exception directory included, and
// a set resolved in it by the plug-in's rule: the same on both paths, and no
// read outside the module whatever its headers say.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "memory/function_set.h"
#include "memory/signature.h"
#include "reference_search.h"
#include "vector_paths.h"

namespace {

// The module's first 1 KiB is its headers, readable; the rest is code.
struct FuzzedModule {
    const std::uint8_t* begin;
    const std::uint8_t* end;
    static platform::Region query(const void* context, const std::uint8_t* address) {
        const auto& m = *static_cast<const FuzzedModule*>(context);
        if (address < m.begin || address >= m.end) return {};
        const std::uint8_t* headersEnd = m.end - m.begin > 1024 ? m.begin + 1024 : m.end;
        if (address < headersEnd) return {m.begin, headersEnd, false, true};
        return {headersEnd, m.end, true, true};
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    // Every length the signature tool may propose (up to 64 bytes) and beyond.
    const std::size_t length = 1 + data[0] % 80;
    if (size < 2 + 2 * length) return 0;
    std::string mask(length, 'x');
    std::uint8_t pattern[80] = {};
    for (std::size_t k = 0; k < length; ++k) {
        // Low bit of the mask byte: wildcard; the pattern byte is taken from
        // a small alphabet half the time, so that matches are common.
        const std::uint8_t control = data[2 + k];
        if (control & 1u) mask[k] = '?';
        pattern[k] = (control & 2u) ? static_cast<std::uint8_t>(control >> 6) : data[2 + length + k];
    }
    // The rest, repeated up to 12 times, so that ranges long enough for the
    // search to take dense candidates in bulk come up too.
    const std::size_t tile = size - 2 - 2 * length;
    if (tile == 0) return 0;
    const std::size_t bufferSize = tile * (1 + data[1] % 12u);
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[bufferSize]);
    const std::uint8_t* bytes = data + 2 + 2 * length;
    for (std::size_t i = 0; i < bufferSize; ++i) {
        const std::uint8_t byte = bytes[i % tile];
        buffer[i] = byte < 64 ? byte % 4 : byte;
    }
    const auto* begin = buffer.get();
    const auto* end = begin + bufferSize;
    const std::uint8_t* expected = referenceSearch(begin, end, mask.c_str(), pattern);
    for (const auto path : test::kEveryPath)
        if (memory::findInRange(begin, end, mask.c_str(), pattern, path) != expected) std::abort();

    // A set: the signature and up to eight of its tails, all in one pass.
    const std::size_t count = 1 + (data[1] >> 4) % 9 < length ? 1 + (data[1] >> 4) % 9 : length;
    memory::Signature set[9];
    for (std::size_t s = 0; s < count; ++s) set[s] = {mask.c_str() + s, pattern + s};
    for (const auto path : test::kEveryPath) {
        memory::EachMatch found[9] = {};
        memory::findEachInRange(begin, end, set, count, found, path);
        for (std::size_t s = 0; s < count; ++s) {
            const std::uint8_t* first = referenceSearch(begin, end, set[s].mask, set[s].pattern);
            const std::uint8_t* second = first ? referenceSearch(first + 1, end, set[s].mask, set[s].pattern) : nullptr;
            if (found[s].first != first || found[s].count != (first == nullptr ? 0 : second == nullptr ? 1 : 2))
                std::abort();
        }
    }

    // The tile as it came, as a module: an entry signature and inside signatures of its tails.
    if (length > memory::kLongestSignature) return 0;
    std::unique_ptr<std::uint8_t[]> image(new std::uint8_t[tile]);
    std::memcpy(image.get(), bytes, tile);
    const FuzzedModule module{image.get(), image.get() + tile};
    const memory::ModuleAccess access{module.begin, module.end, {FuzzedModule::query, &module}};
    memory::SignatureSet kinds;
    for (std::size_t s = 0; s < count && s < memory::kMostSignaturesInSet; ++s) {
        memory::SetSignature& signature = kinds.items[kinds.count++];
        signature.kind = s == 0 ? memory::SignatureKind::entry : memory::SignatureKind::inside;
        std::memcpy(signature.mask, set[s].mask, std::strlen(set[s].mask));
        std::memcpy(signature.pattern, set[s].pattern, std::strlen(set[s].mask));
    }
    const memory::SetFinding sse2 = memory::resolveSet(kinds, access, memory::VectorPath::sse2);
    for (const auto path : {memory::VectorPath::avx2, memory::VectorPath::avx512}) {
        const memory::SetFinding wider = memory::resolveSet(kinds, access, path);
        if (sse2.address != wider.address || sse2.votes != wider.votes || sse2.tie != wider.tie) std::abort();
    }
    bool given = sse2.address == nullptr;
    for (std::size_t s = 0; s < kinds.count; ++s) given = given || sse2.gives[s].address == sse2.address;
    if (!given) std::abort();
    return 0;
}
