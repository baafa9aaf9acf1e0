// The plug-in's only output: "Nozzels.log" in the working directory, one
// flushed line per event, so the file always ends with the last stage reached.
#pragma once

#include <cstddef>
#include <cstdio>
#include <type_traits>

#include "diag/format.h"

namespace diag {

// The log file, through the C runtime's stdio: no stream library in the
// game's process. Unopened from load until openLog, closed at unload. A
// failing open or write only changes its state; nothing here ever throws.
class LogStream {
public:
    LogStream() = default;
    ~LogStream() { close(); }
    LogStream(const LogStream&) = delete;
    LogStream& operator=(const LogStream&) = delete;

    // Creates or truncates the file, in text mode, shared for reading and
    // writing. Does nothing while a file is open.
    void open(const char* path);
    // The text and a line break as one write, flushed before returning.
    // After a failed write every later line is dropped, as after a failed open.
    void writeLine(const char* text);
    void close();

    bool isOpen() const { return file_ != nullptr; }
    bool good() const { return file_ != nullptr && !failed_; }

private:
    std::FILE* file_ = nullptr;
    bool failed_ = false;
};

extern LogStream DiagnosticLog;

// Text of the last formatted line, in a 256-byte heap block that every
// formatted write replaces. The last block is kept for the life of the process.
extern char* MessageBuffer;

inline constexpr const char* kLogFileName = "Nozzels.log";
inline constexpr std::size_t kMessageBufferSize = 256;

// Opens (creating or truncating) the log. When the log is already open, from
// an earlier start of the script in this process, it stays open and later
// lines follow the earlier ones.
void openLog();

// Back to the state at load: the log closed, no message block.
void resetLog();

void logText(const char* text);

// The formatted write: frees the message block, takes a new one, formats the
// line into it and writes it as logText does. Formats and argument types are
// checked when the program is compiled (see diag/format.h).
void writeFormattedLine(const char* format, ...);

template <typename... Args>
void logFormatted(diag::CheckedFormat<std::type_identity_t<Args>...> format, Args... args) {
    writeFormattedLine(format.text(), args...);
}

void logInt(diag::CheckedFormat<int> format, int value);
// The float travels to the formatter widened to double.
void logFloat(diag::CheckedFormat<double> format, float value);

}  // namespace diag
