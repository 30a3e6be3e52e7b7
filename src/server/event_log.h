// The gateway's error log: one entry per failed remote call, written by the
// session's worker thread. IEventLog is what the worker sees; SyslogEventLog
// is the production writer (syslog, identifier "Brevalon24", priority err,
// which journald records); EventLogCapture collects entries for tests.
//
// A writer belongs to one worker: the worker thread creates it, the worker's
// Close destroys it. Entries carry the failure's message only, never request
// texts or passwords.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace brevalon {

inline constexpr const char* kEventSourceName = "Brevalon24";

class IEventLog {
 public:
  virtual ~IEventLog() = default;
  // Writes one error entry whose text is `message`. Never throws.
  virtual void WriteError(const std::string& message) = 0;
};

using EventLogFactory = std::function<std::unique_ptr<IEventLog>()>;

// Opens the process's syslog connection at its first entry and gives it
// back when destroyed. openlog/closelog act on the whole process, so the
// writers share one opening: the first writer that writes opens it, the last
// one destroyed closes it.
class SyslogEventLog : public IEventLog {
 public:
  SyslogEventLog() = default;
  ~SyslogEventLog() override;
  SyslogEventLog(const SyslogEventLog&) = delete;
  SyslogEventLog& operator=(const SyslogEventLog&) = delete;

  void WriteError(const std::string& message) override;

 private:
  bool FOpened = false;  // used by the owning worker thread only
};

// Makes SyslogEventLog writers.
EventLogFactory SyslogEventLogFactory();

// The process's own entries (limits reached, sign-ins throttled), beside the
// workers' ones: one writer made at the first entry, shared by every thread
// under a lock.
class SharedEventLog {
 public:
  explicit SharedEventLog(EventLogFactory factory) : FFactory(std::move(factory)) {}
  // Writes one error entry. Never throws.
  void WriteError(const std::string& message);

 private:
  const EventLogFactory FFactory;
  std::mutex FMutex;  // guards FWriter
  std::unique_ptr<IEventLog> FWriter;
};

// Thread-safe collector of entries for tests; the writers its Factory makes
// append here and may outlive the capture.
class EventLogCapture {
 public:
  struct Sink {
    mutable std::mutex Mutex;  // guards Entries
    std::vector<std::string> Entries;
  };

  EventLogCapture();
  EventLogFactory Factory() const;
  std::vector<std::string> Entries() const;

 private:
  std::shared_ptr<Sink> FSink;
};

}  // namespace brevalon
