#include "server/session_thread.h"

#include <cstdio>
#include <cstring>

#include "protocol/data_type_exception.h"

namespace brevalon {

namespace {

// Sanitizers keep their own bookkeeping on the stack; give them room.
#if defined(BREVALON_ASAN) || defined(BREVALON_TSAN)
constexpr std::size_t kWorkerStackSize = 1024 * 1024;
#else
constexpr std::size_t kWorkerStackSize = 256 * 1024;
#endif

}  // namespace

SessionLogicFactory DefaultSessionLogicFactory() {
  return []() -> std::unique_ptr<ISessionLogic> { return std::make_unique<TSessionLogic>(); };
}

std::size_t TSessionThread::StackSize() { return kWorkerStackSize; }

TSessionThread::TSessionThread(SessionLogicFactory logicFactory, EventLogFactory eventLogFactory)
    : FLogicFactory(std::move(logicFactory)), FEventLogFactory(std::move(eventLogFactory)) {
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc == 0) {
    rc = pthread_attr_setstacksize(&attr, kWorkerStackSize);
    if (rc == 0) rc = pthread_create(&FThread, &attr, &TSessionThread::ThreadMain, this);
    pthread_attr_destroy(&attr);
  }
  if (rc != 0) {
    // No thread to join later.
    FClosed = true;
    throw Exception(std::string("Can not create the session thread: ") + std::strerror(rc));
  }
}

TSessionThread::~TSessionThread() { Close(); }

std::size_t TSessionThread::QueuedCalls() const {
  std::lock_guard lock(FQueueLock);
  return FQueue.size();
}

bool TSessionThread::Terminated() const {
  std::lock_guard lock(FQueueLock);
  return FTerminated;
}

void* TSessionThread::ThreadMain(void* self) {
  static_cast<TSessionThread*>(self)->Execute();
  return nullptr;
}

void TSessionThread::Close() {
  std::lock_guard closeLock(FCloseLock);
  if (FClosed) return;
  FClosed = true;
  if (pthread_equal(pthread_self(), FThread)) {
    // A worker cannot wait for itself; ending it here would free the object
    // under its own feet. A handler never owns its session's worker.
    std::fputs("TSessionThread::Close called on its own thread\n", stderr);
    std::terminate();
  }
  {
    std::lock_guard lock(FQueueLock);
    FTerminated = true;
  }
  FQueueChanged.notify_all();
  // The worker finishes the call it is executing, removes it, leaves its
  // loop and frees the session logic.
  pthread_join(FThread, nullptr);
  {
    std::lock_guard lock(FQueueLock);
    for (TRunMethod* item : FQueue) {
      item->Discarded = true;
      item->Queued = false;
    }
    FQueue.clear();
  }
  FItemDone.notify_all();
  EventLogger.reset();
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
        FQueueChanged.notify_one();
        FItemDone.wait(lock, [&] { return !IsInQueue(*item); });
      }
    }
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

void TSessionThread::Execute() {
  try {
    if (FEventLogFactory) EventLogger = FEventLogFactory();
  } catch (...) {
    // Without a writer the worker still serves its calls; failures then go unlogged.
    EventLogger.reset();
  }
  std::unique_ptr<ISessionLogic> logic;
  CreateLogic(logic);
  while (ExecuteNextCall(logic)) {
  }
  logic.reset();
}

void TSessionThread::CreateLogic(std::unique_ptr<ISessionLogic>& logic) {
  FCreationError.clear();
  try {
    if (FLogicFactory) logic = FLogicFactory();
    if (!logic) throw Exception("The session logic was not created");
  } catch (const std::exception& e) {
    FCreationError = e.what();
  } catch (...) {
    FCreationError = "The session logic could not be created";
  }
  if (!logic && FCreationError.empty()) FCreationError = "The session logic could not be created";
}

bool TSessionThread::ExecuteNextCall(std::unique_ptr<ISessionLogic>& logic) {
  TRunMethod* item = nullptr;
  {
    std::unique_lock lock(FQueueLock);
    FQueueChanged.wait(lock, [&] { return FTerminated || !FQueue.empty(); });
    if (FTerminated) return false;
    item = FQueue.front();
  }
  // What kept the logic from being made (the settings file unreadable for a
  // moment, descriptors running out) may have passed: each call tries again
  // rather than the session failing for the rest of its life.
  if (!logic) CreateLogic(logic);
  // The lock is free while the call runs: callers keep queuing behind it.
  ExecuteCall(logic.get(), *item);
  {
    std::lock_guard lock(FQueueLock);
    FQueue.pop_front();
    item->Queued = false;
  }
  FItemDone.notify_all();
  return true;
}

void TSessionThread::Fail(TRunMethod& item, int32_t code, const std::string& message) {
  item.Error = std::current_exception();
  item.inReturnCode = code;
  item.stErrorMessage = message;
  if (EventLogger) {
    try {
      EventLogger->WriteError(message);
    } catch (...) {
      // Logging must never turn into a second failure of the call.
    }
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
