// The signature search over real memory regions, on the platform's own page
// protections: built for the host build (the /proc/self/maps reading) and for Windows,
// where ctest runs it under Wine (VirtualQuery). A plain program, so that it
// builds with the cross compiler too; exits non-zero on the first failure.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <random>
#include <vector>

#include "memory/game_signatures.h"
#include "memory/regions.h"
#include "memory/signature.h"
#include "pages.h"
#include "reference_search.h"
#include "signature_bytes.h"
#include "sim_memory.h"
#include "vector_paths.h"

#if defined(_WIN32)
#include <windows.h>
#endif

extern "C" std::uint8_t gameSparePages[];     // three pages of the stand-in game's code, which the test writes
extern "C" std::uint8_t gameSpareDataPage[];  // a page of its writable data

namespace {

using Access = sim::PageAccess;
using test::Pages;

// getpropstate's signature with a bound in its wildcard position.
const memory::Signature kSignature = test::entryOf(memory::kGetPropStateSignatures);
const std::vector<std::uint8_t> kFunction = test::functionBytes(kSignature, 0x07);

int failures = 0;

void expect(const char* what, memory::VectorPath path, const void* got, const void* wanted) {
    if (got == wanted) return;
    std::printf("FAILED (%s): %s: found %p, expected %p\n", test::nameOf(path), what, got, wanted);
    ++failures;
}

const std::uint8_t* search(const Pages& pages, memory::VectorPath path) {
    return memory::findInExecutableRegions(pages.page(0), pages.end(), kSignature.mask, kSignature.pattern, path);
}

void regionRules(memory::VectorPath path) {
    {
        Pages pages(3);
        std::memcpy(pages.page(0) + 100, kFunction.data(), kFunction.size());
        std::memcpy(pages.page(2) + 7, kFunction.data(), kFunction.size());
        pages.protect(0, Access::data);
        pages.protect(1, Access::code);
        pages.protect(2, Access::code);
        expect("a data copy below the function is ruled out", path, search(pages, path), pages.page(2) + 7);
    }
    {
        Pages pages(2);
        std::memcpy(pages.page(1) - 3, kFunction.data(), kFunction.size());
        pages.protect(0, Access::code);
        pages.protect(1, Access::writableCode);
        expect("a copy straddling two executable regions is found", path, search(pages, path), pages.page(1) - 3);
    }
    {
        Pages pages(4);
        std::memcpy(pages.page(1) - 3, kFunction.data(), kFunction.size());
        std::memcpy(pages.page(2) - 3, kFunction.data(), kFunction.size());
        std::memcpy(pages.page(3) + 1, kFunction.data(), kFunction.size());
        pages.protect(0, Access::code);
        pages.protect(1, Access::data);
        pages.protect(2, Access::code);
        pages.protect(3, Access::code);
        expect("a data region between two executable ones splits the run", path, search(pages, path),
               pages.page(3) + 1);
        pages.protect(1, Access::noAccess);
        expect("so does a region that cannot be read", path, search(pages, path), pages.page(3) + 1);
        pages.release(1);
        expect("a hole between two executable regions is stepped over", path, search(pages, path), pages.page(3) + 1);
    }
}

// The same rules over pages of the stand-in game's own image, where a
// written code page is copy-on-write: Windows then reports it
// execute-read-write, Wine execute-write-copy, and both are code.
void imagePages(memory::VectorPath path) {
    std::uint8_t* code = gameSparePages;
    const std::size_t size = sim::pageSize();
    const auto find = [&](const std::uint8_t* begin, const std::uint8_t* end) {
        return memory::findInExecutableRegions(begin, end, kSignature.mask, kSignature.pattern, path);
    };
#if defined(_WIN32)
    MEMORY_BASIC_INFORMATION info{};
    VirtualQuery(code, &info, sizeof info);
    if (info.Type != MEM_IMAGE) {
        std::printf("FAILED: the stand-in game's code pages are not image pages\n");
        ++failures;
    }
#endif
    sim::setPageAccess(code + size, Access::writableCode);
    std::memcpy(code + size + 40, kFunction.data(), kFunction.size());
    expect("a written code page of the image is searched", path, find(code, code + 3 * size), code + size + 40);
    sim::setPageAccess(code + size, Access::executeOnly);
    expect("an execute-only page of the image is not read", path, find(code, code + 3 * size), nullptr);
    sim::setPageAccess(code + size, Access::writableCode);
    std::memset(code + size + 40, 0xCC, kFunction.size());
    sim::setPageAccess(code + size, Access::code);

    std::memcpy(gameSpareDataPage + 40, kFunction.data(), kFunction.size());
    expect("a written data page of the image is ruled out", path, find(gameSpareDataPage, gameSpareDataPage + size),
           nullptr);
    std::memset(gameSpareDataPage + 40, 0, kFunction.size());
}

// Large images with a near-miss every few hundred bytes (a copy with one
// fixed byte changed, or a prefix), sometimes a real copy: the search must
// give the reference loop's answer whichever path runs.
void largeImages(memory::VectorPath path) {
    std::mt19937 random(2026);
    const memory::Signature signatures[] = {test::entryOf(memory::kHandleToAddressSignatures),
                                            test::entryOf(memory::kGetPropStateSignatures),
                                            test::entryOf(memory::kSetPropStateSignatures)};
    const std::size_t lengths[] = {std::strlen(signatures[0].mask), std::strlen(signatures[1].mask),
                                   std::strlen(signatures[2].mask)};
    std::vector<std::uint8_t> image(1 << 20);
    for (int round = 0; round < 24; ++round) {
        for (auto& byte : image) byte = static_cast<std::uint8_t>(random() % 7 == 0 ? random() : 0x8B);
        const std::size_t which = static_cast<std::size_t>(round) % 3;
        for (std::size_t at = random() % 300; at + 32 < image.size(); at += 100 + random() % 300) {
            const std::size_t s = random() % 3;
            std::memcpy(image.data() + at, signatures[s].pattern, lengths[s]);
            if (random() % 2 == 0) {
                image[at + random() % lengths[s]] ^= static_cast<std::uint8_t>(1 + random() % 255);
            } else {
                std::memset(image.data() + at + 1 + random() % (lengths[s] - 1), 0x90, 1);
            }
        }
        if (round % 4 != 0) {
            const std::size_t at = random() % (image.size() - 19);
            std::memcpy(image.data() + at, signatures[which].pattern, lengths[which]);
        }
        const std::uint8_t* begin = image.data() + random() % 64;
        const std::uint8_t* end = image.data() + image.size() - random() % 64;
        const auto& s = signatures[which];
        expect("a large image agrees with the reference loop", path,
               memory::findInRange(begin, end, s.mask, s.pattern, path),
               referenceSearch(begin, end, s.mask, s.pattern));
    }
}

}  // namespace

// One vector path per run, named by the argument ("sse2", "avx2" or "avx512"), so that
// ctest reports a path this processor lacks as skipped (77), apart from the others.
int main(int argc, char** argv) {
    const char* const arguments[] = {"sse2", "avx2", "avx512"};  // test::kEveryPath's, in its order
    const memory::VectorPath* path = nullptr;
    for (std::size_t k = 0; k < std::size(arguments); ++k)
        if (argc == 2 && std::strcmp(argv[1], arguments[k]) == 0) path = &test::kEveryPath[k];
    if (path == nullptr) {
        std::printf("usage: region_search_test sse2|avx2|avx512\n");
        return 2;
    }
    if (!test::runsHere(*path)) {
        std::printf("%s: not on this processor, not tested\n", test::nameOf(*path));
        return 77;
    }
    regionRules(*path);
    imagePages(*path);
    largeImages(*path);
    if (failures == 0) std::printf("region search: every rule held on the %s path\n", argv[1]);
    return failures == 0 ? 0 : 1;
}
