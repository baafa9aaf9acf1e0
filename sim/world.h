// The simulated game world behind the stand-in hook: it answers every native
// the plug-in uses, from state that a scenario or a test sets, and records
// each call so that tests can check the exact sequence.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace sim {

struct Vehicle {
    std::uint32_t model = 0;
    bool exists = true;
    float position = 0.0f;
    std::int32_t modCount = -1;
    std::int32_t fitted = -1;
};

enum class EventKind : std::uint8_t { native, wait, registered, unregistered };

struct TraceEntry {
    EventKind kind = EventKind::native;
    std::uint64_t hash = 0;
    std::uint8_t argumentCount = 0;
    std::uint64_t arguments[4] = {};
    std::uint64_t result = 0;
    char text[24] = {};  // a text argument, copied (its address means nothing later)
};

class World {
public:
    // What the scenario sets.
    std::uint64_t clock = 0;  // milliseconds, as the plug-in's tick count reads it
    std::uint32_t player = 1;
    std::uint32_t playerVehicle = 0;
    std::map<std::uint32_t, Vehicle> vehicles;
    std::map<std::uint32_t, std::int32_t> classFlags;  // by model hash
    std::set<std::int32_t> heldFirst;                  // active per the first control query
    std::set<std::int32_t> heldSecond;                 // active per the second only
    bool tracing = true;

    std::vector<TraceEntry> trace;
    std::uint64_t nativeCalls = 0;                       // counted even with tracing off
    std::map<std::uint64_t, std::uint64_t> callsByHash;  // likewise, by native

    // Calls of one native so far (three control queries per run that passed the throttle).
    std::uint64_t calls(std::uint64_t hash) const;

    // The hook's side of a native invocation.
    void nativeInit(std::uint64_t hash);
    void nativePush(std::uint64_t value);
    std::uint64_t* nativeCall();

    void recordEvent(EventKind kind, std::uint64_t value);

    Vehicle* vehicle(std::uint32_t handle);
    Vehicle& addVehicle(std::uint32_t handle, const std::string& modelName);

    // The game's model hash of a model name (case-insensitive).
    static std::uint32_t modelHash(const char* name);

private:
    std::uint64_t answer(const TraceEntry& call) const;
    void apply(const TraceEntry& call);

    TraceEntry pending_{};
    std::uint64_t resultSlot_ = 0;
};

// Human-readable name of a native, for traces and the demo.
const char* nativeName(std::uint64_t hash);

// One trace entry as a line: "name(arg, arg) -> result".
std::string describe(const TraceEntry& entry);

}  // namespace sim
