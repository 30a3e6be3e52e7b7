#include "remoting/session_manager.h"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace brevalon {

namespace {

// Threads that close sessions at once in EndAll. A close waits for the call
// its worker runs; idle sessions close in microseconds.
constexpr std::size_t kMaxClosers = 64;

}  // namespace

struct SessionManager::Entry {
  std::shared_ptr<DsSession> Session;
  bool Expiring = false;
  std::string Client;  // ClientKey of the address that opened it
  // The fields below are guarded by the manager's FMutex.
  TimePoint LastUsed;
  std::size_t Active = 0;
  bool Ended = false;
  // In the pool of sessions that never signed in (HTTP only).
  bool InPool = false;
  std::list<std::shared_ptr<Entry>>::iterator PoolPos;
  std::list<std::shared_ptr<Entry>>::iterator ClientPos;
};

// ---- Lease

SessionManager::Lease::Lease(Lease&& other) noexcept
    : FOwner(std::exchange(other.FOwner, nullptr)), FEntry(std::move(other.FEntry)) {}

SessionManager::Lease& SessionManager::Lease::operator=(Lease&& other) noexcept {
  if (this != &other) {
    Release();
    FOwner = std::exchange(other.FOwner, nullptr);
    FEntry = std::move(other.FEntry);
  }
  return *this;
}

SessionManager::Lease::~Lease() {
  Release();
}

DsSession& SessionManager::Lease::Session() const {
  return *FEntry->Session;
}

const std::shared_ptr<DsSession>& SessionManager::Lease::SessionPtr() const {
  return FEntry->Session;
}

long long SessionManager::Lease::MillisLeft() const {
  if (!FEntry || !FEntry->Expiring) return 0;
  return FOwner->FOptions.Timeout.count();
}

void SessionManager::Lease::Release() {
  if (!FEntry) return;
  bool finish = false;
  {
    std::lock_guard lock(FOwner->FMutex);
    Entry& e = *FEntry;
    --e.Active;
    e.LastUsed = FOwner->Now();
    finish = e.Ended && e.Active == 0;
    if (e.InPool) {
      if (e.Session->SignedIn()) {
        FOwner->PoolRemoveLocked(e);
      } else {
        // Most recently used: last to be shed.
        FOwner->FUnsigned.splice(FOwner->FUnsigned.end(), FOwner->FUnsigned, e.PoolPos);
        auto& own = FOwner->FUnsignedByClient[e.Client];
        own.splice(own.end(), own, e.ClientPos);
      }
    }
  }
  if (finish) FOwner->Finish(*FEntry, false);
  FEntry.reset();
  FOwner = nullptr;
}

// ---- SessionManager

SessionManager::SessionManager(Options options) : FOptions(std::move(options)) {}

SessionManager::~SessionManager() {
  EndAll();
}

SessionManager::TimePoint SessionManager::Now() const {
  return FOptions.Now ? FOptions.Now() : std::chrono::steady_clock::now();
}

std::string SessionManager::NewId() {
  // Three random numbers; digits and dots only, so never "," or "=" (the
  // Pragma header's separators).
  for (;;) {
    std::string id;
    for (int i = 0; i < 3; ++i) {
      const uint64_t n = (static_cast<uint64_t>(FRandom()) << 32 | FRandom()) % 1000000000000ULL;
      if (i) id += '.';
      id += std::to_string(n);
    }
    if (!FSessions.contains(id)) return id;
  }
}

bool SessionManager::ExpiredLocked(const Entry& e, TimePoint now) const {
  return e.Expiring && e.Active == 0 && now - e.LastUsed >= FOptions.Timeout;
}

void SessionManager::Finish(Entry& e, bool firstEnd) {
  if (firstEnd && FOptions.OnEnd) {
    try {
      FOptions.OnEnd(*e.Session);
    } catch (...) {
      // An end handler's failure must not keep the objects open.
    }
  }
  e.Session->CloseAll();
}

void SessionManager::PoolRemoveLocked(Entry& e) {
  if (!e.InPool) return;
  e.InPool = false;
  FUnsigned.erase(e.PoolPos);
  auto it = FUnsignedByClient.find(e.Client);
  if (it != FUnsignedByClient.end()) {
    it->second.erase(e.ClientPos);
    if (it->second.empty()) FUnsignedByClient.erase(it);
  }
}

std::shared_ptr<SessionManager::Entry> SessionManager::RemoveLocked(std::shared_ptr<Entry> e) {
  e->Ended = true;
  PoolRemoveLocked(*e);
  FSessions.erase(e->Session->Id());
  return e;
}

std::shared_ptr<SessionManager::Entry> SessionManager::OldestIdle(
    const std::list<std::shared_ptr<Entry>>& pool) {
  for (const auto& e : pool)
    if (e->Active == 0 && !e->Session->SignedIn()) return e;
  return nullptr;
}

void SessionManager::Report(LimitKind kind, const std::string& detail) const {
  if (FOptions.Limits) FOptions.Limits->Hit(kind, detail);
}

SessionManager::Lease SessionManager::Open(bool expiring, const std::string& address) {
  std::vector<std::shared_ptr<Entry>> shed;
  std::vector<std::pair<LimitKind, std::string>> hits;
  Refusal refusal = Refusal::None;
  std::shared_ptr<Entry> entry;
  {
    std::lock_guard lock(FMutex);
    const std::string client = ClientKey(address);
    // Room in a pool is made by ending its least recently used idle session.
    // The pool is looked up anew each time: a client's list goes when empty.
    const auto makeRoom = [&](const std::function<const std::list<std::shared_ptr<Entry>>*()>& pool,
                              std::size_t max, LimitKind kind, const std::string& detail) {
      for (const auto* p = pool(); refusal == Refusal::None && p && p->size() >= max; p = pool()) {
        std::shared_ptr<Entry> victim = OldestIdle(*p);
        if (!victim) {
          refusal = Refusal::TooManyUnsigned;
          hits.emplace_back(kind, detail);
          break;
        }
        hits.emplace_back(LimitKind::UnsignedShed, address);
        shed.push_back(RemoveLocked(std::move(victim)));
      }
    };
    if (FClosed) {
      refusal = Refusal::Closed;
    } else {
      if (expiring) {
        makeRoom(
            [&]() -> const std::list<std::shared_ptr<Entry>>* {
              const auto own = FUnsignedByClient.find(client);
              return own == FUnsignedByClient.end() ? nullptr : &own->second;
            },
            FOptions.MaxUnsignedPerAddress, LimitKind::UnsignedSessions, "client " + address);
        makeRoom([&] { return &FUnsigned; }, FOptions.MaxUnsigned, LimitKind::UnsignedSessions,
                 std::to_string(FOptions.MaxUnsigned) + " in all");
      }
      if (refusal == Refusal::None && FSessions.size() >= FOptions.MaxSessions) {
        if (std::shared_ptr<Entry> victim = OldestIdle(FUnsigned)) {
          hits.emplace_back(LimitKind::UnsignedShed, address);
          shed.push_back(RemoveLocked(std::move(victim)));
        } else {
          refusal = Refusal::TooManySessions;
          hits.emplace_back(LimitKind::Sessions, std::to_string(FOptions.MaxSessions) + " live");
        }
      }
    }
    if (refusal == Refusal::None) {
      entry = std::make_shared<Entry>();
      std::string id = NewId();
      entry->Session = std::make_shared<DsSession>(id, address);
      entry->Expiring = expiring;
      entry->Client = client;
      entry->LastUsed = Now();
      entry->Active = 1;
      if (expiring) {
        entry->InPool = true;
        entry->PoolPos = FUnsigned.insert(FUnsigned.end(), entry);
        auto& own = FUnsignedByClient[client];
        entry->ClientPos = own.insert(own.end(), entry);
      }
      FSessions.emplace(std::move(id), entry);
    }
  }
  for (auto& e : shed) Finish(*e, true);
  for (const auto& [kind, detail] : hits) Report(kind, detail);
  if (refusal != Refusal::None) return Lease(refusal);
  return Lease(this, std::move(entry));
}

SessionManager::Lease SessionManager::Use(const std::string& id, bool expiring) {
  std::shared_ptr<Entry> expired;
  {
    std::lock_guard lock(FMutex);
    auto it = FSessions.find(id);
    if (it == FSessions.end() || it->second->Expiring != expiring) return {};
    if (!ExpiredLocked(*it->second, Now())) {
      ++it->second->Active;
      return Lease(this, it->second);
    }
    expired = RemoveLocked(it->second);
  }
  Finish(*expired, true);
  return {};
}

bool SessionManager::End(const std::string& id, bool expiring) {
  std::shared_ptr<Entry> entry;
  bool known = false;
  {
    std::lock_guard lock(FMutex);
    auto it = FSessions.find(id);
    if (it == FSessions.end() || it->second->Expiring != expiring) return false;
    known = !ExpiredLocked(*it->second, Now());
    entry = RemoveLocked(it->second);
  }
  Finish(*entry, true);
  return known;
}

std::size_t SessionManager::ExpireIdle() {
  std::vector<std::shared_ptr<Entry>> expired;
  {
    std::lock_guard lock(FMutex);
    const TimePoint now = Now();
    for (const auto& [id, e] : FSessions)
      if (ExpiredLocked(*e, now)) expired.push_back(e);
    for (auto& e : expired) RemoveLocked(e);
  }
  for (auto& e : expired) Finish(*e, true);
  return expired.size();
}

void SessionManager::EndAll() {
  std::vector<std::shared_ptr<Entry>> all;
  {
    std::lock_guard lock(FMutex);
    FClosed = true;
    for (auto& [id, e] : FSessions) {
      e->Ended = true;
      e->InPool = false;
      all.push_back(std::move(e));
    }
    FSessions.clear();
    FUnsigned.clear();
    FUnsignedByClient.clear();
  }
  FinishAll(all);
}

void SessionManager::FinishAll(const std::vector<std::shared_ptr<Entry>>& entries) {
  std::atomic<std::size_t> next{0};
  const auto work = [&] {
    for (std::size_t i = next++; i < entries.size(); i = next++) {
      try {
        Finish(*entries[i], true);
      } catch (...) {
        // One session's failure to close must not keep the others open.
      }
    }
  };
  std::vector<std::thread> helpers;
  const std::size_t closers = std::min(kMaxClosers, entries.size());
  for (std::size_t i = 1; i < closers; ++i) {
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // no more threads to be had: the ones there share the rest
    }
  }
  work();
  for (auto& t : helpers) t.join();
}

std::size_t SessionManager::Count() const {
  std::lock_guard lock(FMutex);
  return FSessions.size();
}

std::size_t SessionManager::UnsignedCount() const {
  std::lock_guard lock(FMutex);
  return FUnsigned.size();
}

}  // namespace brevalon
