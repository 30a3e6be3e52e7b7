#include "remoting/limits.h"

#include <arpa/inet.h>

namespace brevalon {

const char* LimitKindText(LimitKind kind) {
  switch (kind) {
    case LimitKind::Connections: return "too many connections";
    case LimitKind::ConnectionsPerAddress: return "too many connections from one address";
    case LimitKind::Sessions: return "too many sessions";
    case LimitKind::UnsignedSessions: return "too many sessions that have not signed in";
    case LimitKind::UnsignedShed: return "an idle session that had not signed in was ended to make room";
    case LimitKind::CallQueue: return "too many calls waiting";
  }
  return "limit reached";
}

std::string ClientKey(std::string_view address) {
  const std::string text(address);
  in6_addr v6{};
  if (inet_pton(AF_INET6, text.c_str(), &v6) != 1) return text;
  const uint8_t* b = v6.s6_addr;
  char out[INET6_ADDRSTRLEN] = {};
  if (IN6_IS_ADDR_V4MAPPED(&v6)) {
    inet_ntop(AF_INET, b + 12, out, sizeof out);
    return out;
  }
  in6_addr network{};
  for (int i = 0; i < 8; ++i) network.s6_addr[i] = b[i];
  inet_ntop(AF_INET6, &network, out, sizeof out);
  return std::string(out) + "/64";
}

LimitLog::LimitLog(Sink sink, std::chrono::milliseconds interval, Clock now)
    : FSink(std::move(sink)), FInterval(interval), FNow(std::move(now)) {}

void LimitLog::Hit(LimitKind kind, std::string_view detail) {
  const auto k = static_cast<std::size_t>(kind);
  if (k >= kLimitKinds) return;
  FCounts[k].fetch_add(1, std::memory_order_relaxed);
  if (!FSink) return;
  const auto now = FNow ? FNow() : std::chrono::steady_clock::now();
  uint64_t earlier = 0;
  {
    std::lock_guard lock(FMutex);
    PerKind& p = FKinds[k];
    if (p.Written && now - p.LastEntry < FInterval) {
      ++p.Unreported;
      return;
    }
    earlier = p.Unreported;
    p.Unreported = 0;
    p.Written = true;
    p.LastEntry = now;
  }
  std::string entry = std::string("Limit reached: ") + LimitKindText(kind);
  if (!detail.empty()) entry.append(" (").append(detail).append(")");
  if (earlier > 0)
    entry += "; " + std::to_string(earlier) + " more since the last entry of this kind";
  try {
    FSink(entry);
  } catch (...) {
    // A log that cannot be written must not fail the refusal it reports.
  }
}

uint64_t LimitLog::Count(LimitKind kind) const {
  const auto k = static_cast<std::size_t>(kind);
  return k < kLimitKinds ? FCounts[k].load(std::memory_order_relaxed) : 0;
}

}  // namespace brevalon
