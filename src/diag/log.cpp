#include "diag/log.h"

#include <cstdarg>
#include <cstdlib>

#include "diag/format.h"

std::ofstream DiagnosticLog;
char* MessageBuffer = nullptr;

void openLog() {
    // A second start of the script would otherwise fail on the open stream and
    // silence the log for the rest of the process.
    if (DiagnosticLog.is_open()) return;
    DiagnosticLog.open(kLogFileName, std::ios::out | std::ios::trunc);
}

void logText(const char* text) {
    // Text, line break and flush in one go, so a reader never sees half a
    // line and the file ends with this event even if the game dies next.
    DiagnosticLog << text << '\n';
    DiagnosticLog.flush();
}

void logFormatted(const char* format, ...) {
    std::free(MessageBuffer);
    MessageBuffer = static_cast<char*>(std::malloc(kMessageBufferSize));
    if (MessageBuffer == nullptr) return;  // out of memory: drop the line
    std::va_list args;
    va_start(args, format);
    diag::formatMessage(MessageBuffer, kMessageBufferSize, format, args);
    va_end(args);
    logText(MessageBuffer);
}

void logInt(const char* format, int value) { logFormatted(format, value); }

void logFloat(const char* format, float value) { logFormatted(format, static_cast<double>(value)); }
