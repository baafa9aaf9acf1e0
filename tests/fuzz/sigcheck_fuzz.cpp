// Fuzzes the signature tool's analysis of a game build on arbitrary bytes
// treated as code: decoding, function extents from the exception directory
// and by decoding forward, the functions' features, the pairing of two
// builds, the carrying of a signature and the growth of a new one. Whatever
// the bytes, it must neither crash nor read outside the image (ASan), and
// every new signature, and every signature of a new set, must find the
// function it was made for.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "carry.h"
#include "correspondence.h"
#include "module_view.h"
#include "program.h"
#include "propose.h"

namespace {

std::uint32_t take32(const std::uint8_t* data) {
    std::uint32_t value;
    std::memcpy(&value, data, 4);
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 32) return 0;
    // The first 16 bytes say where the image's tables are; the rest is the
    // image: code first, read-only data after, split where a byte says.
    const std::size_t imageSize = size - 16;
    std::unique_ptr<std::uint8_t[]> image(new std::uint8_t[imageSize]);  // exact size: over-reads are caught
    std::memcpy(image.get(), data + 16, imageSize);
    const std::uint64_t split = imageSize * (1 + data[0] % 7) / 8;
    const std::uint64_t bounds[] = {0, split, imageSize};
    const std::uint8_t kinds[] = {1, 2};
    const auto within = [&](std::uint32_t value) { return value % static_cast<std::uint32_t>(imageSize + 64); };
    const SigcheckModule description{image.get(),
                                     imageSize,
                                     bounds,
                                     kinds,
                                     2,
                                     0x140000000,
                                     within(take32(data + 1)),
                                     within(take32(data + 4)),
                                     take32(data + 8) % 4096,
                                     within(take32(data + 12)),
                                     data[3] * 16u,
                                     nullptr,
                                     nullptr,
                                     0};
    const sigcheck::ModuleView view(description);
    // A signature from the code's first bytes, lengths up to 20, some open.
    const std::size_t length = 1 + data[2] % 20;
    if (length > split) return 0;
    std::string mask(length, 'x');
    for (std::size_t k = 1; k + 1 < length; ++k)
        if ((data[1] >> (k % 8)) & 1) mask[k] = '?';
    std::vector<std::uint8_t> pattern(image.get(), image.get() + length);
    for (std::size_t k = 0; k < length; ++k)
        if (mask[k] == '?') pattern[k] = 0;
    const sigcheck::SetToCarry set{"f", {{memory::SignatureKind::entry, 0, mask, pattern}}};
    sigcheck::Deadline deadline(10);
    const sigcheck::Found found = sigcheck::findInBoth(view, view, set);
    const sigcheck::Program program(view, found.old, deadline);
    const sigcheck::Correspondence pairs(program, program, deadline);
    const sigcheck::Carried carried = sigcheck::carry(program, program, pairs, found, set, deadline);
    if (!carried.answered) return 0;
    const std::uint32_t function = carried.candidates[0].rva;
    if (carried.proposal.found && carried.verdict != sigcheck::Verdict::kept) {
        const auto at = view.matchesInCode(carried.proposal.mask.c_str(), carried.proposal.pattern.data(), 2);
        if (at.size() != 1 || at[0] != function) std::abort();
    }
    // Every signature of a set finds the function alone, by the plug-in's rule.
    const auto proposed = sigcheck::proposeSet(program, carried.oldRva, pairs, program, function, carried.proposal,
                                               {{&view, carried.oldRva}}, deadline);
    for (const sigcheck::Given& given : sigcheck::functionsGiven(view, proposed))
        if (given.functionRva != function) std::abort();
    return 0;
}
