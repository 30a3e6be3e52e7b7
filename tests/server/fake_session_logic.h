// A session logic for the worker's tests: every handler records its call and
// then runs the test's behaviour, which may fill the result, raise or block.
// The behaviour runs on the thread of the call; the shared state is guarded.
#pragma once

#include <boost/json.hpp>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/session_thread.h"
#include "session/session_logic.h"

namespace brevalon::testing {

// What a handler call saw; the result pointer is null for handlers without one.
using Behaviour =
    std::function<void(const std::string& handler, boost::json::object* result, const std::string& text)>;

// State shared by the test and the fake logics it makes (outlives them).
struct FakeLogicState {
  std::mutex Mutex;
  std::vector<std::string> Calls;  // "Handler:text", in execution order
  std::thread::id CreatedOn;
  std::thread::id CalledOn;
  std::thread::id DestroyedOn;
  int Created = 0;
  int Destroyed = 0;
  Behaviour Do;  // may be empty

  std::vector<std::string> TakeCalls() {
    std::lock_guard lock(Mutex);
    return Calls;
  }
};

class FakeSessionLogic : public ISessionLogic {
 public:
  explicit FakeSessionLogic(std::shared_ptr<FakeLogicState> state) : S(std::move(state)) {
    std::lock_guard lock(S->Mutex);
    S->CreatedOn = std::this_thread::get_id();
    ++S->Created;
  }
  ~FakeSessionLogic() override {
    std::lock_guard lock(S->Mutex);
    S->DestroyedOn = std::this_thread::get_id();
    ++S->Destroyed;
  }

  void ConnectToDB(boost::json::object& r, const std::string& t) override { Run("ConnectToDB", &r, t); }
  void GetTaskList(boost::json::object& r, const std::string& t) override { Run("GetTaskList", &r, t); }
  void GetTaskAttachments(boost::json::object& r, const std::string& t) override {
    Run("GetTaskAttachments", &r, t);
  }
  void SearchDocuments(boost::json::object& r, const std::string& t) override {
    Run("SearchDocuments", &r, t);
  }
  void GetCorrespondence(boost::json::object& r, const std::string& t) override {
    Run("GetCorrespondence", &r, t);
  }
  void SetTaskCorrespondenceRead(const std::string& t) override {
    Run("SetTaskCorrespondenceRead", nullptr, t);
  }
  void SendMessage(const std::string& t) override { Run("SendMessage", nullptr, t); }
  void GetFile(boost::json::object& r, const std::string& t) override { Run("GetFile", &r, t); }
  void SetStateForTask(const std::string& t) override { Run("SetStateForTask", nullptr, t); }
  void GetUserList(boost::json::object& r, const std::string& t) override { Run("GetUserList", &r, t); }
  void CreateTask(const std::string& t) override { Run("CreateTask", nullptr, t); }
  void EditTask(const std::string& t) override { Run("EditTask", nullptr, t); }
  void DeleteTask(const std::string& t) override { Run("DeleteTask", nullptr, t); }

 private:
  void Run(const std::string& handler, boost::json::object* result, const std::string& text) {
    Behaviour behaviour;
    {
      std::lock_guard lock(S->Mutex);
      S->Calls.push_back(handler + ":" + text);
      S->CalledOn = std::this_thread::get_id();
      behaviour = S->Do;
    }
    if (behaviour) behaviour(handler, result, text);
  }

  std::shared_ptr<FakeLogicState> S;
};

inline SessionLogicFactory FakeLogicFactory(std::shared_ptr<FakeLogicState> state) {
  return [state](const TSessionEnvironment&) -> std::unique_ptr<ISessionLogic> {
    return std::make_unique<FakeSessionLogic>(state);
  };
}

// A gate a handler waits at until the test opens it.
class Gate {
 public:
  void Open() {
    {
      std::lock_guard lock(FMutex);
      FOpen = true;
    }
    FCv.notify_all();
  }
  void Wait() {
    std::unique_lock lock(FMutex);
    FCv.wait(lock, [&] { return FOpen; });
  }

 private:
  std::mutex FMutex;
  std::condition_variable FCv;
  bool FOpen = false;
};

}  // namespace brevalon::testing
