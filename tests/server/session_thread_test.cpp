#include "server/session_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <thread>

#include "fake_session_logic.h"
#include "protocol/data_type_exception.h"

namespace brevalon {
namespace {

using testing::FakeLogicFactory;
using testing::FakeLogicState;
using testing::Gate;
namespace json = boost::json;

struct Outcome {
  int32_t Code = -1;
  std::string Message;
  std::optional<json::object> Result;
};

Outcome Call(TSessionThread& worker, TMethodsNameType type, const std::string& text) {
  Outcome o;
  o.Message = "stale";
  o.Result = worker.RunMethod(type, o.Code, {Variant(text)}, o.Message);
  return o;
}

// Waits for a state another thread reaches; the test has no clock of its own.
template <class Pred>
void WaitUntil(Pred pred) {
  while (!pred()) std::this_thread::yield();
}

class SessionThreadTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakeLogicState> state = std::make_shared<FakeLogicState>();
  EventLogCapture log;

  std::unique_ptr<TSessionThread> MakeWorker() {
    return std::make_unique<TSessionThread>(FakeLogicFactory(state), log.Factory());
  }
  void SetBehaviour(testing::Behaviour b) {
    std::lock_guard lock(state->Mutex);
    state->Do = std::move(b);
  }
};

TEST_F(SessionThreadTest, EveryMethodNumberReachesItsOwnHandler) {
  struct Case {
    TMethodsNameType Type;
    const char* Handler;
    bool HasResult;
  };
  const Case cases[] = {
      {TMethodsNameType::stConnectToDB, "ConnectToDB", true},
      {TMethodsNameType::stGetTaskList, "GetTaskList", true},
      {TMethodsNameType::stGetTaskAttachments, "GetTaskAttachments", true},
      {TMethodsNameType::stGetCorrespondence, "GetCorrespondence", true},
      {TMethodsNameType::stSendMessage, "SendMessage", false},
      {TMethodsNameType::stSetTaskCorrespondenceRead, "SetTaskCorrespondenceRead", false},
      {TMethodsNameType::stGetFile, "GetFile", true},
      {TMethodsNameType::stSetStateForTask, "SetStateForTask", false},
      {TMethodsNameType::stGetUserList, "GetUserList", true},
      {TMethodsNameType::stCreateTask, "CreateTask", false},
      {TMethodsNameType::stEditTask, "EditTask", false},
      {TMethodsNameType::stSearchDocument, "SearchDocuments", true},
      {TMethodsNameType::stDeleteTask, "DeleteTask", false},
  };
  SetBehaviour([](const std::string& handler, json::object* result, const std::string&) {
    if (result) (*result)["BASE64"] = handler;
  });
  auto worker = MakeWorker();
  std::vector<std::string> expected;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Handler);
    EXPECT_EQ(MethodHasResult(c.Type), c.HasResult);
    const std::string text = std::string("req-") + c.Handler;
    Outcome o = Call(*worker, c.Type, text);
    EXPECT_EQ(o.Code, 0);
    EXPECT_EQ(o.Message, "");
    ASSERT_TRUE(o.Result);
    if (c.HasResult)
      EXPECT_EQ(*o.Result, (json::object{{"BASE64", c.Handler}}));
    else
      EXPECT_TRUE(o.Result->empty());
    expected.push_back(std::string(c.Handler) + ":" + text);
  }
  EXPECT_EQ(state->TakeCalls(), expected);
  EXPECT_TRUE(log.Entries().empty()) << "successful calls write nothing";
}

TEST_F(SessionThreadTest, FailuresAreClassifiedLoggedOnceAndAnswerEe) {
  struct Case {
    const char* Name;
    std::function<void()> Raise;
    int32_t Code;
    std::string Message;
  };
  const Case cases[] = {
      {"not signed in", [] { throw EConnectionException(kNotConnectedMessage); }, 404,
       "Соединение не установленно"},
      {"malformed data", [] { throw EDataTypeException(); }, 406, "Неверные данные"},
      {"own failure", [] { throw Exception("Process with id=[7] not found"); }, 1,
       "Process with id=[7] not found"},
      {"standard failure", [] { throw std::runtime_error("disk full"); }, 1, "disk full"},
      {"not an exception", [] { throw 42; }, 1, "Unknown failure"},
  };
  auto worker = MakeWorker();
  std::vector<std::string> expectedLog;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    SetBehaviour([&](const std::string&, json::object* result, const std::string&) {
      // A handler that fails half-way must not leak its partial result.
      if (result) (*result)["BASE64"] = "partial";
      c.Raise();
    });
    Outcome withResult = Call(*worker, TMethodsNameType::stGetTaskList, "x");
    EXPECT_EQ(withResult.Code, c.Code);
    EXPECT_EQ(withResult.Message, c.Message);
    ASSERT_TRUE(withResult.Result);
    EXPECT_EQ(*withResult.Result, (json::object{{"e", "e"}}));

    Outcome noResult = Call(*worker, TMethodsNameType::stSendMessage, "x");
    EXPECT_EQ(noResult.Code, c.Code);
    EXPECT_EQ(noResult.Message, c.Message);
    expectedLog.insert(expectedLog.end(), {c.Message, c.Message});
  }
  EXPECT_EQ(log.Entries(), expectedLog);

  // The worker survives every failure and the next call succeeds.
  SetBehaviour(nullptr);
  Outcome ok = Call(*worker, TMethodsNameType::stGetTaskList, "x");
  EXPECT_EQ(ok.Code, 0);
  EXPECT_EQ(ok.Message, "");
  EXPECT_EQ(log.Entries().size(), expectedLog.size());
}

// Threads of this process.
int ThreadCount() {
  int n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/task")) ++n;
  return n;
}

TEST_F(SessionThreadTest, AWorkerHoldsNoThreadAndMakesItsLogicAtTheFirstCall) {
  const int threads = ThreadCount();
  std::vector<std::unique_ptr<TSessionThread>> workers;
  for (int i = 0; i < 200; ++i) workers.push_back(MakeWorker());
  EXPECT_EQ(ThreadCount(), threads) << "a worker starts no thread";
  EXPECT_FALSE(workers.front()->HasLogic());
  {
    std::lock_guard lock(state->Mutex);
    EXPECT_EQ(state->Created, 0) << "nothing is made before a call needs it";
  }

  for (auto& w : workers) Call(*w, TMethodsNameType::stGetUserList, "x");
  EXPECT_TRUE(workers.front()->HasLogic());
  EXPECT_EQ(ThreadCount(), threads) << "an idle worker keeps no thread";
  {
    std::lock_guard lock(state->Mutex);
    EXPECT_EQ(state->Created, 200);
    // The call ran on the thread that made it, as did the logic's making.
    EXPECT_EQ(state->CalledOn, std::this_thread::get_id());
    EXPECT_EQ(state->CreatedOn, std::this_thread::get_id());
  }
  Call(*workers.front(), TMethodsNameType::stGetUserList, "y");
  workers.front()->Close();
  EXPECT_FALSE(workers.front()->HasLogic());
  workers.clear();
  std::lock_guard lock(state->Mutex);
  EXPECT_EQ(state->Created, 200) << "one logic per worker, kept between calls";
  EXPECT_EQ(state->Destroyed, 200) << "Close frees the session logic";
}

TEST_F(SessionThreadTest, ConcurrentCallsOfOneSessionRunOneAfterAnotherInQueueOrder) {
  Gate releaseFirst;
  std::atomic<bool> firstEntered{false};
  std::atomic<std::size_t> queuedWhenSecondRan{0};
  TSessionThread* workerPtr = nullptr;
  SetBehaviour([&](const std::string&, json::object* result, const std::string& text) {
    if (text == "first") {
      firstEntered = true;
      releaseFirst.Wait();
      if (result) (*result)["BASE64"] = "first done";
    } else {
      // The first call must already be out of the queue.
      queuedWhenSecondRan = workerPtr->QueuedCalls();
      if (result) (*result)["BASE64"] = "second done";
    }
  });
  auto worker = MakeWorker();
  workerPtr = worker.get();
  auto first = std::async(std::launch::async,
                          [&] { return Call(*worker, TMethodsNameType::stGetTaskList, "first"); });
  WaitUntil([&] { return firstEntered.load(); });
  auto second = std::async(std::launch::async,
                           [&] { return Call(*worker, TMethodsNameType::stGetTaskList, "second"); });
  WaitUntil([&] { return worker->QueuedCalls() == 2; });
  EXPECT_EQ(state->TakeCalls(), std::vector<std::string>{"GetTaskList:first"})
      << "the second call waits while the first runs";
  releaseFirst.Open();
  Outcome a = first.get();
  Outcome b = second.get();
  EXPECT_EQ(a.Code, 0);
  EXPECT_EQ(*a.Result, (json::object{{"BASE64", "first done"}}));
  EXPECT_EQ(b.Code, 0);
  EXPECT_EQ(*b.Result, (json::object{{"BASE64", "second done"}}));
  EXPECT_EQ(queuedWhenSecondRan.load(), 1u);
  EXPECT_EQ(state->TakeCalls(),
            (std::vector<std::string>{"GetTaskList:first", "GetTaskList:second"}));
}

TEST_F(SessionThreadTest, ManyCallersNeverOverlapAndAllComplete) {
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  SetBehaviour([&](const std::string&, json::object* result, const std::string& text) {
    if (inside.fetch_add(1) != 0) ++overlaps;
    if (result) (*result)["BASE64"] = text;
    inside.fetch_sub(1);
  });
  auto worker = MakeWorker();
  constexpr int kThreads = 8;
  constexpr int kCalls = 40;
  std::vector<std::future<int>> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.push_back(std::async(std::launch::async, [&, t] {
      int good = 0;
      for (int i = 0; i < kCalls; ++i) {
        const std::string text = std::to_string(t) + "/" + std::to_string(i);
        Outcome o = Call(*worker, TMethodsNameType::stGetCorrespondence, text);
        if (o.Code == 0 && o.Result && *o.Result == json::object{{"BASE64", text}}) ++good;
      }
      return good;
    }));
  }
  int good = 0;
  for (auto& c : callers) good += c.get();
  EXPECT_EQ(good, kThreads * kCalls) << "every caller gets its own result";
  EXPECT_EQ(overlaps.load(), 0);
}

TEST_F(SessionThreadTest, CloseWaitsForTheRunningCallAndDiscardsTheQueuedOnes) {
  Gate releaseLong;
  std::atomic<bool> longEntered{false};
  SetBehaviour([&](const std::string&, json::object* result, const std::string& text) {
    if (text == "long") {
      longEntered = true;
      releaseLong.Wait();
      if (result) (*result)["BASE64"] = "long done";
    }
  });
  auto worker = MakeWorker();
  auto running = std::async(std::launch::async,
                            [&] { return Call(*worker, TMethodsNameType::stGetTaskList, "long"); });
  WaitUntil([&] { return longEntered.load(); });
  auto queuedWithResult = std::async(
      std::launch::async, [&] { return Call(*worker, TMethodsNameType::stGetUserList, "queued-1"); });
  auto queuedWithout = std::async(
      std::launch::async, [&] { return Call(*worker, TMethodsNameType::stDeleteTask, "queued-2"); });
  WaitUntil([&] { return worker->QueuedCalls() == 3; });

  std::atomic<bool> closeReturned{false};
  auto closing = std::async(std::launch::async, [&] {
    worker->Close();
    closeReturned = true;
  });
  WaitUntil([&] { return worker->Terminated(); });
  EXPECT_FALSE(closeReturned.load()) << "Close returned while a call was still running";
  releaseLong.Open();
  closing.get();

  Outcome done = running.get();
  EXPECT_EQ(done.Code, 0) << "the running call completes normally";
  EXPECT_EQ(*done.Result, (json::object{{"BASE64", "long done"}}));
  for (auto* f : {&queuedWithResult, &queuedWithout}) {
    Outcome o = f->get();
    EXPECT_EQ(o.Code, 1);
    EXPECT_EQ(o.Message, kSessionClosedMessage);
    ASSERT_TRUE(o.Result);
    EXPECT_EQ(*o.Result, (json::object{{"e", "e"}}));
  }
  EXPECT_EQ(state->TakeCalls(), std::vector<std::string>{"GetTaskList:long"})
      << "queued calls are never executed";
  {
    std::lock_guard lock(state->Mutex);
    EXPECT_EQ(state->Destroyed, 1);
  }
  EXPECT_TRUE(log.Entries().empty()) << "a discarded call is not a failure of the session";

  // Later calls answer at once; Close again is harmless.
  Outcome late = Call(*worker, TMethodsNameType::stGetTaskList, "late");
  EXPECT_EQ(late.Code, 1);
  EXPECT_EQ(late.Message, kSessionClosedMessage);
  worker->Close();
  EXPECT_EQ(state->TakeCalls().size(), 1u);
}

TEST_F(SessionThreadTest, ConcurrentClosesAllReturnAfterTheWorkerEnded) {
  auto worker = MakeWorker();
  Call(*worker, TMethodsNameType::stGetTaskList, "x");
  std::vector<std::future<void>> closers;
  for (int i = 0; i < 4; ++i)
    closers.push_back(std::async(std::launch::async, [&] {
      worker->Close();
      std::lock_guard lock(state->Mutex);
      EXPECT_EQ(state->Destroyed, 1);
    }));
  for (auto& c : closers) c.get();
  worker.reset();  // the destructor closes once more
  EXPECT_EQ(state->Destroyed, 1);
}

TEST_F(SessionThreadTest, FailedLogicCreationAnswersEveryCallWithItsReason) {
  Gate letCreationFail;
  const std::string reason = "Ini file [/x/BrevalonMobileSettings.ini] not found.";
  SessionLogicFactory failing = [&](const TSessionEnvironment&) -> std::unique_ptr<ISessionLogic> {
    letCreationFail.Wait();
    throw Exception(reason);
  };
  TSessionThread worker(failing, log.Factory());
  // A call queued while the logic is still being created...
  auto queued = std::async(std::launch::async,
                           [&] { return Call(worker, TMethodsNameType::stConnectToDB, "x"); });
  WaitUntil([&] { return worker.QueuedCalls() == 1; });
  letCreationFail.Open();
  Outcome first = queued.get();
  // ...and one after it.
  Outcome later = Call(worker, TMethodsNameType::stSendMessage, "y");
  for (const Outcome* o : {&first, &later}) {
    EXPECT_EQ(o->Code, 1);
    EXPECT_EQ(o->Message, reason);
  }
  ASSERT_TRUE(first.Result);
  EXPECT_EQ(*first.Result, (json::object{{"e", "e"}}));
  EXPECT_EQ(log.Entries(), (std::vector<std::string>{reason, reason}));
  worker.Close();
}

// What kept the logic from being made may pass (descriptors ran out for a
// moment): the next call makes it, and from then on it is kept.
TEST_F(SessionThreadTest, TheNextCallMakesTheLogicThatCouldNotBeMade) {
  int attempts = 0;  // one call at a time touches it
  SessionLogicFactory flaky = [&, make = FakeLogicFactory(state)](
                                  const TSessionEnvironment& env) -> std::unique_ptr<ISessionLogic> {
    // Fails for the first call.
    if (++attempts <= 1) throw Exception("Cannot open the settings file: Too many open files");
    return make(env);
  };
  TSessionThread worker(flaky, log.Factory());
  const Outcome first = Call(worker, TMethodsNameType::stSendMessage, "a");
  EXPECT_EQ(first.Code, 1);
  EXPECT_EQ(first.Message, "Cannot open the settings file: Too many open files");
  for (const char* text : {"b", "c"}) {
    const Outcome next = Call(worker, TMethodsNameType::stSendMessage, text);
    EXPECT_EQ(next.Code, 0) << next.Message;
  }
  worker.Close();
  EXPECT_EQ(attempts, 2);
}

TEST_F(SessionThreadTest, AnArgumentThatIsNotTextFailsTheCallNotTheWorker) {
  auto worker = MakeWorker();
  int32_t code = -1;
  std::string message;
  auto result = worker->RunMethod(TMethodsNameType::stGetTaskList, code, {Variant::Null()}, message);
  EXPECT_EQ(code, 1);
  EXPECT_FALSE(message.empty());
  ASSERT_TRUE(result);
  EXPECT_EQ(*result, (json::object{{"e", "e"}}));
  result = worker->RunMethod(TMethodsNameType::stGetTaskList, code, {}, message);
  EXPECT_EQ(code, 1);
  EXPECT_EQ(Call(*worker, TMethodsNameType::stGetTaskList, "ok").Code, 0);
  EXPECT_TRUE(state->TakeCalls() == std::vector<std::string>{"GetTaskList:ok"});
}

}  // namespace
}  // namespace brevalon
