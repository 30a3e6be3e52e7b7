#include "server/event_log.h"

#include <syslog.h>

namespace brevalon {

namespace {

std::mutex gSyslogMutex;  // guards gSyslogOpeners and the openlog/closelog pair
int gSyslogOpeners = 0;

}  // namespace

SyslogEventLog::~SyslogEventLog() {
  if (!FOpened) return;
  std::lock_guard lock(gSyslogMutex);
  if (--gSyslogOpeners == 0) closelog();
}

void SyslogEventLog::WriteError(const std::string& message) {
  if (!FOpened) {
    std::lock_guard lock(gSyslogMutex);
    // The identifier is kept by pointer, so it must be a literal.
    if (gSyslogOpeners++ == 0) openlog(kEventSourceName, LOG_PID, LOG_DAEMON);
    FOpened = true;
  }
  // The message is data, never a format.
  syslog(LOG_ERR, "%s", message.c_str());
}

EventLogFactory SyslogEventLogFactory() {
  return [] { return std::make_unique<SyslogEventLog>(); };
}

void SharedEventLog::WriteError(const std::string& message) {
  try {
    std::lock_guard lock(FMutex);
    if (!FWriter && FFactory) FWriter = FFactory();
    if (FWriter) FWriter->WriteError(message);
  } catch (...) {
    // An entry that cannot be written is lost, never a failure of its caller.
  }
}

namespace {

class CapturingEventLog : public IEventLog {
 public:
  explicit CapturingEventLog(std::shared_ptr<EventLogCapture::Sink> sink) : FSink(std::move(sink)) {}
  void WriteError(const std::string& message) override {
    std::lock_guard lock(FSink->Mutex);
    FSink->Entries.push_back(message);
  }

 private:
  std::shared_ptr<EventLogCapture::Sink> FSink;
};

}  // namespace

EventLogCapture::EventLogCapture() : FSink(std::make_shared<Sink>()) {}

EventLogFactory EventLogCapture::Factory() const {
  return [sink = FSink]() -> std::unique_ptr<IEventLog> {
    return std::make_unique<CapturingEventLog>(sink);
  };
}

std::vector<std::string> EventLogCapture::Entries() const {
  std::lock_guard lock(FSink->Mutex);
  return FSink->Entries;
}

}  // namespace brevalon
