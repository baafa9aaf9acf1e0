#include "plugin_imports.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

namespace sim {
namespace {

std::map<std::FILE*, std::size_t> pending;  // by stream
std::set<std::FILE*> open;                  // streams the plug-in opened and has not closed

std::size_t __cdecl bufferedFwrite(const void* data, std::size_t size, std::size_t count, std::FILE* file) {
    // msvcrt's fwrite only buffers, under Wine as on Windows.
    const std::size_t written = std::fwrite(data, size, count, file);
    if (written > 0) pending[file] += written * size;
    return written;
}

int __cdecl bufferedVfprintf(std::FILE* file, const char* format, va_list args) {
    char text[4096];
    const int length = std::vsnprintf(text, sizeof text, format, args);
    if (length < 0) return length;
    const auto kept =
        static_cast<std::size_t>(length) < sizeof text ? static_cast<std::size_t>(length) : sizeof text - 1;
    return bufferedFwrite(text, 1, kept, file) == kept ? length : -1;
}

int __cdecl countedFflush(std::FILE* file) {
    if (file == nullptr)
        pending.clear();
    else
        pending.erase(file);
    return std::fflush(file);
}

int __cdecl countedFclose(std::FILE* file) {
    pending.erase(file);
    open.erase(file);
    return std::fclose(file);
}

std::FILE* __cdecl countedFsopen(const char* path, const char* mode, int sharing) {
    std::FILE* file = _fsopen(path, mode, sharing);
    if (file != nullptr) open.insert(file);
    return file;
}

}  // namespace

namespace {

// Calls `visit(dll, name, slot)` for every import by name of the module, until it returns true.
template <typename Visit>
void forEachImport(HMODULE module, Visit visit) {
    auto* base = reinterpret_cast<std::uint8_t*>(module);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    const auto& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0) return;
    for (auto* import = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress); import->Name != 0;
         ++import) {
        const auto* dll = reinterpret_cast<const char*>(base + import->Name);
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA64*>(base + import->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA64*>(base + import->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL64(names->u1.Ordinal)) continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (visit(dll, reinterpret_cast<const char*>(byName->Name), slots->u1.Function)) return;
        }
    }
}

void writeSlot(ULONGLONG& slot, const void* target) {
    DWORD old = 0;
    VirtualProtect(&slot, sizeof slot, PAGE_READWRITE, &old);
    slot = reinterpret_cast<ULONGLONG>(target);
    VirtualProtect(&slot, sizeof slot, old, &old);
}

constexpr std::size_t kImportThunks = 256;
char importNames[kImportThunks][64];
HANDLE importCallNotes = INVALID_HANDLE_VALUE;

}  // namespace

// Shared with import_thunks.S.
extern "C" {
const char* importCallPhase = nullptr;
const void* importTargets[kImportThunks];
extern const void* const importThunks[kImportThunks];

// Only WriteFile: while the process ends, the C runtime is no place to be.
void noteImportCall(unsigned slot) {
    char line[128];
    std::size_t length = 0;
    for (const char* part : {importCallPhase, " ", static_cast<const char*>(importNames[slot]), "\r\n"}) {
        while (*part != '\0' && length < sizeof line) line[length++] = *part++;
    }
    DWORD written = 0;
    WriteFile(importCallNotes, line, static_cast<DWORD>(length), &written, nullptr);
}
}

bool patchImport(HMODULE module, const char* dll, const char* name, const void* replacement) {
    bool patched = false;
    forEachImport(module, [&](const char* importDll, const char* importName, ULONGLONG& slot) {
        if (_stricmp(importDll, dll) != 0 || std::strcmp(importName, name) != 0) return false;
        writeSlot(slot, replacement);
        return patched = true;
    });
    return patched;
}

bool noteImportCallsTo(const char* path) {
    importCallNotes =
        CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return importCallNotes != INVALID_HANDLE_VALUE;
}

void watchImportCalls(HMODULE module) {
    std::size_t count = 0;  // a new load fills the thunks afresh
    forEachImport(module, [&](const char* dll, const char* name, ULONGLONG& slot) {
        if (count == kImportThunks) return true;
        std::snprintf(importNames[count], sizeof importNames[count], "%s!%s", dll, name);
        importTargets[count] = reinterpret_cast<const void*>(slot);
        writeSlot(slot, importThunks[count]);
        ++count;
        return false;
    });
}

void setImportCallPhase(const char* phase) {
    if (importCallNotes != INVALID_HANDLE_VALUE) importCallPhase = phase;
}

void watchOutput(HMODULE module) {
    const struct {
        const char* name;
        const void* wrapper;
    } wrappers[] = {
        // What the plug-in writes and opens with; vfprintf is the C runtime's
        // own, for its messages on a fatal error.
        {"fwrite", reinterpret_cast<const void*>(&bufferedFwrite)},
        {"vfprintf", reinterpret_cast<const void*>(&bufferedVfprintf)},
        {"fflush", reinterpret_cast<const void*>(&countedFflush)},
        {"fclose", reinterpret_cast<const void*>(&countedFclose)},
        {"_fsopen", reinterpret_cast<const void*>(&countedFsopen)},
    };
    for (const auto& wrapper : wrappers) patchImport(module, "msvcrt.dll", wrapper.name, wrapper.wrapper);
}

std::size_t openFiles() { return open.size(); }

std::size_t unflushedOutput() {
    std::size_t bytes = 0;
    for (const auto& [file, count] : pending) bytes += count;
    return bytes;
}

}  // namespace sim
