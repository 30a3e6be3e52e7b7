#include "server/session_thread.h"

#include <cstdio>
#include <cstring>

#include "protocol/data_type_exception.h"

namespace brevalon {

SessionLogicFactory DefaultSessionLogicFactory() {
  return [](const TSessionEnvironment& environment) -> std::unique_ptr<ISessionLogic> {
    return std::make_unique<TSessionLogic>(environment);
  };
}

TSessionThread::TSessionThread(SessionLogicFactory logicFactory, EventLogFactory eventLogFactory,
                               TSessionEnvironment environment)
    : FLogicFactory(std::move(logicFactory)),
      FEventLogFactory(std::move(eventLogFactory)),
      FEnvironment(std::move(environment)) {}

TSessionThread::~TSessionThread() { Close(); }

std::size_t TSessionThread::QueuedCalls() const {
  std::lock_guard lock(FQueueLock);
  return FQueue.size();
}

bool TSessionThread::Terminated() const {
  std::lock_guard lock(FQueueLock);
  return FTerminated;
}

bool TSessionThread::HasLogic() const { return FHasLogic.load(std::memory_order_acquire); }

void TSessionThread::Close() {
  std::lock_guard closeLock(FCloseLock);
  if (FClosed) return;
  FClosed = true;
  std::unique_ptr<ISessionLogic> logic;
  std::unique_ptr<IEventLog> eventLog;
  {
    std::unique_lock lock(FQueueLock);
    if (FRunning && FRunner == std::this_thread::get_id()) {
      // A call cannot wait for itself to finish; ending the worker here would
      // free the logic under its feet. A handler never owns its session's worker.
      std::fputs("TSessionThread::Close called from a call of its own session\n", stderr);
      std::terminate();
    }
    FTerminated = true;
    // The running call finishes and removes itself; nothing starts after it.
    FQueueChanged.wait(lock, [&] { return !FRunning; });
    for (TRunMethod* item : FQueue) {
      item->Discarded = true;
      item->Queued = false;
    }
    FQueue.clear();
    logic = std::move(FLogic);
    eventLog = std::move(EventLogger);
  }
  FQueueChanged.notify_all();
  FHasLogic.store(false, std::memory_order_release);
  // Freeing the logic closes the back-end connections: never under the lock.
  logic.reset();
  eventLog.reset();
}

std::optional<boost::json::object> TSessionThread::RunMethod(TMethodsNameType MethodsType,
                                                             int32_t& inReturnCode,
                                                             const std::vector<Variant>& Params,
                                                             std::string& stErrorMessage) {
  stErrorMessage.clear();
  try {
    auto item = std::make_unique<TRunMethod>();
    item->MethodsType = MethodsType;
    item->MethodName = std::string(MethodsNameTypeName(MethodsType));
    item->Params = Params;
    {
      std::unique_lock lock(FQueueLock);
      if (FTerminated) {
        item->Discarded = true;
      } else {
        FQueue.push_back(item.get());
        item->Queued = true;
        // This caller executes its own call once it is at the front and the
        // one before it has left, unless Close has begun: then Close takes
        // it out of the queue.
        FQueueChanged.wait(lock, [&] {
          return !IsInQueue(*item) || (FQueue.front() == item.get() && !FRunning && !FTerminated);
        });
        if (IsInQueue(*item)) {
          FRunning = true;
          FRunner = std::this_thread::get_id();
          lock.unlock();
          try {
            ExecuteNextCall(*item);
          } catch (...) {
            // ExecuteCall answers every failure itself; whatever escapes
            // still ends this call, so that the queue moves on.
            item->inReturnCode = kReturnFailure;
            item->stErrorMessage = "Unknown failure";
          }
          lock.lock();
          FQueue.pop_front();
          item->Queued = false;
          FRunning = false;
          FRunner = {};
        }
      }
    }
    FQueueChanged.notify_all();
    if (item->Discarded) {
      // The worker ended before this call ran; it was never executed.
      inReturnCode = kReturnFailure;
      stErrorMessage = kSessionClosedMessage;
    } else {
      inReturnCode = item->inReturnCode;
      stErrorMessage = item->stErrorMessage;
    }
    if (inReturnCode == kReturnOk) return std::move(item->ResultObj);
    // Never hand out a partly filled result.
    return boost::json::object{{"e", "e"}};
  } catch (const std::exception& e) {
    stErrorMessage = e.what();
    inReturnCode = kReturnFailure;
    return std::nullopt;
  }
}

void TSessionThread::ExecuteNextCall(TRunMethod& item) {
  // What kept the logic from being made (the settings file unreadable for a
  // moment, descriptors running out) may have passed: each call tries again
  // rather than the session failing for the rest of its life.
  if (!FLogic) CreateLogic();
  // The lock is free while the call runs: callers keep queuing behind it.
  ExecuteCall(FLogic.get(), item);
}

void TSessionThread::CreateLogic() {
  FCreationError.clear();
  try {
    if (FLogicFactory) FLogic = FLogicFactory(FEnvironment);
    if (!FLogic) throw Exception("The session logic was not created");
  } catch (const std::exception& e) {
    FCreationError = e.what();
  } catch (...) {
    FCreationError = "The session logic could not be created";
  }
  if (!FLogic && FCreationError.empty()) FCreationError = "The session logic could not be created";
  FHasLogic.store(FLogic != nullptr, std::memory_order_release);
}

void TSessionThread::Fail(TRunMethod& item, int32_t code, const std::string& message) {
  item.Error = std::current_exception();
  item.inReturnCode = code;
  item.stErrorMessage = message;
  try {
    if (!EventLogger && FEventLogFactory) EventLogger = FEventLogFactory();
    if (EventLogger) EventLogger->WriteError(message);
  } catch (...) {
    // Logging must never turn into a second failure of the call.
  }
}

void TSessionThread::ExecuteCall(ISessionLogic* logic, TRunMethod& item) {
  try {
    // A session without its logic serves every call with the reason.
    if (!logic) throw Exception(FCreationError);
    if (item.Params.empty()) throw Exception("The call carries no request text");
    const std::string text = item.Params.front().AsString();
    boost::json::object& result = item.ResultObj;
    switch (item.MethodsType) {
      case TMethodsNameType::stConnectToDB: logic->ConnectToDB(result, text); break;
      case TMethodsNameType::stGetTaskList: logic->GetTaskList(result, text); break;
      case TMethodsNameType::stGetTaskAttachments: logic->GetTaskAttachments(result, text); break;
      case TMethodsNameType::stGetCorrespondence: logic->GetCorrespondence(result, text); break;
      case TMethodsNameType::stSendMessage: logic->SendMessage(text); break;
      case TMethodsNameType::stSetTaskCorrespondenceRead: logic->SetTaskCorrespondenceRead(text); break;
      case TMethodsNameType::stGetFile: logic->GetFile(result, text); break;
      case TMethodsNameType::stSetStateForTask: logic->SetStateForTask(text); break;
      case TMethodsNameType::stGetUserList: logic->GetUserList(result, text); break;
      case TMethodsNameType::stCreateTask: logic->CreateTask(text); break;
      case TMethodsNameType::stEditTask: logic->EditTask(text); break;
      case TMethodsNameType::stSearchDocument: logic->SearchDocuments(result, text); break;
      case TMethodsNameType::stDeleteTask: logic->DeleteTask(text); break;
      default:
        throw Exception("Unknown method number " +
                        std::to_string(static_cast<int32_t>(item.MethodsType)));
    }
  } catch (const EConnectionException& e) {
    Fail(item, kReturnNotConnected, e.what());
  } catch (const EDataTypeException& e) {
    Fail(item, kReturnInvalidData, e.what());
  } catch (const std::exception& e) {
    Fail(item, kReturnFailure, e.what());
  } catch (...) {
    Fail(item, kReturnFailure, "Unknown failure");
  }
}

}  // namespace brevalon
