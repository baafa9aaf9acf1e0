// The few operating-system calls the plug-in makes. Windows implements them in
// platform_windows.cpp; platform_posix.cpp stands in on Linux so the same
// sources build and run on Linux for tests, sanitizers and benchmarks.
#pragma once

#include <cstdint>
#include <cstdio>

namespace platform {

// Milliseconds since an arbitrary start, 64 bits, never wrapping in practice.
std::uint64_t tickCount();

// Whether the processor runs AVX2 and the system saves its registers.
bool processorHasAvx2();
// Whether it runs AVX-512 with byte permutes (BW and VBMI), the system saving its registers.
bool processorHasAvx512();
// Whether it has SSSE3's byte shuffles (every x86-64 processor since 2011 has).
bool processorHasSsse3();

struct ByteRange {
    const std::uint8_t* begin = nullptr;
    const std::uint8_t* end = nullptr;
};

// The process's main module as mapped; empty when the query fails.
ByteRange mainModuleRange();

struct Region {
    const std::uint8_t* begin = nullptr;  // start of the region holding the queried address
    const std::uint8_t* end = nullptr;    // first byte past it
    bool executable = false;              // committed code: execute-read, -read-write or -write-copy, no guard
    bool readable = false;                // committed, readable, no guard: code or data
};

// The region of like pages that holds `address`; where no memory lies, the
// free region up to the next allocation, not executable. A failed query gives
// an empty region, which the caller treats as the end of what it may read.
Region queryRegion(const std::uint8_t* address);

// Opens a file for reading in binary mode while letting other programs read
// and write it meanwhile; null when it cannot be opened.
std::FILE* openSharedForReading(const char* path);

// Creates or truncates a file for writing in text mode (line breaks stored as
// the platform writes them), letting other programs read and write it
// meanwhile; null when it cannot be opened.
std::FILE* openSharedForWriting(const char* path);

}  // namespace platform
