// The remote-method framework as the gateway's server code sees it: a server
// class described by its methods (names, parameters, directions, kinds), the
// per-client session with its object store, and the connect notification.
// The transports (HTTP REST in http_server.* and rest_router.*, TCP in
// tcp_transport.*) and the session manager (session_manager.*) build on these
// types; the gateway's TServerMethods fills a ServerClass and never sees a
// socket.
//
// Threads: a Method's Invoke runs on a framework call thread and may block
// for as long as the session's worker needs; a DsSession may be used by
// several call threads at once (its object store has its own lock).
#pragma once

#include <atomic>
#include <boost/json.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace brevalon {

// Kinds of values the framework marshals, with their DBX type numbers as the
// metadata methods publish them.
enum class ParamKind : int32_t {
  Boolean = 4,
  Int32 = 6,
  Text = 26,
  Stream = 33,
  JsonValue = 37,
};

// Directions as the metadata publishes them.
enum class ParamDirection : int32_t {
  In = 1,
  Out = 2,
  InOut = 3,
  Return = 4,
};

struct ParamInfo {
  std::string Name;
  ParamDirection Direction;
  ParamKind Kind;
};

// An object a session keeps under a key. Close ends whatever the object runs
// (a worker thread, say); the framework calls it when the session ends, then
// drops its reference. Close must be idempotent and may be called from any
// thread but the object's own.
class SessionObject {
 public:
  virtual ~SessionObject() = default;
  virtual void Close() {}
};

// One client session: an id, the address of the client that opened it, an
// object store whose keys compare without regard to letter case, and whether
// the client has signed in (the server class says so; the framework keeps
// sessions that never signed in in a bounded pool and sheds them first).
// Shared by every call of the session; all members are safe to call from
// several threads.
class DsSession {
 public:
  explicit DsSession(std::string id, std::string peerAddress = {})
      : FId(std::move(id)), FPeerAddress(std::move(peerAddress)) {}
  DsSession(const DsSession&) = delete;
  DsSession& operator=(const DsSession&) = delete;

  const std::string& Id() const { return FId; }
  // The client's address as the transport saw it ("127.0.0.1", "::1");
  // empty when unknown.
  const std::string& PeerAddress() const { return FPeerAddress; }

  // Once signed in, a session stays so for the rest of its life.
  void MarkSignedIn() { FSignedIn.store(true, std::memory_order_release); }
  bool SignedIn() const { return FSignedIn.load(std::memory_order_acquire); }

  // The object under `key`, or null.
  std::shared_ptr<SessionObject> Find(const std::string& key) const;
  // The object under `key`; when there is none, the one `create` makes is
  // stored first. Look-up and creation are one indivisible step.
  std::shared_ptr<SessionObject> FindOrCreate(
      const std::string& key, const std::function<std::shared_ptr<SessionObject>()>& create);
  // Removes the object under `key` and hands it over (null when none). The
  // caller decides whether to Close it.
  std::shared_ptr<SessionObject> Take(const std::string& key);
  // Closes and drops every stored object; used when the session ends.
  void CloseAll();

 private:
  const std::string FId;
  const std::string FPeerAddress;
  std::atomic<bool> FSignedIn{false};
  mutable std::mutex FMutex;  // guards FObjects
  std::vector<std::pair<std::string, std::shared_ptr<SessionObject>>> FObjects;
};

// What a method call sees: its session and its inputs (In and InOut
// parameters in declaration order, converted to the declared kinds; a missing
// or "null" input is a JSON null). Invoke returns the result array: Out and
// InOut parameters in declaration order, then the return value if the method
// has one. A Stream value is a JSON array of byte values, a JsonValue any
// JSON value (null for "no object").
struct MethodCall {
  DsSession& Session;
  std::vector<boost::json::value> Inputs;
};

struct Method {
  std::string Name;
  std::vector<ParamInfo> Params;  // the Return entry, if any, comes last
  std::function<boost::json::array(MethodCall&)> Invoke;
};

// The server class whose methods clients call (TServerMethods here) and the
// session binding handlers.
struct ServerClass {
  std::string Name;
  std::vector<Method> Methods;  // in declaration order (metadata lists them so)
  // Called on the calling thread before a call is dispatched, each time a
  // client connects (once per HTTP request, once per TCP connection).
  std::function<void(DsSession&)> OnConnect;
  std::function<void(DsSession&)> OnDisconnect;
};

}  // namespace brevalon
