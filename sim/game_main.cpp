// The stand-in game process: loads the stand-in hook, then the plug-in the
// way a plug-in loader does, and plays a scenario frame by frame, printing
// what the plug-in asked of the game and what it logged.
#include <windows.h>

// After windows.h, which it needs.
#include <psapi.h>

#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "game_objects.h"
#include "hook/native_hashes.h"
#include "hook_api.h"
#include "plugin_imports.h"
#include "report.h"
#include "scenario.h"
#include "sim_memory.h"
#include "world.h"

extern "C" const std::uint8_t gameSparePages[];
#if defined(NOZZLES_LARGE_CODE)
extern "C" std::uint8_t gameLargeCode[];
#endif

namespace {

#if defined(NOZZLES_LARGE_CODE)
constexpr std::size_t kLargeCodeBytes = std::size_t{128} << 20;

// Distinct bytes on every page, in which no signature occurs by chance.
void fillLargeCode() {
    DWORD old = 0;
    VirtualProtect(gameLargeCode, kLargeCodeBytes, PAGE_READWRITE, &old);
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    for (std::size_t i = 0; i < kLargeCodeBytes; i += 8) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        std::memcpy(gameLargeCode + i, &state, 8);
    }
    VirtualProtect(gameLargeCode, kLargeCodeBytes, PAGE_EXECUTE_READ, &old);
}
#endif

sim::World* world = nullptr;

// The game's time in microseconds, so that a frame can last 1000/144 ms; the
// world's clock (which the hook's waits follow) is its whole milliseconds.
std::uint64_t gameMicroseconds = 0;
// 0: the plug-in reads the exact clock. Otherwise the tick moves only in whole
// steps of the system timer, as GetTickCount64 does on Windows (15.625 ms).
std::uint64_t tickStepMicroseconds = 0;

ULONGLONG WINAPI simulatedTickCount() {
    if (tickStepMicroseconds == 0) return world->clock;
    return gameMicroseconds / tickStepMicroseconds * tickStepMicroseconds / 1000;
}

// "16", "6.944" or "15.625" milliseconds as whole microseconds.
std::uint64_t microseconds(const std::string& milliseconds) {
    return static_cast<std::uint64_t>(std::llround(std::strtod(milliseconds.c_str(), nullptr) * 1000.0));
}

std::string readFile(const char* path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

struct Options {
    std::string scenarioPath;
    std::string tracePath;
    std::string svgPath;
    std::string importCallsPath;  // where the plug-in's calls while unloaded or at exit are noted
    std::string pluginPath = "Nozzles.asi";
    bool quiet = false;
    bool help = false;
};

// The game's options and scenario commands, as --help prints them and
// sim/README.md lists them (a test holds the two together).
struct GameOption {
    const char* name;
    const char* value;  // null for a flag
    const char* what;
    std::string Options::*path;
    bool Options::*flag;
};
const GameOption kOptions[] = {
    {"--trace", "FILE", "every call, log line and note, by frame", &Options::tracePath, nullptr},
    {"--import-calls", "FILE", "every call the plug-in makes through its imports while freed or at process exit",
     &Options::importCallsPath, nullptr},
    {"--svg", "FILE", "the timeline picture", &Options::svgPath, nullptr},
    {"--plugin", "FILE", "the plug-in to load (Nozzles.asi unless told)", &Options::pluginPath, nullptr},
    {"--quiet", nullptr, "no frame table", nullptr, &Options::quiet},
    {"--help", nullptr, "these lists", nullptr, &Options::help},
};
const char* const kCommands[] = {
    "step",       "tick",     "settings", "vehicle", "leave",   "class",  "position", "fitted",  "exists", "hold",
    "hold2",      "release",  "frames",   "pause",   "restart", "unload", "load",     "thread",  "prop",   "noobject",
    "unfindable", "findable", "protect",  "copies",  "lock",    "share",  "unlock",   "tracing", "memory"};

void printUsage() {
    std::printf("usage: nozzles-game.exe [OPTION...] [SCENARIO]  (the built-in flight without one)\noptions:\n");
    for (const GameOption& option : kOptions)
        std::printf("  %s%s%s  %s\n", option.name, option.value ? " " : "", option.value ? option.value : "",
                    option.what);
    std::printf("scenario commands:");
    for (const char* command : kCommands) std::printf(" %s", command);
    std::printf("\n");
}

class Game {
public:
    Game(const Options& options, sim::Report& report) : options_(options), report_(report) {}

    bool loadPlugin() {
        LARGE_INTEGER start{};
        LARGE_INTEGER frequency{};
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&start);
        plugin_ = LoadLibraryA(options_.pluginPath.c_str());
        if (plugin_ == nullptr) {
            std::fprintf(stderr, "cannot load %s (error %lu)\n", options_.pluginPath.c_str(), GetLastError());
            return false;
        }
        // From the call to the plug-in's registration, as its entry point made it.
        const double microseconds =
            static_cast<double>(simRegistrationTime() - start.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
        // The clock, and stdio output kept buffered until flushed, as on Windows.
        if (!sim::patchImport(plugin_, "kernel32.dll", "GetTickCount64",
                              reinterpret_cast<const void*>(&simulatedTickCount)))
            std::fprintf(stderr, "warning: the plug-in imports no GetTickCount64\n");
        sim::watchOutput(plugin_);
        if (!options_.importCallsPath.empty()) sim::watchImportCalls(plugin_);
        char timing[64];
        std::snprintf(timing, sizeof timing, "%.0f", microseconds);
        report_.note(sim::join(std::string("loaded "), options_.pluginPath, std::string(", "),
                               std::to_string(simScriptCount()), std::string(" script(s) registered, "),
                               std::string(timing), std::string(" us from LoadLibrary to scriptRegister")));
        return true;
    }

    void unloadPlugin() {
        if (plugin_ == nullptr) return;
        sim::setImportCallPhase("FreeLibrary");
        FreeLibrary(plugin_);
        sim::setImportCallPhase(nullptr);
        plugin_ = nullptr;
        report_.note(sim::join(std::string("freed the plug-in, "), std::to_string(simScriptCount()),
                               std::string(" script(s) registered, "), std::to_string(sim::openFiles()),
                               std::string(" file(s) it opened still open")));
    }

    bool run(const sim::Scenario& scenario) {
        if (!scenario.description.empty()) report_.note(scenario.description);
        // Where the functions lie in the running image, for checks of a tool that reads the file.
        const auto rva = [](const void* function) {
            char text[16];
            std::snprintf(text, sizeof text, "0x%llX",
                          static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(function) -
                                                          reinterpret_cast<std::uintptr_t>(GetModuleHandleA(nullptr))));
            return std::string(text);
        };
        report_.note(sim::join(std::string("the game's functions at RVA handleToAddress "),
                               rva(reinterpret_cast<const void*>(&gameHandleToAddress)), std::string(" getpropstate "),
                               rva(reinterpret_cast<const void*>(&gameGetPropState)), std::string(" setpropstate "),
                               rva(reinterpret_cast<const void*>(&gameSetPropState))));
        if (!loadPlugin()) return false;
        for (const sim::Command& command : scenario.commands) {
            if (!apply(command)) {
                std::fprintf(stderr, "scenario line %d: cannot do '%s'\n", command.line, command.name.c_str());
                return false;
            }
        }
        return true;
    }

private:
    sim::Vehicle* current() { return world->vehicle(world->playerVehicle); }

    static int toInt(const std::string& text) { return static_cast<int>(std::strtol(text.c_str(), nullptr, 10)); }
    static float toFloat(const std::string& text) { return std::strtof(text.c_str(), nullptr); }

    static bool functionOf(const std::string& name, sim::GameFunction& function) {
        if (name == "handleToAddress")
            function = sim::GameFunction::handleToAddress;
        else if (name == "getpropstate")
            function = sim::GameFunction::getPropState;
        else if (name == "setpropstate")
            function = sim::GameFunction::setPropState;
        else
            return false;
        return true;
    }

    bool apply(const sim::Command& command) {
        const auto& name = command.name;
        if (std::find(std::begin(kCommands), std::end(kCommands), name) == std::end(kCommands)) return false;
        const auto& args = command.arguments;
        const auto arg = [&args](std::size_t i) -> std::string { return i < args.size() ? args[i] : ""; };
        if (name == "step") {
            step_ = microseconds(arg(0));
        } else if (name == "tick") {
            tickStepMicroseconds = arg(0) == "exact" ? 0 : microseconds(arg(0));
            if (arg(0) != "exact" && tickStepMicroseconds == 0) return false;
            report_.note(tickStepMicroseconds == 0 ? std::string("the plug-in's tick is exact")
                                                   : sim::join(std::string("the plug-in's tick moves in steps of "),
                                                               arg(0), std::string(" ms")));
        } else if (name == "settings") {
            if (arg(0) == "none") {
                DeleteFileA("Nozzles.ini");
            } else {
                std::ofstream file("Nozzles.ini", std::ios::binary | std::ios::trunc);
                file << sim::unescape(arg(0));
            }
        } else if (name == "vehicle") {
            const auto handle = static_cast<std::uint32_t>(toInt(arg(0)));
            sim::Vehicle& vehicle = world->addVehicle(handle, arg(1));
            objects_.add(handle);
            for (std::size_t i = 2; i + 1 < args.size(); i += 2) {
                if (args[i] == "class")
                    world->classFlags[vehicle.model] = toInt(args[i + 1]);
                else if (args[i] == "mods")
                    vehicle.modCount = toInt(args[i + 1]);
                else if (args[i] == "fitted")
                    vehicle.fitted = toInt(args[i + 1]);
                else if (args[i] == "position")
                    vehicle.position = toFloat(args[i + 1]);
                else if (args[i] == "exists")
                    vehicle.exists = toInt(args[i + 1]) != 0;
                else
                    return false;
            }
            world->playerVehicle = handle;
            char address[80];
            std::snprintf(address, sizeof address, "vehicle %u has its game object at %016llX", handle,
                          static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(objects_.find(handle))));
            report_.note(address);
        } else if (name == "thread") {
            // A thread of the game's own: the plug-in sees its attach and detach.
            HANDLE thread = CreateThread(
                nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr);
            if (thread == nullptr) return false;
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
            report_.note("a game thread started and ended");
        } else if (name == "leave") {
            world->playerVehicle = 0;
        } else if (name == "class") {
            const auto model = arg(0) == "0" ? 0u : sim::World::modelHash(arg(0).c_str());
            world->classFlags[model] = toInt(arg(1));
        } else if (name == "position" || name == "fitted" || name == "exists") {
            sim::Vehicle* vehicle = current();
            if (vehicle == nullptr) return false;
            if (name == "position") vehicle->position = toFloat(arg(0));
            if (name == "fitted") vehicle->fitted = toInt(arg(0));
            if (name == "exists") vehicle->exists = toInt(arg(0)) != 0;
        } else if (name == "hold" || name == "hold2") {
            auto& held = name == "hold" ? world->heldFirst : world->heldSecond;
            held.clear();
            for (const auto& id : args) held.insert(toInt(id));
        } else if (name == "release") {
            world->heldFirst.clear();
            world->heldSecond.clear();
        } else if (name == "frames" || name == "pause") {
            const int count = toInt(arg(0));
            for (int i = 0; i < count; ++i) frame(name == "frames");
        } else if (name == "restart") {
            simRestartScripts();
            report_.note("the hook starts the script again");
        } else if (name == "unload") {
            unloadPlugin();
        } else if (name == "load") {
            return loadPlugin();
        } else if (name == "prop") {
            objects_.add(static_cast<std::uint32_t>(toInt(arg(0)))).propStates[2] = toInt(arg(1));
        } else if (name == "noobject") {
            objects_.remove(static_cast<std::uint32_t>(toInt(arg(0))));
        } else if (name == "unfindable" || name == "findable") {
            sim::GameFunction function{};
            if (!functionOf(arg(0), function)) return false;
            sim::setFindable(function, name == "findable");
        } else if (name == "protect") {
            sim::PageAccess access{};
            if (arg(0) == "code")
                access = sim::PageAccess::code;
            else if (arg(0) == "data")
                access = sim::PageAccess::data;
            else if (arg(0) == "noaccess")
                access = sim::PageAccess::noAccess;
            else if (arg(0) == "guard")
                access = sim::PageAccess::guard;
            else
                return false;
            sim::setPageAccess(gameSparePages + sim::pageSize(), access);
            report_.note(sim::join(std::string("a page of the game's image is now "), arg(0)));
        } else if (name == "copies") {
            sim::writeDataCopies(gameSparePages);
            report_.note("copies of the game's functions' first bytes lie in read-only data below them");
        } else if (name == "lock" || name == "share") {
            // Another program holding the file: "lock" without any sharing,
            // "share" open for writing while letting others read and write.
            const DWORD sharing = name == "lock" ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
            HANDLE file = CreateFileA(arg(0).c_str(), GENERIC_READ | GENERIC_WRITE, sharing, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file == INVALID_HANDLE_VALUE) return false;
            held_.push_back(file);
            report_.note(sim::join(std::string("the game holds "), arg(0),
                                   std::string(name == "lock" ? " open without sharing" : " open, shared")));
        } else if (name == "unlock") {
            releaseFiles();
        } else if (name == "tracing") {
            world->tracing = arg(0) != "off";
            report_.keepFrames(world->tracing);
        } else if (name == "memory") {
            noteMemory();
        } else {
            return false;
        }
        return true;
    }

    // Events since the last frame (a load or unload between frames, say).
    std::vector<sim::TraceEntry> takeEvents() {
        std::vector<sim::TraceEntry> events(world->trace.begin() + static_cast<long>(traceTaken_), world->trace.end());
        traceTaken_ = world->trace.size();
        return events;
    }

    void releaseFiles() {
        for (HANDLE file : held_) CloseHandle(file);
        held_.clear();
    }

    // The C runtime's heap and the working set, and the time per frame since the last mark.
    void noteMemory() {
        PROCESS_MEMORY_COUNTERS_EX counters{};
        counters.cb = sizeof counters;
        GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                             sizeof counters);
        LARGE_INTEGER now{};
        LARGE_INTEGER frequency{};
        QueryPerformanceCounter(&now);
        QueryPerformanceFrequency(&frequency);
        const std::size_t frames = report_.frameCount() - markFrame_;
        const double seconds =
            static_cast<double>(now.QuadPart - markTime_.QuadPart) / static_cast<double>(frequency.QuadPart);
        // The C runtime's heap, which the plug-in's allocations come from.
        std::size_t heapBytes = 0;
        std::size_t heapBlocks = 0;
        std::size_t blocksOf256 = 0;
        _HEAPINFO entry{};
        while (_heapwalk(&entry) == _HEAPOK) {
            if (entry._useflag != _USEDENTRY) continue;
            heapBytes += entry._size;
            ++heapBlocks;
            if (entry._size == 256) ++blocksOf256;
        }
        char text[256];
        std::snprintf(text, sizeof text,
                      "memory heap %zu bytes in %zu blocks (%zu of 256 bytes), working set %llu bytes, after %zu "
                      "frames; %.2f us per frame since the last mark",
                      heapBytes, heapBlocks, blocksOf256, static_cast<unsigned long long>(counters.WorkingSetSize),
                      report_.frameCount(),
                      frames > 0 && markTime_.QuadPart != 0 ? seconds * 1e6 / static_cast<double>(frames) : 0.0);
        report_.note(text);
        markFrame_ = report_.frameCount();
        markTime_ = now;
    }

public:
    void finish() {
        std::string counts = "counters";
        for (const auto& [hash, count] : world->callsByHash)
            counts += sim::join(std::string(" "), std::string(sim::nativeName(hash)), std::string("="),
                                std::to_string(count));
        const char* names[] = {"handleToAddress", "getpropstate", "setpropstate"};
        for (int i = 0; i < 3; ++i)
            counts +=
                sim::join(std::string(" "), std::string(names[i]), std::string("="), std::to_string(gameCallCounts[i]));
        report_.note(counts);
        report_.noteLogReads();
        releaseFiles();
        report_.trailing(takeEvents());
    }

private:
    void frame(bool resume) {
        gameMicroseconds += step_;
        world->clock = gameMicroseconds / 1000;
        const std::uint64_t callsBefore = world->nativeCalls;
        const std::uint64_t queriesBefore = world->calls(natives::hashes::kControlActiveFirst);
        const int ran = resume ? simRunScripts() : 0;
        sim::FrameRecord record;
        record.tick = world->clock;
        record.resumed = resume;
        record.held.assign(world->heldFirst.begin(), world->heldFirst.end());
        record.held.insert(record.held.end(), world->heldSecond.begin(), world->heldSecond.end());
        if (const sim::Vehicle* vehicle = current()) {
            record.inVehicle = true;
            record.position = vehicle->position;
            record.fitted = vehicle->fitted;
        }
        if (GameObject* object = objects_.find(world->playerVehicle)) record.propState = object->propStates[2];
        record.nativeCalls = world->nativeCalls - callsBefore;
        record.scriptsRun = ran;
        record.runAccepted = world->calls(natives::hashes::kControlActiveFirst) != queriesBefore;
        record.unflushedBytes = sim::unflushedOutput();
        record.events = takeEvents();
        report_.frame(record);
    }

    const Options& options_;
    sim::Report& report_;
    sim::GameObjects objects_;
    HMODULE plugin_ = nullptr;
    std::uint64_t step_ = 16000;  // microseconds per frame
    std::size_t traceTaken_ = 0;
    std::vector<HANDLE> held_;  // files the game holds open
    std::size_t markFrame_ = 0;
    LARGE_INTEGER markTime_{};
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const GameOption* option = nullptr;
        for (const GameOption& known : kOptions)
            if (arg == known.name) option = &known;
        if (option == nullptr)
            options.scenarioPath = arg;
        else if (option->flag != nullptr)
            options.*option->flag = true;
        else
            options.*option->path = i + 1 < argc ? argv[++i] : "";
    }
    if (options.help) {
        printUsage();
        return 0;
    }
    std::string text = options.scenarioPath.empty() ? sim::builtInScenario() : readFile(options.scenarioPath.c_str());
    if (text.empty()) {
        std::fprintf(stderr, "cannot read scenario %s\n", options.scenarioPath.c_str());
        return 2;
    }
    const sim::Scenario scenario = sim::parseScenario(text);

    if (!options.importCallsPath.empty() && !sim::noteImportCallsTo(options.importCallsPath.c_str())) {
        std::fprintf(stderr, "cannot write %s\n", options.importCallsPath.c_str());
        return 2;
    }
#if defined(NOZZLES_LARGE_CODE)
    fillLargeCode();
#endif
    HMODULE hook = LoadLibraryA("ScriptHookV.dll");
    if (hook == nullptr) {
        std::fprintf(stderr, "cannot load ScriptHookV.dll\n");
        return 2;
    }
    world = simWorld();

    sim::Report report(options.quiet, "Nozzels.log");
    Game game(options, report);
    const bool ok = game.run(scenario);
    game.finish();
    report.finish();
    if (!options.tracePath.empty()) report.writeTrace(options.tracePath);
    if (!options.svgPath.empty()) report.writeSvg(options.svgPath);

    char full[MAX_PATH] = {};
    GetFullPathNameA("Nozzels.log", MAX_PATH, full, nullptr);
    std::printf("log: %s\n", full);
    std::fflush(stdout);
    // Leave without unloading: the game keeps its plug-ins until the process ends.
    sim::setImportCallPhase("ExitProcess");
    ExitProcess(ok ? 0 : 1);
}
