#include "world.h"

#include <bit>
#include <cstdio>
#include <cstring>

#include "hook/native_hashes.h"

namespace sim {
namespace {

std::int32_t low32(std::uint64_t value) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(value)); }
std::uint64_t fromInt(std::int32_t value) { return static_cast<std::uint32_t>(value); }
std::uint64_t fromFloat(float value) { return std::bit_cast<std::uint32_t>(value); }

}  // namespace

std::uint32_t World::modelHash(const char* name) {
    // FNV-1a over the lower-cased name: any stable hash serves the stand-in.
    std::uint32_t hash = 2166136261u;
    for (const char* c = name; *c != '\0'; ++c) {
        char lower = *c;
        if (lower >= 'A' && lower <= 'Z') lower = static_cast<char>(lower - 'A' + 'a');
        hash ^= static_cast<unsigned char>(lower);
        hash *= 16777619u;
    }
    return hash;
}

Vehicle* World::vehicle(std::uint32_t handle) {
    const auto found = vehicles.find(handle);
    return found != vehicles.end() ? &found->second : nullptr;
}

Vehicle& World::addVehicle(std::uint32_t handle, const std::string& modelName) {
    Vehicle& added = vehicles[handle];
    added.model = modelHash(modelName.c_str());
    return added;
}

void World::nativeInit(std::uint64_t hash) {
    pending_ = TraceEntry{};
    pending_.hash = hash;
}

void World::nativePush(std::uint64_t value) {
    if (pending_.argumentCount < 4) pending_.arguments[pending_.argumentCount] = value;
    if (pending_.hash == natives::hashes::kModelHashOfName && pending_.argumentCount == 0 && value != 0) {
        std::strncpy(pending_.text, reinterpret_cast<const char*>(static_cast<std::uintptr_t>(value)),
                     sizeof pending_.text - 1);
    }
    ++pending_.argumentCount;
}

std::uint64_t* World::nativeCall() {
    pending_.result = answer(pending_);
    apply(pending_);
    ++nativeCalls;
    ++callsByHash[pending_.hash];
    if (tracing) trace.push_back(pending_);
    resultSlot_ = pending_.result;
    return &resultSlot_;
}

std::uint64_t World::calls(std::uint64_t hash) const {
    const auto found = callsByHash.find(hash);
    return found != callsByHash.end() ? found->second : 0;
}

void World::recordEvent(EventKind kind, std::uint64_t value) {
    if (!tracing) return;
    TraceEntry entry{};
    entry.kind = kind;
    entry.arguments[0] = value;
    entry.argumentCount = 1;
    trace.push_back(entry);
}

std::uint64_t World::answer(const TraceEntry& call) const {
    const auto arg = [&call](int i) { return call.arguments[i]; };
    const auto find = [this](std::uint64_t handle) -> const Vehicle* {
        const auto found = vehicles.find(static_cast<std::uint32_t>(handle));
        return found != vehicles.end() ? &found->second : nullptr;
    };
    switch (call.hash) {
        case natives::hashes::kPlayerCharacter: return player;
        case natives::hashes::kVehicleOfCharacter: return arg(0) == player ? playerVehicle : 0;
        case natives::hashes::kEntityModel: {
            const Vehicle* v = find(arg(0));
            return v != nullptr ? v->model : 0;
        }
        case natives::hashes::kIsModelOfClass: {
            const auto flag = classFlags.find(static_cast<std::uint32_t>(arg(0)));
            return flag != classFlags.end() ? fromInt(flag->second) : 0;
        }
        case natives::hashes::kEntityExists: {
            const Vehicle* v = find(arg(0));
            return v != nullptr && v->exists ? 1 : 0;
        }
        case natives::hashes::kControlActiveFirst: return heldFirst.count(low32(arg(1))) != 0 ? 1 : 0;
        case natives::hashes::kControlActiveSecond:
            return heldFirst.count(low32(arg(1))) != 0 || heldSecond.count(low32(arg(1))) != 0 ? 1 : 0;
        case natives::hashes::kNozzlePosition: {
            const Vehicle* v = find(arg(0));
            return fromFloat(v != nullptr ? v->position : 0.0f);
        }
        case natives::hashes::kModCount: {
            const Vehicle* v = find(arg(0));
            return fromInt(v != nullptr && low32(arg(1)) == 4 ? v->modCount : -1);
        }
        case natives::hashes::kFittedMod: {
            const Vehicle* v = find(arg(0));
            return fromInt(v != nullptr && low32(arg(1)) == 4 ? v->fitted : -1);
        }
        case natives::hashes::kModelHashOfName: return modelHash(call.text);
        default: return 0;  // setters and unknown natives
    }
}

void World::apply(const TraceEntry& call) {
    Vehicle* v = vehicle(static_cast<std::uint32_t>(call.arguments[0]));
    if (v == nullptr) return;
    if (call.hash == natives::hashes::kSetNozzlePosition) {
        v->position = std::bit_cast<float>(static_cast<std::uint32_t>(call.arguments[1]));
    } else if (call.hash == natives::hashes::kFitMod && low32(call.arguments[1]) == 4) {
        v->fitted = low32(call.arguments[2]);
    }
}

const char* nativeName(std::uint64_t hash) {
    switch (hash) {
        case natives::hashes::kPlayerCharacter: return "playerCharacter";
        case natives::hashes::kVehicleOfCharacter: return "vehicleOf";
        case natives::hashes::kEntityModel: return "modelOf";
        case natives::hashes::kIsModelOfClass: return "isModelOfClass";
        case natives::hashes::kEntityExists: return "exists";
        case natives::hashes::kControlActiveFirst: return "controlFirst";
        case natives::hashes::kControlActiveSecond: return "controlSecond";
        case natives::hashes::kNozzlePosition: return "nozzlePosition";
        case natives::hashes::kSetNozzlePosition: return "setNozzlePosition";
        case natives::hashes::kModCount: return "modCount";
        case natives::hashes::kFittedMod: return "fittedMod";
        case natives::hashes::kFitMod: return "fitMod";
        case natives::hashes::kModelHashOfName: return "modelHashOfName";
        default: return "unknown";
    }
}

std::string describe(const TraceEntry& entry) {
    char line[160];
    switch (entry.kind) {
        case EventKind::wait:
            std::snprintf(line, sizeof line, "scriptWait(%llu)", static_cast<unsigned long long>(entry.arguments[0]));
            return line;
        case EventKind::registered: return "scriptRegister";
        case EventKind::unregistered: return "scriptUnregister";
        case EventKind::native: break;
    }
    std::string text = nativeName(entry.hash);
    text += '(';
    for (int i = 0; i < entry.argumentCount && i < 4; ++i) {
        if (i > 0) text += ", ";
        if (entry.hash == natives::hashes::kModelHashOfName && i == 0) {
            text += '"';
            text += entry.text;
            text += '"';
        } else if (entry.hash == natives::hashes::kSetNozzlePosition && i == 1) {
            std::snprintf(line, sizeof line, "%.9g",
                          static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(entry.arguments[i]))));
            text += line;
        } else {
            std::snprintf(line, sizeof line, "%lld",
                          static_cast<long long>(static_cast<std::int64_t>(entry.arguments[i])));
            text += line;
        }
    }
    text += ") -> ";
    if (entry.hash == natives::hashes::kNozzlePosition) {
        std::snprintf(line, sizeof line, "%.9g",
                      static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(entry.result))));
    } else {
        std::snprintf(line, sizeof line, "%d", low32(entry.result));
    }
    text += line;
    return text;
}

}  // namespace sim
