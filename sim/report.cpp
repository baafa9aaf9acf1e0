#include "report.h"

#include <algorithm>
#include <cmath>
#include <fstream>

#include "hook/native_hashes.h"

namespace sim {
namespace {

std::string bar(float position, int width) {
    float clamped = std::isnan(position) ? 0.0f : std::min(1.0f, std::max(0.0f, position));
    const int filled = static_cast<int>(std::lround(static_cast<double>(clamped) * width));
    return join(std::string("["), std::string(static_cast<std::size_t>(filled), '#'),
                std::string(static_cast<std::size_t>(width - filled), ' '), std::string("]"));
}

bool worthShowing(const TraceEntry& entry) {
    if (entry.kind != EventKind::native) return entry.kind != EventKind::wait || entry.arguments[0] != 0;
    return entry.hash == natives::hashes::kSetNozzlePosition || entry.hash == natives::hashes::kFitMod;
}

// What the plug-in changed in the game, as the frame table shows it.
void printEvents(const std::vector<TraceEntry>& events) {
    for (const TraceEntry& entry : events)
        if (worthShowing(entry)) std::printf("%18s game   %s\n", "", describe(entry).c_str());
}

// The trace's tag for a frame: "F12 ".
std::string frameTag(std::size_t number) { return join(std::string("F"), std::to_string(number), std::string(" ")); }

}  // namespace

std::vector<std::string> Report::newLogLines() {
    std::vector<std::string> lines;
    // Read like any other program would: open, read what is new, close.
    std::FILE* file = std::fopen(logPath_.c_str(), "rb");
    if (file == nullptr) return lines;
    std::fseek(file, 0, SEEK_END);
    const long size = std::ftell(file);
    if (size < logOffset_) {  // truncated by a fresh start
        logOffset_ = 0;
        partialLine_.clear();
    }
    std::fseek(file, logOffset_, SEEK_SET);
    std::string chunk(static_cast<std::size_t>(size - logOffset_), '\0');
    const std::size_t got = chunk.empty() ? 0 : std::fread(chunk.data(), 1, chunk.size(), file);
    std::fclose(file);
    logOffset_ += static_cast<long>(got);
    partialLine_.append(chunk, 0, got);
    std::size_t start = 0;
    for (std::size_t end; (end = partialLine_.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = partialLine_.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    partialLine_.erase(0, start);
    ++logReads_;
    if (!partialLine_.empty()) ++partialReads_;
    return lines;
}

void Report::note(const std::string& text) {
    notes_.push_back(join(frameTag(frameCount_ + 1), std::string("note "), text));
    if (!quiet_) std::printf("  ** %s\n", text.c_str());
}

void Report::frame(FrameRecord record) {
    record.number = static_cast<int>(frameCount_) + 1;
    record.logLines = newLogLines();
    if (record.accepted()) ++acceptedRuns_;
    if (record.unflushedBytes > 0) ++unflushedFrames_;
    logLines_ += record.logLines.size();
    const FrameRecord* previous = frames_.empty() ? nullptr : &frames_.back();
    if (!quiet_) {
        if (!headerShown_) {
            std::printf("%6s %7s  %-9s %-22s %4s %5s %6s\n", "frame", "tick", "held", "nozzle position", "mod", "prop",
                        "calls");
            headerShown_ = true;
        }
        std::string held;
        for (int id : record.held) {
            if (!held.empty()) held.push_back(',');
            held.append(std::to_string(id));
        }
        if (held.empty()) held.assign(1, '-');
        char position[64] = "no vehicle";
        if (record.inVehicle) {
            std::snprintf(position, sizeof position, "%5.3f %s", static_cast<double>(record.position),
                          bar(record.position, 14).c_str());
        }
        std::string markers;
        if (!record.resumed)
            markers += "  (the hook paused the script)";
        else if (record.scriptsRun == 0)
            markers += "  (script waiting)";
        else if (!record.accepted() && record.nativeCalls == 4)
            markers += "  (throttled)";
        else if (!record.accepted())
            markers += "  (the run goes on after its wait)";
        if (previous != nullptr && previous->inVehicle && record.inVehicle) {
            if (previous->propState != record.propState && record.propState >= 0)
                markers += record.propState == 1 ? "  <== prop state enabled" : "  <== prop state disabled";
            if (previous->fitted != record.fitted)
                markers += join(std::string("  <== mod "), std::to_string(record.fitted), std::string(" fitted"));
        }
        std::printf("%6d %7llu  %-9s %-22s %4d %5d %6llu%s\n", record.number,
                    static_cast<unsigned long long>(record.tick), held.c_str(), position, record.fitted,
                    record.propState, static_cast<unsigned long long>(record.nativeCalls), markers.c_str());
        printEvents(record.events);
        for (const std::string& line : record.logLines) std::printf("%18s log    %s\n", "", line.c_str());
    }
    ++frameCount_;
    if (keepFrames_) {
        frames_.push_back(std::move(record));
    } else {
        // A long run keeps no history: only what the next frame compares with.
        if (frames_.empty()) frames_.push_back(FrameRecord{});
        record.events.clear();
        record.logLines.clear();
        frames_.back() = std::move(record);
    }
}

void Report::trailing(std::vector<TraceEntry> events) {
    if (!quiet_) printEvents(events);
    trailing_ = std::move(events);
}

void Report::noteLogReads() {
    note(join(std::string("reads of the log at the end of a frame: "), std::to_string(logReads_), std::string(", "),
              std::to_string(partialReads_), std::string(" ended inside a line")));
    note(join(std::string("frames that ended with log output not yet flushed: "), std::to_string(unflushedFrames_)));
}

void Report::finish() {
    // Lines written after the last frame (a final unload, say) still count.
    const auto rest = newLogLines();
    logLines_ += rest.size();
    if (!frames_.empty()) {
        auto& last = frames_.back().logLines;
        last.insert(last.end(), rest.begin(), rest.end());
    }
    std::printf("%zu frames, %lld accepted runs, %zu log lines%s\n", frameCount_, static_cast<long long>(acceptedRuns_),
                logLines_, partialLine_.empty() ? "" : ", and an unfinished line at the end of the log");
}

void Report::writeTrace(const std::string& path) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::size_t noteIndex = 0;
    for (const FrameRecord& record : frames_) {
        const std::string prefix = frameTag(static_cast<std::size_t>(record.number));
        while (noteIndex < notes_.size() && notes_[noteIndex].rfind(prefix, 0) == 0) out << notes_[noteIndex++] << '\n';
        out << prefix << "tick " << record.tick << (record.accepted() ? " accepted" : "") << '\n';
        for (const TraceEntry& entry : record.events) out << prefix << describe(entry) << '\n';
        for (const std::string& line : record.logLines) out << prefix << "log " << line << '\n';
    }
    while (noteIndex < notes_.size()) out << notes_[noteIndex++] << '\n';
    const std::string prefix = frameTag(frameCount_ + 1);
    for (const TraceEntry& entry : trailing_) out << prefix << describe(entry) << '\n';
}

void Report::writeSvg(const std::string& path) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << timelineSvg(frames_);
}

std::string timelineSvg(const std::vector<FrameRecord>& frames) {
    const double left = 60, top = 30, plotWidth = 900, laneHeight = 120, gap = 40;
    const double width = left + plotWidth + 40;
    const double height = top + 3 * laneHeight + 2 * gap + 60;
    const std::size_t count = std::max<std::size_t>(frames.size(), 1);
    const auto x = [&](std::size_t i) {
        return left + plotWidth * static_cast<double>(i) / static_cast<double>(count);
    };
    int maxMod = 1;
    for (const auto& f : frames) maxMod = std::max(maxMod, f.fitted + 1);
    char buffer[256];
    std::string svg;
    std::snprintf(buffer, sizeof buffer,
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" "
                  "width=\"%.0f\" height=\"%.0f\" viewBox=\"0 0 %.0f %.0f\" font-family=\"sans-serif\" "
                  "font-size=\"12\">\n<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n",
                  width, height, width, height);
    svg += buffer;
    const char* titles[] = {"nozzle position (0 to 1; dots are accepted runs, grey ticks throttled frames)",
                            "prop state 2 (1 enabled)", "fitted nozzle mod (slot 4)"};
    for (int lane = 0; lane < 3; ++lane) {
        const double y0 = top + lane * (laneHeight + gap);
        std::snprintf(buffer, sizeof buffer,
                      "<text x=\"%.0f\" y=\"%.0f\">%s</text>\n<rect x=\"%.0f\" y=\"%.0f\" width=\"%.0f\" "
                      "height=\"%.0f\" fill=\"none\" stroke=\"#888\"/>\n",
                      left, y0 - 6, titles[lane], left, y0, plotWidth, laneHeight);
        svg += buffer;
    }
    // One polyline per lane, one point per frame.
    const auto lane = [&](int index, auto valueOf, double low, double high, const char* colour) {
        const double y0 = top + index * (laneHeight + gap);
        std::string points;
        for (std::size_t i = 0; i < frames.size(); ++i) {
            double v = valueOf(frames[i]);
            if (std::isnan(v)) v = low;
            v = std::min(high, std::max(low, v));
            const double y = y0 + laneHeight - (v - low) / (high - low) * laneHeight;
            std::snprintf(buffer, sizeof buffer, "%.1f,%.1f %.1f,%.1f ", x(i), y, x(i + 1), y);
            points += buffer;
        }
        svg += join(std::string("<polyline fill=\"none\" stroke=\""), std::string(colour),
                    std::string("\" stroke-width=\"2\" points=\""), points, std::string("\"/>\n"));
    };
    // Half travel, where the prop state of the listed models turns; and each lane's scale.
    std::snprintf(buffer, sizeof buffer,
                  "<line x1=\"%.0f\" y1=\"%.1f\" x2=\"%.0f\" y2=\"%.1f\" stroke=\"#999\" "
                  "stroke-dasharray=\"4 4\"/>\n",
                  left, top + laneHeight / 2, left + plotWidth, top + laneHeight / 2);
    svg += buffer;
    const auto scale = [&](int index, const std::string& high, const std::string& low) {
        const double y0 = top + index * (laneHeight + gap);
        std::snprintf(buffer, sizeof buffer,
                      "<text x=\"%.0f\" y=\"%.0f\" text-anchor=\"end\">%s</text>\n"
                      "<text x=\"%.0f\" y=\"%.0f\" text-anchor=\"end\">%s</text>\n",
                      left - 6, y0 + 12, high.c_str(), left - 6, y0 + laneHeight, low.c_str());
        svg += buffer;
    };
    scale(0, "1.0", "0.0");
    scale(1, "on", "off");
    scale(2, std::to_string(maxMod), "-1");
    lane(
        0, [](const FrameRecord& f) { return static_cast<double>(f.position); }, 0.0, 1.0, "#1f77b4");
    lane(
        1, [](const FrameRecord& f) { return f.propState == 1 ? 1.0 : 0.0; }, 0.0, 1.0, "#d62728");
    lane(
        2, [](const FrameRecord& f) { return static_cast<double>(f.fitted); }, -1.0, static_cast<double>(maxMod),
        "#2ca02c");
    svg += "<g class=\"samples\">\n";
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const double y =
            top + laneHeight -
            std::min(1.0,
                     std::max(0.0, std::isnan(frames[i].position) ? 0.0 : static_cast<double>(frames[i].position))) *
                laneHeight;
        if (frames[i].accepted()) {
            std::snprintf(buffer, sizeof buffer,
                          "<circle class=\"accepted\" cx=\"%.1f\" cy=\"%.1f\" r=\"2\" fill=\"#1f77b4\"/>\n",
                          (x(i) + x(i + 1)) / 2, y);
        } else {
            std::snprintf(
                buffer, sizeof buffer,
                "<line class=\"throttled\" x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#bbb\"/>\n",
                (x(i) + x(i + 1)) / 2, top + laneHeight, (x(i) + x(i + 1)) / 2, top + laneHeight + 6);
        }
        svg += buffer;
    }
    svg += "</g>\n";
    std::snprintf(buffer, sizeof buffer, "<text x=\"%.0f\" y=\"%.0f\">frames 1 to %zu, tick %llu to %llu ms</text>\n",
                  left, height - 20, frames.size(),
                  frames.empty() ? 0ull : static_cast<unsigned long long>(frames.front().tick),
                  frames.empty() ? 0ull : static_cast<unsigned long long>(frames.back().tick));
    svg += buffer;
    svg += "</svg>\n";
    return svg;
}

}  // namespace sim
