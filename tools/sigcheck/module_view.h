// One module of a game build as the analysis sees it: its bytes laid out as
// the loader lays them (offsets are RVAs), what each region holds, the
// plug-in's own search over its code, and two tables the PE format keeps
// beside the code, read here: the exception directory's functions and the
// base relocations. Both are arrays of fixed-size records, a game's with
// hundreds of thousands of records, so they are read in C++ with every bound
// checked. The headers, the sections and the import table are read by
// pefile on the Python side (sigcheck/layout.py) and handed over in a
// SigcheckModule.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "memory/regions.h"
#include "sigcheck_api.h"

namespace sigcheck {

enum class RegionKind : std::uint8_t {
    other = SIGCHECK_REGION_OTHER,
    code = SIGCHECK_REGION_CODE,
    readOnly = SIGCHECK_REGION_READ_ONLY
};

struct Range {
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
};

class ModuleView {
public:
    explicit ModuleView(const SigcheckModule& description);

    const std::uint8_t* bytes() const { return bytes_; }
    std::uint32_t size() const { return size_; }
    std::uint64_t base() const { return base_; }
    std::uint32_t entryPoint() const { return entryPoint_; }

    RegionKind kindAt(std::uint32_t rva) const;
    // The region given for rva, or the byte alone outside every region.
    Range regionHolding(std::uint32_t rva) const;
    // The end of the run of code regions holding rva (adjacent ones are one
    // run, as the plug-in searches them), or rva itself when it is not code.
    std::uint32_t codeRunEnd(std::uint32_t rva) const;
    bool isCode(std::uint32_t rva) const { return kindAt(rva) == RegionKind::code; }
    // Any byte of [rva, rva + length) rewritten by a base relocation.
    bool relocated(std::uint32_t rva, std::uint32_t length) const;
    // The RVA an absolute address points at, when it points into the image.
    bool absoluteToRva(std::uint64_t address, std::uint32_t& rva) const;
    // The import a slot holds, or -1.
    int importAt(std::uint32_t slot) const;
    const std::string& importName(int index) const { return importNames_[static_cast<std::size_t>(index)]; }

    // The exception directory's functions, chained records followed back to
    // the record that starts their function; sorted, one per start.
    const std::vector<Range>& unwindFunctions() const { return unwindFunctions_; }
    // The function of the exception directory that starts at rva, if any.
    const Range* unwindFunctionAt(std::uint32_t rva) const;
    // The one that holds rva, if any.
    const Range* unwindFunctionHolding(std::uint32_t rva) const;
    // 64-bit pointers the relocations cover, as RVAs of where they stand.
    const std::vector<std::uint32_t>& pointerSlots() const { return pointerSlots_; }
    bool read64(std::uint32_t rva, std::uint64_t& value) const;

    // The plug-in's own search over this image's code: matches that lie
    // wholly in code, lowest first, from `from` on; -1 for none.
    std::int64_t findInCode(const char* mask, const std::uint8_t* pattern, std::uint32_t from) const;
    // Every match in code, up to `limit` of them.
    std::vector<std::uint32_t> matchesInCode(const char* mask, const std::uint8_t* pattern, std::size_t limit) const;
    // Starts in code at which exactly `mismatches` fixed bytes differ, lowest
    // first, up to `limit`.
    std::vector<std::uint32_t> nearMisses(const char* mask, const std::uint8_t* pattern, unsigned mismatches,
                                          std::size_t limit) const;
    // The fewest fixed bytes that differ at any start in code where they do
    // differ: 1, 2, or 3 for three or more. Each search stops at its first find.
    unsigned nearMissMargin(const char* mask, const std::uint8_t* pattern) const;
    memory::RegionSource regions() const;

private:
    void readUnwindFunctions(std::uint32_t rva, std::uint32_t size);
    void readRelocations(std::uint32_t rva, std::uint32_t size);
    std::vector<std::uint32_t> nearMissesUpTo(const char* mask, const std::uint8_t* pattern, unsigned mismatches,
                                              std::size_t stopAfter) const;
    bool inside(std::uint64_t rva, std::uint64_t length) const { return rva <= size_ && length <= size_ - rva; }
    // The region holding rva, kNoRegion outside them all.
    static constexpr std::size_t kNoRegion = SIZE_MAX;
    std::size_t regionIndex(std::uint32_t rva) const;

    const std::uint8_t* bytes_;
    std::uint32_t size_;
    std::uint64_t base_;
    std::uint32_t entryPoint_;
    std::vector<std::uint64_t> bounds_;
    std::vector<RegionKind> kinds_;
    std::vector<Range> unwindFunctions_;
    std::vector<Range> relocations_;  // sorted, each one slot's bytes
    std::vector<std::uint32_t> pointerSlots_;
    std::vector<std::pair<std::uint32_t, int>> imports_;  // (slot, import), sorted
    std::vector<std::string> importNames_;
};

}  // namespace sigcheck
