// TServerMethods: the remote methods the framework offers to mobile clients,
// and the session binding (ServerConnect, ServerDisconnect, GetServerClass).
// Thirteen request methods hand their request text to the session's worker
// (TSessionThread, kept in the session under "connection") and answer what it
// produced; GetStream answers a fixed test stream; CloseSession ends the
// worker.
//
// Holds the factories its workers are made with, the process's event log and
// its sign-in throttle; the methods run on the framework's call threads,
// concurrently, and take no lock of their own. A session whose ConnectToDB
// succeeded is marked signed in, so that the framework never sheds it.
#pragma once

#include <boost/json.hpp>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "remoting/remote_methods.h"
#include "server/event_log.h"
#include "server/method_names.h"
#include "server/session_thread.h"
#include "session/sign_in_throttle.h"

namespace brevalon {

inline constexpr const char* kServerMethodsClassName = "TServerMethods";
// The key of the session's worker in its object store.
inline constexpr const char* kSessionThreadKey = "connection";
// GetStream's fixed answer.
inline constexpr const char* kTestStreamText = "eitupweirtpwietupwe";

// How the workers of the sessions are made; tests inject their own.
struct ServerMethodsOptions {
  SessionLogicFactory LogicFactory = DefaultSessionLogicFactory();
  EventLogFactory EventLog = SyslogEventLogFactory();
  // The process's sign-in throttle, shared by every session.
  SignInThrottleOptions Throttle = {};
};

class TServerMethods {
 public:
  explicit TServerMethods(ServerMethodsOptions options = {});

  // The server class the framework serves: the fifteen methods in their
  // declared order with their published parameter names, and the connect and
  // disconnect handlers. The returned class refers to this object, which must
  // outlive the server that serves it.
  ServerClass GetServerClass();

  // Session binding.
  void ServerConnect(DsSession& session);
  void ServerDisconnect(DsSession& session);

  // The request methods. A method with a result answers the worker's JSON
  // object, or nothing when the session holds no worker (then inReturnCode
  // is left as the caller set it and stErrorMessage is empty).
  std::optional<boost::json::object> CallWithResult(DsSession& session, TMethodsNameType method,
                                                    const std::string& text, int32_t& inReturnCode,
                                                    std::string& stErrorMessage);
  void CallWithoutResult(DsSession& session, TMethodsNameType method, const std::string& text,
                         int32_t& inReturnCode, std::string& stErrorMessage);

  // The process's own event-log entries (limits, throttled sign-ins).
  SharedEventLog& EventLog() { return FEventLog; }
  SignInThrottle& Throttle() { return FThrottle; }

  // The 19 bytes of "eitupweirtpwietupwe"; always true.
  bool GetStream(std::vector<uint8_t>& S);
  // Takes the session's worker out of its store and ends it; nothing when none.
  void CloseSession(DsSession& session);

 private:
  std::shared_ptr<TSessionThread> FindSessionThread(DsSession& session);

  const ServerMethodsOptions FOptions;
  SharedEventLog FEventLog;
  SignInThrottle FThrottle;
};

}  // namespace brevalon
