#include "remoting/call_pool.h"

#include <algorithm>
#include <system_error>
#include <vector>

namespace brevalon {

CallPool::CallPool(Options options) : FOptions(options) {}

CallPool::~CallPool() {
  std::vector<std::thread> joinable;
  {
    std::lock_guard lock(FMutex);
    FStopping = true;
  }
  FWake.notify_all();
  for (;;) {
    {
      std::unique_lock lock(FMutex);
      ReapLocked(joinable);
      if (FThreads.empty() && joinable.empty()) break;
      if (joinable.empty()) {
        // Threads still running: wait for one to retire.
        FWake.wait(lock, [&] { return !FRetired.empty() || FThreads.empty(); });
        continue;
      }
    }
    for (auto& t : joinable) t.join();
    joinable.clear();
  }
}

void CallPool::ReapLocked(std::vector<std::thread>& out) {
  for (auto& t : FRetired) out.push_back(std::move(t));
  FRetired.clear();
}

void CallPool::Post(std::function<void()> task) { Enqueue(task, false); }

bool CallPool::TryPost(std::function<void()> task) { return Enqueue(task, true); }

bool CallPool::Enqueue(std::function<void()>& task, bool bounded) {
  std::vector<std::thread> joinable;
  bool wake = false;
  {
    std::lock_guard lock(FMutex);
    if (bounded && FTasks.size() >= FIdle + FOptions.MaxQueued) return false;
    FTasks.push_back(std::move(task));
    ReapLocked(joinable);
    // Every queued task needs an idle thread of its own; otherwise it would
    // wait behind a call that may block for long.
    if (FTasks.size() > FIdle && FThreads.size() < std::max<std::size_t>(1, FOptions.MaxThreads)) {
      try {
        FThreads.emplace_front();
        auto it = FThreads.begin();
        *it = std::thread([this, it] { Run(it); });
      } catch (const std::system_error&) {
        // No thread to be had now: the task waits for a running one.
        if (!FThreads.front().joinable()) FThreads.pop_front();
      }
    } else {
      wake = true;
    }
  }
  // Woken after the lock is free, the idle thread does not block on it at once.
  if (wake) FWake.notify_one();
  for (auto& t : joinable) t.join();
  return true;
}

void CallPool::Run(std::list<std::thread>::iterator self) {
  std::unique_lock lock(FMutex);
  for (;;) {
    if (FTasks.empty()) {
      if (FStopping) break;
      ++FIdle;
      const bool woke =
          FWake.wait_for(lock, FOptions.IdleRetire, [&] { return !FTasks.empty() || FStopping; });
      --FIdle;
      if (!woke && FThreads.size() > FOptions.MinThreads) break;
      continue;
    }
    auto task = std::move(FTasks.front());
    FTasks.pop_front();
    lock.unlock();
    try {
      task();
    } catch (...) {
    }
    task = nullptr;  // captured state goes before the lock is taken again
    lock.lock();
  }
  FRetired.push_back(std::move(*self));
  FThreads.erase(self);
  // The destructor waits for retirements.
  if (FStopping) FWake.notify_all();
}

std::size_t CallPool::ThreadCount() const {
  std::lock_guard lock(FMutex);
  return FThreads.size();
}

}  // namespace brevalon
