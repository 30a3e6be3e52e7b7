// SessionManager: the remote-method framework's sessions. It issues session
// ids, finds a session by id, lets HTTP sessions expire after an idle time,
// and ends sessions: the session's end handler runs, then every object the
// session stores is closed (DsSession::CloseAll), always outside the lock.
//
// A call holds a Lease on its session while it runs. A leased session never
// expires; a session ended while leases are out (CloseSession, server
// destruction) is closed at once and closed again when the last lease goes,
// so that an object a running call stored after the first close (a worker
// made by the connect handler, say) is closed too.
//
// Sessions that never signed in cost little, but anybody can open them (a
// probe that never sends its session back opens one with every request), so
// the HTTP ones are kept in a bounded pool: at most MaxUnsigned overall and
// MaxUnsignedPerAddress per client (ClientKey). Opening one more ends the
// oldest idle one of the pool concerned; when all of them are in a call the
// open is refused. MaxSessions bounds all sessions; at that bound an idle
// session that never signed in is ended too, a signed-in one never is. A
// session leaves the pool when the lease of the call that signed it in ends.
//
// Ending every session (EndAll, server destruction) closes them side by side,
// so that it takes as long as the longest call still running, not the sum of
// them; afterwards Open refuses, so that calls still on their way cannot
// open a session (and start a worker) behind the shutdown.
//
// Owned by RemoteMethodServer; every member is safe to call from any thread.
// The clock is injectable so that tests drive expiry without sleeping.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "remoting/limits.h"
#include "remoting/remote_methods.h"

namespace brevalon {

class SessionManager {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  using Clock = std::function<TimePoint()>;

  struct Options {
    std::chrono::milliseconds Timeout{300000};  // idle time after which an expiring session ends
    std::size_t MaxSessions = 200000;           // Open refuses beyond this
    std::size_t MaxUnsigned = 4096;             // HTTP sessions that never signed in
    std::size_t MaxUnsignedPerAddress = 64;     // the same, per client
    Clock Now;                                  // empty = steady_clock::now
    std::function<void(DsSession&)> OnEnd;      // runs once when a session ends, before CloseAll
    LimitLog* Limits = nullptr;                 // told of refusals and sheds; may be null
  };

  // Why Open gave no session.
  enum class Refusal { None, Closed, TooManySessions, TooManyUnsigned };

 private:
  struct Entry;

 public:
  // A running use of a session; empty when the look-up failed. Move-only.
  class Lease {
   public:
    Lease() = default;
    Lease(Lease&& other) noexcept;
    Lease& operator=(Lease&& other) noexcept;
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease();

    explicit operator bool() const { return FEntry != nullptr; }
    // Why the lease is empty, when Open refused.
    Refusal Refused() const { return FRefusal; }
    DsSession& Session() const;
    const std::shared_ptr<DsSession>& SessionPtr() const;
    // Milliseconds the session has left once this use ends (the full timeout
    // for an expiring session, 0 for one that does not expire).
    long long MillisLeft() const;

   private:
    friend class SessionManager;
    Lease(SessionManager* owner, std::shared_ptr<Entry> entry)
        : FOwner(owner), FEntry(std::move(entry)) {}
    explicit Lease(Refusal why) : FRefusal(why) {}
    void Release();

    SessionManager* FOwner = nullptr;
    std::shared_ptr<Entry> FEntry;
    Refusal FRefusal = Refusal::None;
  };

  explicit SessionManager(Options options);
  ~SessionManager();  // ends every session
  SessionManager(const SessionManager&) = delete;
  SessionManager& operator=(const SessionManager&) = delete;

  // Opens a new session (expiring = an HTTP session) for the client at
  // `address` and leases it, ending an idle session that never signed in
  // where the pool or MaxSessions needs the room. An empty lease, with the
  // reason, when there is no room or EndAll has run.
  Lease Open(bool expiring, const std::string& address = {});
  // Leases the session `id` of the given kind (a TCP session's id is never
  // valid in an HTTP request); empty when there is none or it has expired (an
  // expired one is ended here, on the calling thread).
  Lease Use(const std::string& id, bool expiring);
  // Ends the session `id` of the given kind; false when there is none (or it
  // had expired).
  bool End(const std::string& id, bool expiring);
  // Ends every expiring session idle for the timeout or longer; returns how many.
  std::size_t ExpireIdle();
  // Ends every session and refuses new ones from then on (server
  // destruction). Returns after every session's objects are closed.
  void EndAll();

  std::size_t Count() const;
  // HTTP sessions that have not signed in (the pool).
  std::size_t UnsignedCount() const;
  std::chrono::milliseconds Timeout() const { return FOptions.Timeout; }

 private:
  TimePoint Now() const;
  std::string NewId();  // under FMutex
  bool ExpiredLocked(const Entry& e, TimePoint now) const;
  // Takes `e` out of the table and the pool and marks it ended; under FMutex.
  std::shared_ptr<Entry> RemoveLocked(std::shared_ptr<Entry> e);
  void PoolRemoveLocked(Entry& e);
  // The least recently used entry of `pool` with no call running, or null.
  static std::shared_ptr<Entry> OldestIdle(const std::list<std::shared_ptr<Entry>>& pool);
  void Report(LimitKind kind, const std::string& detail) const;
  // Runs OnEnd (first time only) and CloseAll; never under FMutex.
  void Finish(Entry& e, bool firstEnd);
  // Finish(e, true) for each, on up to kMaxClosers threads at once.
  void FinishAll(const std::vector<std::shared_ptr<Entry>>& entries);

  const Options FOptions;
  mutable std::mutex FMutex;  // guards FSessions, FRandom and every Entry's mutable fields
  std::unordered_map<std::string, std::shared_ptr<Entry>> FSessions;
  // The pool of HTTP sessions that never signed in, least recently used
  // first: all of them, and per client key.
  std::list<std::shared_ptr<Entry>> FUnsigned;
  std::unordered_map<std::string, std::list<std::shared_ptr<Entry>>> FUnsignedByClient;
  std::random_device FRandom;
  bool FClosed = false;  // EndAll has run; guarded by FMutex
};

}  // namespace brevalon
