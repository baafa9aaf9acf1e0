#include "diag/log.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace diag {

LogStream DiagnosticLog;
char* MessageBuffer = nullptr;

void LogStream::open(const char* path) {
    if (file_ != nullptr) return;
    file_ = platform::openSharedForWriting(path);
    failed_ = false;
}

void LogStream::writeLine(const char* text) {
    if (!good()) return;
    // Text and line break go into the stream's buffer and leave it in one
    // write at the flush, so a reader never sees half a line. The flush is
    // what hands the line to the system: a C runtime keeps it buffered until
    // then, and the file must end with this event even if the game dies next.
    std::fwrite(text, 1, std::strlen(text), file_);
    std::fwrite("\n", 1, 1, file_);
    if (std::fflush(file_) != 0 || std::ferror(file_) != 0) failed_ = true;
}

void LogStream::close() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    failed_ = false;
}

void openLog() {
    // A second start of the script finds the log open and keeps writing to it.
    DiagnosticLog.open(kLogFileName);
}

void resetLog() {
    DiagnosticLog.close();
    std::free(MessageBuffer);
    MessageBuffer = nullptr;
}

void logText(const char* text) { DiagnosticLog.writeLine(text); }

void writeFormattedLine(const char* format, ...) {
    std::free(MessageBuffer);
    MessageBuffer = static_cast<char*>(std::malloc(kMessageBufferSize));
    if (MessageBuffer == nullptr) return;  // out of memory: drop the line
    std::va_list args;
    va_start(args, format);
    diag::vformatMessage(MessageBuffer, kMessageBufferSize, format, args);
    va_end(args);
    logText(MessageBuffer);
}

void logInt(diag::CheckedFormat<int> format, int value) { writeFormattedLine(format.text(), value); }

void logFloat(diag::CheckedFormat<double> format, float value) {
    writeFormattedLine(format.text(), static_cast<double>(value));
}

}  // namespace diag
