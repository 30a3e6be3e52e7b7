// Logging of the reference application servers: lines on standard error,
// "info" by default, one line per call only at "debug". Thread-safe.
#pragma once

#include <string_view>

namespace brevalon::appserver {

enum class LogLevel { kInfo = 0, kDebug = 1 };

void SetLogLevel(LogLevel level);
bool DebugEnabled();
void LogInfo(std::string_view line);
void LogDebug(std::string_view line);

}  // namespace brevalon::appserver
