// A million frames of the host build: a listed model crossing half travel
// back and forth while its nozzle mod walks. Checks that the log holds
// exactly the lines the world's counters call for and not a byte more,
// that the heap ends the run as it was after the first thousand frames, and
// prints the time per frame early and late in the run.
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "config/settings.h"
#include "diag/log.h"
#include "game_objects.h"
#include "hook/native_hashes.h"
#include "plugin/script.h"
#include "posix_host.h"

namespace {

int failures = 0;

void check(bool ok, const std::string& what) {
    if (!ok) {
        std::printf("FAILED: %s\n", what.c_str());
        ++failures;
    }
}

std::size_t heapInUse() { return mallinfo2().uordblks; }

}  // namespace

int main(int argc, char** argv) {
    const long frames = argc > 1 ? std::atol(argv[1]) : 1000000;
    char pattern[] = "/tmp/nozzles-soak-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 2;
    const std::filesystem::path directory = pattern;
    std::filesystem::current_path(directory);
    std::ofstream("Nozzles.ini") << "61 62 0.125\r\n";

    sim::resetHostWorld();
    sim::World& world = sim::hostWorld();
    world.tracing = false;
    sim::GameObjects objects;
    objects.add(100);
    sim::Vehicle& vehicle = world.addVehicle(100, "zr72");
    vehicle.modCount = 3;
    vehicle.fitted = 0;
    world.classFlags[vehicle.model] = 1;
    world.playerVehicle = 100;

    plugin::scriptStart();
    long positionRuns = 0;  // accepted runs with up or down held: one "current nozzle angle" line each
    std::size_t heapAfterWarmUp = 0;
    const auto started = std::chrono::steady_clock::now();
    auto markTime = started;
    double firstSpan = 0;
    double lastSpan = 0;
    const long span = frames / 10;
    for (long frame = 0; frame < frames; ++frame) {
        // A 200-frame cycle: climb, walk the mod up, descend, rest (the mod walks back).
        const long phase = frame % 200;
        world.heldFirst.clear();
        if (phase < 50)
            world.heldFirst.insert(61);
        else if (phase < 100)
            world.heldFirst.insert(87);
        else if (phase < 150)
            world.heldFirst.insert(62);
        world.clock += 16;
        const auto queries = world.calls(natives::hashes::kControlActiveFirst);
        plugin::scriptFrame();
        if (world.calls(natives::hashes::kControlActiveFirst) != queries &&
            (phase < 50 || (phase >= 100 && phase < 150)))
            ++positionRuns;
        if (frame + 1 == 1000) heapAfterWarmUp = heapInUse();
        if ((frame + 1) % span == 0) {
            const auto now = std::chrono::steady_clock::now();
            const double perFrame = std::chrono::duration<double, std::micro>(now - markTime).count() / double(span);
            if (frame + 1 == span) firstSpan = perFrame;
            lastSpan = perFrame;
            markTime = now;
        }
    }
    const std::size_t heapAtEnd = heapInUse();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    std::map<std::string, long> kinds;
    long lines = 0;
    std::uintmax_t bytes = 0;
    {
        std::ifstream log("Nozzels.log", std::ios::binary);
        for (std::string line; std::getline(log, line);) {
            ++lines;
            bytes += line.size() + 1;
            std::string kind = line;
            for (const char* prefix : {"current nozzle angle", "set nozzle angle", "set nozzle mod", "nozzle mod",
                                       "getpropstate vehicle", "setpropstate vehicle"}) {
                if (line.rfind(prefix, 0) == 0) {
                    kind = prefix;
                    break;
                }
            }
            ++kinds[kind];
        }
    }
    const auto count = [&world](std::uint64_t hash) { return static_cast<long>(world.calls(hash)); };
    const long accepted = static_cast<long>(world.calls(natives::hashes::kControlActiveFirst) / 3);
    check(kinds["set nozzle angle"] == count(natives::hashes::kSetNozzlePosition), "set nozzle angle lines");
    check(kinds["current nozzle angle"] == positionRuns, "current nozzle angle lines");
    check(kinds["set nozzle mod"] == count(natives::hashes::kFitMod), "set nozzle mod lines");
    check(kinds["nozzle mod"] == count(natives::hashes::kFittedMod), "nozzle mod lines");
    check(kinds["getpropstate vehicle"] == static_cast<long>(gameCallCounts[1] / 2), "getpropstate lines");
    check(kinds["before call getpropstate"] == static_cast<long>(gameCallCounts[1] / 2), "before call lines");
    check(kinds["setpropstate vehicle"] == static_cast<long>(gameCallCounts[2]), "setpropstate lines");
    const long setMod = count(natives::hashes::kFitMod);
    const long expectedLines = 6 + 5 /* first read and write search */ + count(natives::hashes::kSetNozzlePosition) +
                               positionRuns + count(natives::hashes::kFittedMod) + setMod +
                               2 * static_cast<long>(gameCallCounts[1] / 2) + static_cast<long>(gameCallCounts[2]);
    check(lines == expectedLines,
          "total lines " + std::to_string(lines) + " expected " + std::to_string(expectedLines));
    check(bytes == std::filesystem::file_size("Nozzels.log"), "log ends with a whole line");
    check(accepted > frames / 2, "accepted runs");
    check(heapAtEnd == heapAfterWarmUp, "heap in use after 1,000 frames " + std::to_string(heapAfterWarmUp) +
                                            ", at the end " + std::to_string(heapAtEnd));
    check(diag::MessageBuffer != nullptr, "the message block is there");

    std::printf("%ld frames in %.1f s: %ld accepted runs, %ld log lines (%ju bytes), %lu prop-state writes\n", frames,
                seconds, accepted, lines, bytes, static_cast<unsigned long>(gameCallCounts[2]));
    std::printf("time per frame: %.2f us over the first %ld frames, %.2f us over the last %ld\n", firstSpan, span,
                lastSpan, span);
    std::printf("heap in use: %zu bytes after 1,000 frames, %zu bytes at the end\n", heapAfterWarmUp, heapAtEnd);
    std::filesystem::current_path("/");
    diag::DiagnosticLog.close();
    std::filesystem::remove_all(directory);
    std::printf("%s\n", failures == 0 ? "soak: passed" : "soak: FAILED");
    return failures == 0 ? 0 : 1;
}
