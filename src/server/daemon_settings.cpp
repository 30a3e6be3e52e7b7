#include "server/daemon_settings.h"

#include <charconv>
#include <cstdint>
#include <functional>

#include "util/exception.h"

namespace brevalon {

namespace {

// The value of `key` as a whole number in [low, high], when it is there.
bool ReadNumber(const IniFile& ini, const char* key, uint64_t low, uint64_t high,
                const std::function<void(uint64_t)>& apply) {
  if (!ini.ValueExists(kServerSection, key)) return false;
  const std::string text = ini.ReadString(kServerSection, key, "");
  uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < low ||
      value > high) {
    throw Exception(std::string("Setting [") + kServerSection + "] " + key + ": \"" + text +
                    "\" is not a whole number from " + std::to_string(low) + " to " +
                    std::to_string(high));
  }
  apply(value);
  return true;
}

}  // namespace

DaemonSettings ReadDaemonSettings(const IniFile& ini, const MachineLimits& machine,
                                  RemoteServerOptions base) {
  DaemonSettings s;
  s.Server = std::move(base);
  const DerivedLimits derived = DeriveLimits(machine);
  RemoteServerOptions& o = s.Server;
  o.MaxConnections = derived.MaxConnections;
  o.MaxSessions = derived.MaxSessions;
  o.MaxUnsignedSessions = derived.MaxUnsignedSessions;
  o.MaxCallThreads = derived.MaxCallThreads;

  constexpr uint64_t kMillion = 1000000;
  const auto size = [](std::size_t& field) { return [&field](uint64_t v) { field = v; }; };
  const auto secs = [](std::chrono::seconds& field) {
    return [&field](uint64_t v) { field = std::chrono::seconds(v); };
  };
  const auto count = [](int& field) { return [&field](uint64_t v) { field = static_cast<int>(v); }; };

  ReadNumber(ini, "HttpsPort", 1, 65535, [&](uint64_t v) { o.HttpsPort = static_cast<uint16_t>(v); });
  o.TlsCertificateFile = ini.ReadString(kServerSection, "TlsCertificate", o.TlsCertificateFile);
  o.TlsKeyFile = ini.ReadString(kServerSection, "TlsKey", o.TlsKeyFile);
  ReadNumber(ini, "MaxConnections", 1, kMillion, size(o.MaxConnections));
  ReadNumber(ini, "MaxConnectionsPerAddress", 1, kMillion, size(o.MaxConnectionsPerAddress));
  ReadNumber(ini, "MaxSessions", 1, 10 * kMillion, size(o.MaxSessions));
  ReadNumber(ini, "MaxUnsignedSessions", 1, 10 * kMillion, size(o.MaxUnsignedSessions));
  ReadNumber(ini, "MaxUnsignedSessionsPerAddress", 1, 10 * kMillion,
             size(o.MaxUnsignedSessionsPerAddress));
  ReadNumber(ini, "MaxCallThreads", 1, 100000, size(o.MaxCallThreads));

  SignInThrottleOptions& t = s.Throttle;
  ReadNumber(ini, "SignInThrottle", 0, 1, [&](uint64_t v) { t.Enabled = v == 1; });
  ReadNumber(ini, "SignInWindowSeconds", 1, 86400, secs(t.Window));
  ReadNumber(ini, "SignInFailuresPerUserAndAddress", 1, 100000, count(t.PairThreshold));
  ReadNumber(ini, "SignInFailuresPerAddress", 1, 100000, count(t.ClientThreshold));
  ReadNumber(ini, "SignInFailuresPerUser", 1, 100000, count(t.NameThreshold));
  ReadNumber(ini, "SignInLockSeconds", 1, 86400, secs(t.FirstLock));
  ReadNumber(ini, "SignInMaxLockSeconds", 1, 86400, secs(t.MaxLock));
  ReadNumber(ini, "SignInMaxUserLockSeconds", 1, 86400, secs(t.MaxNameLock));
  return s;
}

std::string DescribeLimits(const DaemonSettings& s) {
  const RemoteServerOptions& o = s.Server;
  std::string text = "connections " + std::to_string(o.MaxConnections) + " (" +
                     std::to_string(o.MaxConnectionsPerAddress) + " per address), sessions " +
                     std::to_string(o.MaxSessions) + " (not signed in " +
                     std::to_string(o.MaxUnsignedSessions) + ", " +
                     std::to_string(o.MaxUnsignedSessionsPerAddress) + " per address), call threads " +
                     std::to_string(o.MaxCallThreads) + ", sign-in throttle ";
  const SignInThrottleOptions& t = s.Throttle;
  if (!t.Enabled) return text + "off";
  return text + std::to_string(t.PairThreshold) + "/" + std::to_string(t.ClientThreshold) + "/" +
         std::to_string(t.NameThreshold) + " failures per user and address/address/user in " +
         std::to_string(t.Window.count()) + " s";
}

}  // namespace brevalon
