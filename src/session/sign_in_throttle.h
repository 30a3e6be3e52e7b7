// SignInThrottle: holds back password guessing. Failed sign-ins are counted
// over a sliding window three ways: per user name and client together, per
// client, and per user name from anywhere. Past a threshold the counter is
// locked for a period that doubles with each lock in a row (bounded), and
// while a counter that concerns an attempt is locked, the attempt is answered
// at once without asking the application servers.
//
// So one client guessing one user is stopped after PairThreshold failures; a
// client spraying many names after ClientThreshold; many clients guessing one
// name after NameThreshold. A name's lock is short (MaxNameLock), and it
// does not hold a client where that name signed in recently, so that an
// attacker elsewhere cannot keep the real user out for long. A successful
// sign-in clears the counts of its name. Each lock is reported once (the
// name and the client, never the password).
//
// One per process, shared by every session; every member is safe from any
// thread. Memory is bounded (MaxEntries); the clock is injectable for tests.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace brevalon {

struct SignInThrottleOptions {
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  bool Enabled = true;
  std::chrono::seconds Window{900};  // failures count for this long
  int PairThreshold = 5;             // one name from one client
  int ClientThreshold = 30;          // any names from one client
  int NameThreshold = 20;            // one name from any clients
  std::chrono::seconds FirstLock{30};
  std::chrono::seconds MaxLock{900};      // a pair's or a client's lock
  std::chrono::seconds MaxNameLock{120};  // a name's lock, from every client
  std::chrono::hours KnownGood{24};       // a client where the name signed in is exempt from its lock
  std::size_t MaxEntries = 100000;        // counters kept at most
  Clock Now;                              // empty = steady_clock::now
};

// "Слишком много неудачных попыток входа. Повторите попытку через N с."
std::string ThrottledMessage(std::chrono::seconds wait);

class SignInThrottle {
 public:
  static constexpr std::chrono::seconds kBusyWait{5};

  using Report = std::function<void(const std::string&)>;

  explicit SignInThrottle(SignInThrottleOptions options = {}, Report report = {});
  SignInThrottle(const SignInThrottle&) = delete;
  SignInThrottle& operator=(const SignInThrottle&) = delete;

  // How long `user` from `client` (a client key) must wait before the next
  // attempt; nothing when it may try now, and then the attempt is under way
  // until Failed, Succeeded or Abandoned says how it ended. Attempts under
  // way count towards the thresholds: an attempt that could exceed one with
  // them waits here for them to end (at most kBusyWait, then it is told to
  // come back in 1 s), so that guesses sent side by side get no further
  // than guesses sent one after another.
  std::optional<std::chrono::seconds> Begin(const std::string& user, const std::string& client);
  // How an attempt begun ended: the servers refused it (wrong password,
  // unknown user), accepted it, or it ended otherwise (a lost connection:
  // no guess was judged).
  void Failed(const std::string& user, const std::string& client);
  void Succeeded(const std::string& user, const std::string& client);
  void Abandoned(const std::string& user, const std::string& client);

  const SignInThrottleOptions& Options() const { return FOptions; }
  // Counters and remembered successes held now (bounded by MaxEntries each).
  std::size_t Entries() const;

 private:
  using TimePoint = std::chrono::steady_clock::time_point;
  struct Counter {
    std::deque<TimePoint> Failures;  // within the window, oldest first; bounded
    TimePoint LockedUntil{};
    int Locks = 0;     // locks in a row; gone with a window free of failures
    int InFlight = 0;  // attempts begun and not ended
    TimePoint Touched{};
  };
  enum class Kind { Pair, Client, Name };

  TimePoint Now() const;
  Counter* Find(const std::string& key);
  Counter& Get(const std::string& key, TimePoint now);
  void Prune(Counter& c, TimePoint now) const;
  bool Forgettable(const Counter& c, TimePoint now) const;
  // Counts one failure; returns the lock it started, if any.
  std::optional<std::chrono::seconds> Count(Counter& c, TimePoint now, int threshold,
                                            std::chrono::seconds maxLock);
  void EvictLocked(TimePoint now);
  // Ends an attempt on the three counters it was begun on.
  void EndLocked(const std::string& user, const std::string& client);

  const SignInThrottleOptions FOptions;
  const Report FReport;
  mutable std::mutex FMutex;  // guards FCounters and FKnownGood
  std::condition_variable FEnded;  // an attempt under way ended
  std::unordered_map<std::string, Counter> FCounters;
  std::unordered_map<std::string, TimePoint> FKnownGood;  // pair key -> last success
};

}  // namespace brevalon
