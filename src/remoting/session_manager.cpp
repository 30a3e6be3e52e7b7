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
  // The fields below are guarded by the manager's FMutex.
  TimePoint LastUsed;
  std::size_t Active = 0;
  bool Ended = false;
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
    --FEntry->Active;
    FEntry->LastUsed = FOwner->Now();
    finish = FEntry->Ended && FEntry->Active == 0;
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

SessionManager::Lease SessionManager::Open(bool expiring) {
  std::lock_guard lock(FMutex);
  if (FClosed || FSessions.size() >= FOptions.MaxSessions) return {};
  auto entry = std::make_shared<Entry>();
  std::string id = NewId();
  entry->Session = std::make_shared<DsSession>(id);
  entry->Expiring = expiring;
  entry->LastUsed = Now();
  entry->Active = 1;
  FSessions.emplace(std::move(id), entry);
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
    expired = std::move(it->second);
    expired->Ended = true;
    FSessions.erase(it);
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
    entry = std::move(it->second);
    entry->Ended = true;
    FSessions.erase(it);
  }
  Finish(*entry, true);
  return known;
}

std::size_t SessionManager::ExpireIdle() {
  std::vector<std::shared_ptr<Entry>> expired;
  {
    std::lock_guard lock(FMutex);
    const TimePoint now = Now();
    for (auto it = FSessions.begin(); it != FSessions.end();) {
      if (ExpiredLocked(*it->second, now)) {
        it->second->Ended = true;
        expired.push_back(std::move(it->second));
        it = FSessions.erase(it);
      } else {
        ++it;
      }
    }
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
      all.push_back(std::move(e));
    }
    FSessions.clear();
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

}  // namespace brevalon
