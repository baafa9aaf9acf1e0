#include <link.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/platform_posix.h"

namespace platform {
namespace {

std::uint64_t monotonicMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

TickSource tickSource = nullptr;
ByteRange moduleOverride{};
FeatureQuery avx2Query = nullptr;

}  // namespace

void setHostTickSource(TickSource source) { tickSource = source; }
void setHostMainModule(ByteRange range) { moduleOverride = range; }
void setHostAvx2Query(FeatureQuery query) { avx2Query = query; }

bool processorHasAvx2() { return avx2Query != nullptr ? avx2Query() : __builtin_cpu_supports("avx2") != 0; }
// A test that answers for AVX2 stands in for a processor without AVX-512.
bool processorHasAvx512() {
    return avx2Query == nullptr && __builtin_cpu_supports("avx512bw") != 0 && __builtin_cpu_supports("avx512vbmi") != 0;
}
bool processorHasSsse3() { return __builtin_cpu_supports("ssse3") != 0; }

std::uint64_t tickCount() { return tickSource != nullptr ? tickSource() : monotonicMilliseconds(); }

ByteRange mainModuleRange() {
    if (moduleOverride.begin != nullptr) return moduleOverride;
    // The program's own executable, as its loaded segments span it: the first
    // object the dynamic linker lists.
    ByteRange range{};
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            auto& found = *static_cast<ByteRange*>(data);
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& segment = info->dlpi_phdr[i];
                if (segment.p_type != PT_LOAD) continue;
                const auto* low = reinterpret_cast<const std::uint8_t*>(info->dlpi_addr + segment.p_vaddr);
                const auto* high = low + segment.p_memsz;
                if (found.begin == nullptr || low < found.begin) found.begin = low;
                if (high > found.end) found.end = high;
            }
            return 1;
        },
        &range);
    return range;
}

Region queryRegion(const std::uint8_t* address) {
    // /proc/self/maps lists every mapping with its permissions, in address
    // order. An address in none of them lies in a hole, which is answered as
    // Windows answers for free memory: a region up to the next mapping, not
    // executable, so that a search steps over it.
    std::FILE* maps = std::fopen("/proc/self/maps", "r");
    if (maps == nullptr) return {};
    const auto target = reinterpret_cast<std::uintptr_t>(address);
    const auto pointer = [](unsigned long long value) {
        return reinterpret_cast<const std::uint8_t*>(static_cast<std::uintptr_t>(value));
    };
    unsigned long long holeStart = 0;
    unsigned long long low = 0;
    unsigned long long high = 0;
    char perms[8] = {};
    char line[512];
    Region found{};
    while (std::fgets(line, sizeof line, maps) != nullptr) {
        if (std::sscanf(line, "%llx-%llx %7s", &low, &high, perms) != 3) continue;
        if (target < low) {
            found = {pointer(holeStart), pointer(low), false};
            break;
        }
        if (target < high) {
            // Code the scan may read; what else may be read (a module's headers and tables).
            found = {pointer(low), pointer(high), perms[0] == 'r' && perms[2] == 'x', perms[0] == 'r'};
            break;
        }
        holeStart = high;
    }
    std::fclose(maps);
    if (found.end == nullptr) found = {pointer(holeStart), pointer(~0ull), false};  // above every mapping
    return found;
}

std::FILE* openSharedForReading(const char* path) { return std::fopen(path, "rb"); }

std::FILE* openSharedForWriting(const char* path) { return std::fopen(path, "w"); }

}  // namespace platform
