// A new signature for a function found in the new build: its first whole
// instructions, with the bytes that move with the layout always open and the
// struct displacements, frame sizes and small immediates open only where the
// two builds disagree on them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "program.h"

namespace sigcheck {

inline constexpr std::size_t kFewestFixedBytes = 8;
inline constexpr std::size_t kLongestSignature = 64;

struct Proposal {
    bool found = false;
    std::string mask;
    std::vector<std::uint8_t> pattern;
    bool survives = false;  // it matches the old function alone in the old build too
    unsigned margin = 0;    // the fewest fixed bytes that differ at any other start in the new build (3: three or more)
    std::size_t fixed = 0;
    std::size_t tried = 0;  // prefixes of whole instructions looked at
};

// What each byte of the new function's first instructions may be in a
// signature: fixed ('x') or open ('?'), as the rules above decide with the
// old function's instructions beside them.
std::string openBytes(const ModuleView& neu, const std::vector<Instruction>& newCode,
                      const std::vector<Instruction>& oldCode);

// The preferred acceptable signature for the function at `start` in the new
// build, against the old function at `oldStart`: it matches once in the new
// build's code, there; among those, one that also matches the old function
// alone in the old build, then one with the larger margin to its nearest
// near-miss, then the shorter.
Proposal propose(const Program& old, std::uint32_t oldStart, const Program& neu, std::uint32_t start,
                 Deadline& deadline);

// A signature for the function at `start` as a maintainer makes one by hand,
// without an older build: its first whole instructions, call and jump
// targets and instruction-relative displacements open, grown until it
// matches there alone in this build's code; not found when none of up to
// kLongestSignature bytes does. The benchmark's signatures, for builds whose
// functions are known.
Proposal handMadeSignature(const ModuleView& view, std::uint32_t start);

// "48 8B ?? 57": the form disassemblers print and the plug-in's header holds.
std::string signatureText(const std::string& mask, const std::vector<std::uint8_t>& pattern);

}  // namespace sigcheck
