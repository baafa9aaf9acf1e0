// The plug-in's only output: "Nozzels.log" in the working directory, one
// flushed line per event, so the file always ends with the last stage reached.
#pragma once

#include <fstream>

// The process-wide log stream: unopened from static construction until
// openLog, closed by static destruction. Its exception mask stays empty, so a
// failing log only changes the stream state and never throws.
extern std::ofstream DiagnosticLog;

// Text of the last formatted line, in a 256-byte heap block that every
// formatted write replaces. The last block is kept for the life of the process.
extern char* MessageBuffer;

inline constexpr const char* kLogFileName = "Nozzels.log";
inline constexpr std::size_t kMessageBufferSize = 256;

// Opens (creating or truncating) the log. When the log is already open, from
// an earlier start of the script in this process, it stays open and later
// lines follow the earlier ones.
void openLog();

void logText(const char* text);
void logFormatted(const char* format, ...);
void logInt(const char* format, int value);
void logFloat(const char* format, float value);
