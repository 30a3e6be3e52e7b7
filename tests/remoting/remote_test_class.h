// A small server class for the remote-method framework's tests: methods of
// every parameter kind and direction, one that fails, one that blocks until
// the test releases it, and probes that record when a session closes them.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "remoting/remote_methods.h"
#include "util/exception.h"

namespace brevalon::testing {

// Stored in a session by Echo; records Close.
struct Probe : SessionObject {
  std::atomic<int> Closed{0};
  std::string SessionId;
  void Close() override { ++Closed; }
};

class TestMethods {
 public:
  // Probes made so far, in order.
  std::vector<std::shared_ptr<Probe>> Probes() {
    std::lock_guard lock(FMutex);
    return FProbes;
  }
  std::atomic<int> Connects{0};
  std::atomic<int> Ends{0};

  // Block: waits until Release(); answers true when released, false after 20 s.
  void Release() {
    {
      std::lock_guard lock(FMutex);
      FReleased = true;
    }
    FWake.notify_all();
  }
  // Waits until `n` Block calls are inside; false after 20 s.
  bool WaitEntered(int n) {
    std::unique_lock lock(FMutex);
    return FWake.wait_for(lock, std::chrono::seconds(20), [&] { return FEntered >= n; });
  }

  ServerClass Build() {
    using K = ParamKind;
    using D = ParamDirection;
    ServerClass c;
    c.Name = "TTest";
    c.OnConnect = [this](DsSession&) { ++Connects; };
    c.OnDisconnect = [this](DsSession&) { ++Ends; };
    c.Methods.push_back(Method{"Echo",
                               {{"Text", D::In, K::Text},
                                {"Length", D::Out, K::Int32},
                                {"Upper", D::Out, K::Text},
                                {"ReturnParameter", D::Return, K::JsonValue}},
                               [this](MethodCall& call) { return Echo(call); }});
    c.Methods.push_back(Method{"Types",
                               {{"T", D::In, K::Text},
                                {"I", D::In, K::Int32},
                                {"B", D::In, K::Boolean},
                                {"J", D::In, K::JsonValue},
                                {"S", D::In, K::Stream},
                                {"ReturnParameter", D::Return, K::JsonValue}},
                               [](MethodCall& call) {
                                 // One result, the inputs as an array. Not array{in}: g++
                                 // and clang disagree whether that copies or nests.
                                 boost::json::array result;
                                 result.emplace_back(
                                     boost::json::array(call.Inputs.begin(), call.Inputs.end()));
                                 return result;
                               }});
    c.Methods.push_back(
        Method{"GetStream",
               {{"S", D::Out, K::Stream}, {"ReturnParameter", D::Return, K::Boolean}},
               [](MethodCall&) {
                 boost::json::array bytes;
                 for (char ch : std::string("eitup")) bytes.emplace_back(static_cast<int>(ch));
                 return boost::json::array{bytes, true};
               }});
    c.Methods.push_back(
        Method{"Swap", {{"X", D::InOut, K::Int32}, {"Y", D::In, K::Int32}}, [](MethodCall& call) {
                 return boost::json::array{call.Inputs.at(1), call.Inputs.at(0)};
               }});
    for (const char* prefix : {"", "update", "accept", "cancel"}) {
      const std::string tag = *prefix ? prefix : "get";
      c.Methods.push_back(Method{std::string(prefix) + "Thing",
                                 {{"V", D::In, K::Text}, {"ReturnParameter", D::Return, K::Text}},
                                 [tag](MethodCall& call) {
                                   const auto& v = call.Inputs.at(0);
                                   return boost::json::array{
                                       tag + ":" +
                                       (v.is_string() ? std::string(v.as_string()) : "null")};
                                 }});
    }
    c.Methods.push_back(Method{
        "Fail", {}, [](MethodCall&) -> boost::json::array { throw Exception("Сбой метода"); }});
    c.Methods.push_back(
        Method{"Block", {{"ReturnParameter", D::Return, K::Boolean}}, [this](MethodCall&) {
                 std::unique_lock lock(FMutex);
                 ++FEntered;
                 FWake.notify_all();
                 const bool released =
                     FWake.wait_for(lock, std::chrono::seconds(20), [&] { return FReleased; });
                 return boost::json::array{released};
               }});
    return c;
  }

 private:
  boost::json::array Echo(MethodCall& call) {
    call.Session.FindOrCreate("probe", [&] {
      auto p = std::make_shared<Probe>();
      p->SessionId = call.Session.Id();
      std::lock_guard lock(FMutex);
      FProbes.push_back(p);
      return p;
    });
    const auto& v = call.Inputs.at(0);
    if (!v.is_string()) return {0, "", nullptr};
    std::string upper(v.as_string());
    for (char& ch : upper)
      if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
    return {static_cast<int>(v.as_string().size()), upper, boost::json::object{{"text", v}}};
  }

  std::mutex FMutex;  // guards everything below
  std::condition_variable FWake;
  std::vector<std::shared_ptr<Probe>> FProbes;
  int FEntered = 0;
  bool FReleased = false;
};

}  // namespace brevalon::testing
