// CallPool: the threads that run remote calls. A call may block for long (it
// waits for its session's worker), so the pool never makes a task wait for
// another: when no thread is idle it starts one, up to MaxThreads; beyond that
// tasks queue. Threads idle for IdleRetire end, down to MinThreads. Retired
// threads are joined by the next Post or by the destructor: no thread is
// ever detached.
//
// Owned by RemoteMethodServer. Post is safe from any thread (the I/O threads
// hand calls over with it, so it is cheap: a lock, a queue push, a notify).
// The destructor runs every queued task to the end and joins every thread;
// it must not be called from a pool thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

namespace brevalon {

class CallPool {
 public:
  struct Options {
    std::size_t MinThreads = 2;
    std::size_t MaxThreads = 1024;
    std::chrono::milliseconds IdleRetire{10000};
    // Calls that may wait for a thread; TryPost refuses beyond.
    std::size_t MaxQueued = 65536;
  };

  explicit CallPool(Options options);
  ~CallPool();
  CallPool(const CallPool&) = delete;
  CallPool& operator=(const CallPool&) = delete;

  // Runs `task` on a pool thread. Exceptions a task lets escape are swallowed.
  // Always queues: for work that must happen (ending a session).
  void Post(std::function<void()> task);
  // As Post, but false (and nothing queued) when MaxQueued tasks already
  // wait for a thread: for new calls from clients.
  bool TryPost(std::function<void()> task);

  std::size_t ThreadCount() const;

 private:
  void Run(std::list<std::thread>::iterator self);
  void ReapLocked(std::vector<std::thread>& out);
  bool Enqueue(std::function<void()>& task, bool bounded);

  const Options FOptions;
  mutable std::mutex FMutex;  // guards everything below
  std::condition_variable FWake;
  std::deque<std::function<void()>> FTasks;
  std::list<std::thread> FThreads;    // live threads
  std::vector<std::thread> FRetired;  // ended threads awaiting join
  std::size_t FIdle = 0;
  bool FStopping = false;
};

}  // namespace brevalon
