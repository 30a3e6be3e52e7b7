#include "session/sign_in_throttle.h"

#include <algorithm>
#include <vector>

namespace brevalon {

namespace {

// Logins compare without regard to letter case: so do their counters.
std::string Fold(const std::string& user) {
  std::string out = user;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string PairKey(const std::string& user, const std::string& client) {
  return "p\n" + Fold(user) + "\n" + client;
}
std::string ClientKeyOf(const std::string& client) { return "c\n" + client; }
std::string NameKey(const std::string& user) { return "n\n" + Fold(user); }

// A user name as an entry shows it: it comes from the network.
std::string Shown(const std::string& user) {
  std::string out;
  for (char c : user.substr(0, 64)) out += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
  return user.size() > 64 ? out + "..." : out;
}

std::chrono::seconds Ceil(std::chrono::steady_clock::duration d) {
  return std::max(std::chrono::seconds(1), std::chrono::ceil<std::chrono::seconds>(d));
}

}  // namespace

std::string ThrottledMessage(std::chrono::seconds wait) {
  return "Слишком много неудачных попыток входа. Повторите попытку через " +
         std::to_string(wait.count()) + " с.";
}

SignInThrottle::SignInThrottle(SignInThrottleOptions options, Report report)
    : FOptions(std::move(options)), FReport(std::move(report)) {}

SignInThrottle::TimePoint SignInThrottle::Now() const {
  return FOptions.Now ? FOptions.Now() : std::chrono::steady_clock::now();
}

SignInThrottle::Counter* SignInThrottle::Find(const std::string& key) {
  auto it = FCounters.find(key);
  return it == FCounters.end() ? nullptr : &it->second;
}

SignInThrottle::Counter& SignInThrottle::Get(const std::string& key, TimePoint now) {
  if (FCounters.size() >= FOptions.MaxEntries && !FCounters.contains(key)) EvictLocked(now);
  Counter& c = FCounters[key];
  c.Touched = now;
  return c;
}

bool SignInThrottle::Forgettable(const Counter& c, TimePoint now) const {
  return c.Failures.empty() && c.InFlight == 0 && now >= c.LockedUntil &&
         now - c.LockedUntil >= FOptions.Window;
}

void SignInThrottle::Prune(Counter& c, TimePoint now) const {
  while (!c.Failures.empty() && now - c.Failures.front() >= FOptions.Window) c.Failures.pop_front();
  // Locks in a row end with a whole window free of failures after the last
  // lock: trying again the moment a lock ends is no fresh start.
  if (Forgettable(c, now)) c.Locks = 0;
}

void SignInThrottle::EvictLocked(TimePoint now) {
  // Counters with nothing left to say go first; then, a flood of new names
  // being what fills the table, the least recently touched unlocked ones,
  // down to nine tenths, so that the next evictions are far apart.
  for (auto it = FCounters.begin(); it != FCounters.end();) {
    Prune(it->second, now);
    if (Forgettable(it->second, now))
      it = FCounters.erase(it);
    else
      ++it;
  }
  const std::size_t keep = FOptions.MaxEntries - FOptions.MaxEntries / 10 - 1;
  if (FCounters.size() > keep) {
    std::vector<std::pair<TimePoint, const std::string*>> unlocked;
    for (const auto& [key, c] : FCounters)
      if (now >= c.LockedUntil) unlocked.emplace_back(c.Touched, &key);
    const std::size_t drop = std::min(unlocked.size(), FCounters.size() - keep);
    std::nth_element(unlocked.begin(), unlocked.begin() + static_cast<std::ptrdiff_t>(drop),
                     unlocked.end());
    std::vector<std::string> gone;
    for (std::size_t i = 0; i < drop; ++i) gone.push_back(*unlocked[i].second);
    for (const std::string& key : gone) FCounters.erase(key);
    // Locked counters alone fill it: the oldest locks go.
    while (FCounters.size() >= FOptions.MaxEntries) FCounters.erase(FCounters.begin());
  }
  for (auto it = FKnownGood.begin(); it != FKnownGood.end();) {
    if (now - it->second >= FOptions.KnownGood)
      it = FKnownGood.erase(it);
    else
      ++it;
  }
  while (FKnownGood.size() >= FOptions.MaxEntries) FKnownGood.erase(FKnownGood.begin());
}

std::optional<std::chrono::seconds> SignInThrottle::Begin(const std::string& user,
                                                          const std::string& client) {
  if (!FOptions.Enabled) return std::nullopt;
  std::unique_lock lock(FMutex);
  const std::string pair = PairKey(user, client);
  // Attempts beyond what may still fail wait for those under way to end
  // (a few milliseconds when they are real users), so that guesses sent
  // side by side get no further than guesses sent one after another.
  const auto deadline = std::chrono::steady_clock::now() + kBusyWait;
  for (;;) {
    const TimePoint now = Now();
    TimePoint until{};
    bool busy = false;
    const auto good = FKnownGood.find(pair);
    const bool known = good != FKnownGood.end() && now - good->second < FOptions.KnownGood;
    const auto look = [&](const std::string& key, int threshold, bool exempt) {
      Counter* c = Find(key);
      if (!c || exempt) return;
      Prune(*c, now);
      until = std::max(until, c->LockedUntil);
      busy = busy || (c->InFlight > 0 && static_cast<int>(c->Failures.size()) + c->InFlight >= threshold);
    };
    look(pair, FOptions.PairThreshold, false);
    look(ClientKeyOf(client), FOptions.ClientThreshold, false);
    look(NameKey(user), FOptions.NameThreshold, known);
    if (until > now) return Ceil(until - now);
    if (!busy) break;
    if (FEnded.wait_until(lock, deadline) == std::cv_status::timeout) return std::chrono::seconds(1);
  }
  const TimePoint now = Now();
  for (const std::string& key : {pair, ClientKeyOf(client), NameKey(user)}) ++Get(key, now).InFlight;
  return std::nullopt;
}

void SignInThrottle::EndLocked(const std::string& user, const std::string& client) {
  for (const std::string& key : {PairKey(user, client), ClientKeyOf(client), NameKey(user)})
    if (Counter* c = Find(key); c && c->InFlight > 0) --c->InFlight;
  FEnded.notify_all();
}

void SignInThrottle::Abandoned(const std::string& user, const std::string& client) {
  if (!FOptions.Enabled) return;
  std::lock_guard lock(FMutex);
  EndLocked(user, client);
}

std::optional<std::chrono::seconds> SignInThrottle::Count(Counter& c, TimePoint now, int threshold,
                                                          std::chrono::seconds maxLock) {
  Prune(c, now);
  c.Failures.push_back(now);
  // Only the last `threshold` failures matter.
  while (c.Failures.size() > static_cast<std::size_t>(std::max(threshold, 1))) c.Failures.pop_front();
  if (now < c.LockedUntil || static_cast<int>(c.Failures.size()) < threshold) return std::nullopt;
  auto period = FOptions.FirstLock;
  for (int i = 0; i < c.Locks && period < maxLock; ++i) period *= 2;
  period = std::min(period, maxLock);
  ++c.Locks;
  c.LockedUntil = now + period;
  return period;
}

void SignInThrottle::Failed(const std::string& user, const std::string& client) {
  if (!FOptions.Enabled) return;
  std::vector<std::string> entries;
  {
    std::lock_guard lock(FMutex);
    EndLocked(user, client);
    const TimePoint now = Now();
    const auto window = std::to_string(FOptions.Window.count());
    const auto say = [&](std::chrono::seconds period, int failures, const std::string& what) {
      entries.push_back("Sign-in throttled for " + std::to_string(period.count()) + " s: " +
                        std::to_string(failures) + " failed sign-ins " + what + " within " +
                        window + " s");
    };
    if (auto p = Count(Get(PairKey(user, client), now), now, FOptions.PairThreshold, FOptions.MaxLock))
      say(*p, FOptions.PairThreshold, "of user \"" + Shown(user) + "\" from " + client);
    if (auto p = Count(Get(ClientKeyOf(client), now), now, FOptions.ClientThreshold, FOptions.MaxLock))
      say(*p, FOptions.ClientThreshold, "from " + client);
    if (auto p = Count(Get(NameKey(user), now), now, FOptions.NameThreshold, FOptions.MaxNameLock))
      say(*p, FOptions.NameThreshold, "of user \"" + Shown(user) + "\" from any address");
  }
  if (FReport)
    for (const std::string& e : entries) FReport(e);
}

void SignInThrottle::Succeeded(const std::string& user, const std::string& client) {
  if (!FOptions.Enabled) return;
  std::lock_guard lock(FMutex);
  EndLocked(user, client);
  const TimePoint now = Now();
  const std::string pair = PairKey(user, client);
  // The name's counts go; what is still under way for it stays counted.
  for (const std::string& key : {pair, NameKey(user)}) {
    if (Counter* c = Find(key)) {
      c->Failures.clear();
      c->Locks = 0;
      c->LockedUntil = {};
    }
  }
  if (FKnownGood.size() >= FOptions.MaxEntries && !FKnownGood.contains(pair)) EvictLocked(now);
  FKnownGood[pair] = now;
}

std::size_t SignInThrottle::Entries() const {
  std::lock_guard lock(FMutex);
  return FCounters.size() + FKnownGood.size();
}

}  // namespace brevalon
