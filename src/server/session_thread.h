// TSessionThread: the worker thread of one remote session. Remote methods run
// on the framework's threads; each wraps its call into a TRunMethod, queues it
// with RunMethod and blocks until the worker has executed it. The worker owns
// the session's logic (created, used and freed on the worker thread, so every
// back-end connection of the session belongs to that one thread), executes the
// queued calls strictly one at a time in queue order, turns every failure into
// a return code and message and writes it to the event log.
//
// Owned by the session's object store under "connection" (TServerMethods);
// shared with the framework threads that are waiting in RunMethod. Close ends
// the worker; RunMethod may be called from any number of threads at once.
#pragma once

#include <pthread.h>

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

using SessionLogicFactory = std::function<std::unique_ptr<ISessionLogic>()>;

// Makes a TSessionLogic (reads the settings file).
SessionLogicFactory DefaultSessionLogicFactory();

class TSessionThread final : public SessionObject {
 public:
  // Starts the worker thread at once. The thread itself calls both factories:
  // first the event-log writer, then the session logic. Raises
  // brevalon::Exception when the thread cannot be created.
  explicit TSessionThread(SessionLogicFactory logicFactory = DefaultSessionLogicFactory(),
                          EventLogFactory eventLogFactory = SyslogEventLogFactory());
  // Close.
  ~TSessionThread() override;
  TSessionThread(const TSessionThread&) = delete;
  TSessionThread& operator=(const TSessionThread&) = delete;

  // Ends the worker: tells it to terminate, waits until it has finished the
  // call it is executing (if any) and freed the session logic, discards the
  // calls still queued (their callers answer 1 "Сеанс закрыт"), and frees the
  // event-log writer. Idempotent; concurrent callers all return after the
  // worker has ended. Never call it from the worker thread itself.
  void Close() override;

  // Queues the call and blocks until the worker has executed it (no time
  // limit: a call runs as long as its back-end work takes) or Close has
  // discarded it. On return inReturnCode and stErrorMessage hold the outcome.
  // The result is the handler's result object on success, {"e":"e"} when the
  // call failed, and nothing when queuing itself failed. Callers of methods
  // without a result drop it.
  std::optional<boost::json::object> RunMethod(TMethodsNameType MethodsType, int32_t& inReturnCode,
                                               const std::vector<Variant>& Params,
                                               std::string& stErrorMessage);

  // Diagnostics: calls in the queue (the executing one included), and
  // whether Close has told the worker to end.
  std::size_t QueuedCalls() const;
  bool Terminated() const;

  // Stack of each worker thread: the session's handlers need little, and ten
  // thousand idle sessions must stay small.
  static std::size_t StackSize();

 private:
  static void* ThreadMain(void* self);
  void Execute();
  // One pass of the worker's loop; false once the worker was told to end.
  // Makes the session logic, or leaves `logic` empty and FCreationError set.
  void CreateLogic(std::unique_ptr<ISessionLogic>& logic);
  bool ExecuteNextCall(std::unique_ptr<ISessionLogic>& logic);
  void ExecuteCall(ISessionLogic* logic, TRunMethod& item);
  void Fail(TRunMethod& item, int32_t code, const std::string& message);
  // Whether the item is still queued; the caller holds FQueueLock.
  static bool IsInQueue(const TRunMethod& item) { return item.Queued; }

  const SessionLogicFactory FLogicFactory;
  const EventLogFactory FEventLogFactory;

  mutable std::mutex FQueueLock;  // guards FQueue, FTerminated and every queued item's Queued/Discarded
  std::condition_variable FQueueChanged;  // the worker waits: an item appended, or terminate
  std::condition_variable FItemDone;      // callers wait: an item left the queue
  std::deque<TRunMethod*> FQueue;         // oldest first; the executing call stays at the front
  bool FTerminated = false;

  // Written by the worker thread; read or freed by Close only after the join.
  std::unique_ptr<IEventLog> EventLogger;
  std::string FCreationError;  // why the session logic could not be created; empty when it was

  std::mutex FCloseLock;  // serialises Close; guards FClosed
  bool FClosed = false;
  pthread_t FThread{};
};

}  // namespace brevalon
