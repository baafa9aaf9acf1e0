// What the stand-in game shows of a run: a frame table for people, a trace
// file for tests and a timeline picture.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "world.h"

namespace sim {

// Concatenation by appending (GCC 12 misreports chains of operator+ at -O3).
template <typename... Parts>
std::string join(const Parts&... parts) {
    std::string text;
    (text.append(parts), ...);
    return text;
}

struct FrameRecord {
    int number = 0;
    std::uint64_t tick = 0;
    bool resumed = true;
    std::vector<int> held;
    bool inVehicle = false;
    float position = 0.0f;
    int fitted = -1;
    int propState = -1;  // -1: no game object
    std::uint64_t nativeCalls = 0;
    int scriptsRun = 0;              // scripts the hook resumed this frame
    bool runAccepted = false;        // a run of the controller passed the throttle
    std::size_t unflushedBytes = 0;  // written by the plug-in and not flushed when the frame ended
    std::vector<TraceEntry> events;
    std::vector<std::string> logLines;
    bool accepted() const { return runAccepted; }
};

class Report {
public:
    Report(bool quiet, std::string logPath) : quiet_(quiet), logPath_(std::move(logPath)) {
        notes_.reserve(4096);  // no reallocation in the middle of a memory measurement
    }

    void note(const std::string& text);
    void frame(FrameRecord record);
    // Events after the last frame: kept in the trace under the next frame's number.
    void trailing(std::vector<TraceEntry> events);
    void finish();
    // How often the game's own reading of the log, after each frame, found a
    // line unfinished, and how many frames ended with output left unflushed.
    void noteLogReads();
    void writeTrace(const std::string& path) const;
    void writeSvg(const std::string& path) const;

    const std::vector<FrameRecord>& frames() const { return frames_; }
    // With frames not kept, a long run costs the same memory at any length.
    void keepFrames(bool keep) { keepFrames_ = keep; }
    std::size_t frameCount() const { return frameCount_; }

private:
    std::vector<std::string> newLogLines();

    bool quiet_;
    std::string logPath_;
    long logOffset_ = 0;
    std::string partialLine_;
    std::vector<FrameRecord> frames_;
    std::vector<TraceEntry> trailing_;
    std::size_t frameCount_ = 0;
    std::size_t acceptedRuns_ = 0;
    bool keepFrames_ = true;
    std::size_t logReads_ = 0;
    std::size_t partialReads_ = 0;
    std::size_t unflushedFrames_ = 0;
    std::vector<std::string> notes_;  // kept in the trace, tagged with the frame they precede
    std::size_t logLines_ = 0;
    bool headerShown_ = false;
};

// The timeline as SVG text.
std::string timelineSvg(const std::vector<FrameRecord>& frames);

}  // namespace sim
