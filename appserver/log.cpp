#include "appserver/log.h"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

namespace brevalon::appserver {

namespace {

std::atomic<int> g_level{static_cast<int>(LogLevel::kInfo)};
std::mutex g_mutex;  // keeps lines of concurrent calls whole

void Write(const char* tag, std::string_view line) {
  std::time_t t = std::time(nullptr);
  std::tm lt{};
  localtime_r(&t, &lt);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &lt);
  std::string text = std::string(stamp) + " " + tag + " " + std::string(line) + "\n";
  std::lock_guard lock(g_mutex);
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

void SetLogLevel(LogLevel level) { g_level.store(static_cast<int>(level)); }
bool DebugEnabled() { return g_level.load() >= static_cast<int>(LogLevel::kDebug); }
void LogInfo(std::string_view line) { Write("info", line); }
void LogDebug(std::string_view line) {
  if (DebugEnabled()) Write("debug", line);
}

}  // namespace brevalon::appserver
