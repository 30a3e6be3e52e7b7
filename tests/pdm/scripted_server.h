// ScriptedServer: an application server for tests, on the real remote data
// connection over TCP (127.0.0.1, a free port). It serves both proxy server
// classes, records every call and property read with its arguments as they
// arrived, and answers as the test tells it: a result, values written into
// by-reference arguments, an error pair, a failure description, an unknown
// name. Restart() drops every open connection and listens again on the same
// port, as a server that went away and came back.
//
// The test thread scripts and inspects; the server's handler threads record
// and answer. Both sides go through one mutex.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "data/dataset.h"
#include "rdc/rdc_server.h"
#include "data/variant.h"

namespace brevalon::testing {

// One argument as the server received it.
struct WireArg {
  Variant value;
  bool byRef = false;
};
bool operator==(const WireArg& a, const WireArg& b);
std::ostream& operator<<(std::ostream& os, const WireArg& arg);

// Shorthands for expected argument lists.
inline WireArg Val(Variant v) { return WireArg{std::move(v), false}; }
inline WireArg Ref(Variant v) { return WireArg{std::move(v), true}; }

struct RecordedCall {
  std::string serverClass;
  std::string identity;
  std::string name;
  bool property = false;
  std::vector<WireArg> args;
};

// How the server answers one call. By default: an empty result and, when the
// call carries an error pair, 0 and an empty message written into it.
struct Reply {
  Variant result;
  // Values written into by-reference arguments, by argument position.
  std::map<size_t, Variant> writes;
  // Written into the last two arguments (the error pair) when set.
  std::optional<Variant> errorCode;
  std::string errorMessage;
  // The call fails with this description instead of answering.
  std::optional<std::string> failure;
  // The call fails in name resolution.
  bool unknownName = false;

  static Reply Result(Variant v) {
    Reply r;
    r.result = std::move(v);
    return r;
  }
  static Reply Error(Variant code, std::string message) {
    Reply r;
    r.errorCode = std::move(code);
    r.errorMessage = std::move(message);
    return r;
  }
  static Reply Failure(std::string description) {
    Reply r;
    r.failure = std::move(description);
    return r;
  }
  static Reply UnknownName() {
    Reply r;
    r.unknownName = true;
    return r;
  }
  // A data packet holding `ds`.
  static Reply Packet(const Dataset& ds) { return Result(Variant(ds.SaveToBytes())); }
};

using Script = std::function<Reply(const RecordedCall&)>;

class ScriptedServer {
 public:
  ScriptedServer();
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  uint16_t Port() const { return port_; }

  // Answers for an operation or property name (the latest script wins).
  void On(const std::string& name, Script script);
  void On(const std::string& name, Reply reply);
  // Makes calls of `name` block until Release(); for timeouts.
  void Hold(const std::string& name);
  void Release();

  std::vector<RecordedCall> Calls() const;
  // Names of the recorded calls and property reads, in order.
  std::vector<std::string> Names() const;
  void ClearCalls();
  // Sessions opened so far (one per successful transport sign-in).
  int SessionsOpened() const;

  // Closes every connection and listens again on the same port.
  void Restart();

 private:
  class Session;
  Variant Serve(const RdcSessionInfo& info, const std::string& name, bool property, std::vector<Variant>& args,
                RdcCallContext& ctx);
  void StartServer();

  mutable std::mutex mutex_;
  std::condition_variable released_;
  std::map<std::string, Script> scripts_;
  std::string held_;
  bool releasing_ = false;
  std::vector<RecordedCall> calls_;
  int sessions_ = 0;
  uint16_t port_ = 0;
  std::unique_ptr<RdcServer> server_;
};

}  // namespace brevalon::testing
