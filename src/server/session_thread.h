// TSessionThread: the worker of one remote session. Remote methods run on the
// framework's call threads; each wraps its call into a TRunMethod, queues it
// with RunMethod and blocks until the worker has executed it. The worker owns
// the session's logic (and through it the session's back-end connections and
// its sign-in), executes the queued calls strictly one at a time in queue
// order, turns every failure into a return code and message and writes it to
// the event log.
//
// A worker holds no thread of its own: the call at the front of the queue is
// executed on the call thread that queued it (which waits in RunMethod
// anyway), and the next one on its own caller's thread once the first has
// left the queue. So a session costs a few hundred bytes until it does work,
// an idle one costs no thread, and the queue lock orders each call's use of
// the logic after the previous one's. The logic is made by the first call
// that needs it (reading the settings file) and freed by Close.
//
//   RunMethod (caller)          queue (under FQueueLock)       Close
//   append item, wait ------->  [a* b c]   a executes (*)
//   a done: pop, notify ----->  [b* c]     b's caller executes
//                               ...        terminate: wait for the running
//                                          call, discard the rest, free logic
//
// Owned by the session's object store under "connection" (TServerMethods);
// shared with the call threads waiting in RunMethod. Close ends the worker;
// RunMethod may be called from any number of threads at once.
#pragma once

#include <atomic>
#include <boost/json.hpp>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "remoting/remote_methods.h"
#include "data/variant.h"
#include "server/event_log.h"
#include "server/method_names.h"
#include "session/session_logic.h"

namespace brevalon {

// Return codes of a call.
inline constexpr int32_t kReturnOk = 0;
inline constexpr int32_t kReturnFailure = 1;
inline constexpr int32_t kReturnNotConnected = 404;
inline constexpr int32_t kReturnInvalidData = 406;

// What a caller answers when the worker was closed before its call ran.
inline constexpr const char* kSessionClosedMessage = "Сеанс закрыт";

// One queued call. Created and destroyed by RunMethod; the worker writes the
// outcome fields while the item is still queued and only then removes it, so
// the caller reads them after it has seen (under the queue lock) that the item
// is gone.
struct TRunMethod {
  TMethodsNameType MethodsType = TMethodsNameType::stConnectToDB;
  std::string MethodName;
  std::vector<Variant> Params;
  boost::json::object ResultObj;
  std::exception_ptr Error;  // the failure caught while executing; empty on success
  std::string stErrorMessage;
  int32_t inReturnCode = kReturnOk;

  // Guarded by the queue lock of the worker the item was given to.
  bool Queued = false;     // still in the queue (being executed or waiting)
  bool Discarded = false;  // taken out by Close without being executed
};

using SessionLogicFactory = std::function<std::unique_ptr<ISessionLogic>(const TSessionEnvironment&)>;

// Makes a TSessionLogic (reads the settings file).
SessionLogicFactory DefaultSessionLogicFactory();

class TSessionThread final : public SessionObject {
 public:
  // Makes nothing yet: the first call makes the event-log writer when it
  // needs one and the session logic from `environment`.
  explicit TSessionThread(SessionLogicFactory logicFactory = DefaultSessionLogicFactory(),
                          EventLogFactory eventLogFactory = SyslogEventLogFactory(),
                          TSessionEnvironment environment = {});
  // Close.
  ~TSessionThread() override;
  TSessionThread(const TSessionThread&) = delete;
  TSessionThread& operator=(const TSessionThread&) = delete;

  // Ends the worker: tells it to terminate, waits until the call being
  // executed (if any) is finished, discards the calls still queued (their
  // callers answer 1 "Сеанс закрыт"), and frees the session logic and the
  // event-log writer. Idempotent; concurrent callers all return after the
  // worker has ended. Never call it from a call of its own session.
  void Close() override;

  // Queues the call and blocks until it has been executed, on this thread
  // when its turn comes (no time limit: a call runs as long as its back-end
  // work takes), or Close has discarded it. On return inReturnCode and
  // stErrorMessage hold the outcome. The result is the handler's result
  // object on success, {"e":"e"} when the call failed, and nothing when
  // queuing itself failed. Callers of methods without a result drop it.
  std::optional<boost::json::object> RunMethod(TMethodsNameType MethodsType, int32_t& inReturnCode,
                                               const std::vector<Variant>& Params,
                                               std::string& stErrorMessage);

  // Diagnostics: calls in the queue (the executing one included), whether
  // Close has told the worker to end, and whether the session logic exists.
  std::size_t QueuedCalls() const;
  bool Terminated() const;
  bool HasLogic() const;

 private:
  // Executes `item`, the front of the queue; called without FQueueLock by
  // the item's own caller, who alone may touch FLogic and EventLogger then.
  void ExecuteNextCall(TRunMethod& item);
  // Makes the session logic, or leaves it empty and FCreationError set.
  void CreateLogic();
  void ExecuteCall(ISessionLogic* logic, TRunMethod& item);
  void Fail(TRunMethod& item, int32_t code, const std::string& message);
  // Whether the item is still queued; the caller holds FQueueLock.
  static bool IsInQueue(const TRunMethod& item) { return item.Queued; }

  const SessionLogicFactory FLogicFactory;
  const EventLogFactory FEventLogFactory;
  const TSessionEnvironment FEnvironment;

  mutable std::mutex FQueueLock;  // guards FQueue, FTerminated, FRunning, FRunner and every
                                  // queued item's Queued/Discarded
  std::condition_variable FQueueChanged;  // waiters: the front left, or terminate
  std::deque<TRunMethod*> FQueue;         // oldest first; the executing call stays at the front
  bool FTerminated = false;
  bool FRunning = false;          // the front item is being executed
  std::thread::id FRunner;        // the thread executing it

  // Used by the executing caller only, and by Close once nothing executes;
  // the queue lock orders one user's accesses before the next one's.
  std::unique_ptr<ISessionLogic> FLogic;
  std::unique_ptr<IEventLog> EventLogger;
  std::string FCreationError;  // why the session logic could not be created; empty when it was
  std::atomic<bool> FHasLogic{false};

  std::mutex FCloseLock;  // serialises Close; guards FClosed
  bool FClosed = false;
};

}  // namespace brevalon
