// The limits the remote-method framework holds against hostile or broken
// clients, what a hit looks like to an operator, and how clients are told
// apart for the per-client limits.
//
// LimitLog counts every hit by kind and writes one entry for a kind at most
// once per interval (the first hit at once, the later ones of the interval
// as a count in the next entry), so that a flood cannot flood the log. It is
// owned by RemoteMethodServer; Hit and Count are safe from any thread, and
// the sink is never called under the log's lock.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace brevalon {

enum class LimitKind : uint8_t {
  Connections,            // open connections, all clients together
  ConnectionsPerAddress,  // open connections of one client address
  Sessions,               // live sessions
  UnsignedSessions,       // sessions that never signed in, with none idle to shed
  UnsignedShed,           // an idle session that never signed in ended to make room
  CallQueue,              // calls waiting for a call thread
};
inline constexpr std::size_t kLimitKinds = 6;

// "too many connections" and the like, for entries and answers.
const char* LimitKindText(LimitKind kind);

// The seconds a refused client is told to wait (Retry-After).
inline constexpr int kRetryAfterSeconds = 5;

// The key per-client limits count under: an IPv4 address as it is (also when
// it arrives IPv4-mapped), an IPv6 address by its /64 network, since one
// client gets a whole /64 as easily as one address. Empty stays empty.
std::string ClientKey(std::string_view address);

class LimitLog {
 public:
  using Sink = std::function<void(const std::string&)>;
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  explicit LimitLog(Sink sink, std::chrono::milliseconds interval = std::chrono::seconds(60),
                    Clock now = {});

  // Counts one hit; `detail` (a limit's value, a client address) goes into
  // the entry when one is written now.
  void Hit(LimitKind kind, std::string_view detail = {});
  uint64_t Count(LimitKind kind) const;

 private:
  struct PerKind {
    std::chrono::steady_clock::time_point LastEntry{};
    bool Written = false;
    uint64_t Unreported = 0;  // hits since the last entry
  };

  const Sink FSink;
  const std::chrono::milliseconds FInterval;
  const Clock FNow;
  std::array<std::atomic<uint64_t>, kLimitKinds> FCounts{};
  std::mutex FMutex;  // guards FKinds
  std::array<PerKind, kLimitKinds> FKinds{};
};

}  // namespace brevalon
