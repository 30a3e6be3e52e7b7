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

// Longest line text written; the rest is cut (a client's argument can be
// megabytes long).
constexpr size_t kMaxLine = 4096;

// A line may quote what a client sent (an error message naming its
// argument): control characters are escaped so that a client can neither
// break a line in two nor forge one.
std::string OneLine(std::string_view line) {
  bool cut = false;
  if (line.size() > kMaxLine) {
    size_t end = kMaxLine;
    while (end > 0 && (static_cast<unsigned char>(line[end]) & 0xC0) == 0x80) --end;  // whole UTF-8 characters
    line = line.substr(0, end);
    cut = true;
  }
  std::string out;
  out.reserve(line.size() + 4);
  for (char c : line) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u != 0x7F) {
      out.push_back(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      static const char* hex = "0123456789ABCDEF";
      out += "\\x";
      out.push_back(hex[u >> 4]);
      out.push_back(hex[u & 0xF]);
    }
  }
  if (cut) out += " ...";
  return out;
}

void Write(const char* tag, std::string_view line) {
  std::time_t t = std::time(nullptr);
  std::tm lt{};
  localtime_r(&t, &lt);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &lt);
  std::string text = std::string(stamp) + " " + tag + " " + OneLine(line) + "\n";
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
