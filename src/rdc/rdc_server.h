// Server end of the remote data connection: listens on one TCP port, serves
// raw frames and HTTP POSTs on the same listener, and hands each signed-in
// connection (or HTTP session) its own session object created by the factory
// registered for the server class the client selected.
//
// Threads: a small pool of threads runs the io_context (no thread per
// connection). Each connection lives on its own strand, and a session
// object's call runs on that strand, on one pool thread: a slow call holds
// only that thread, while the others go on serving every other connection.
// Calls of one session are strictly one at a time and in order. Keeping the
// call on the thread that read the request saves two thread hand-offs per
// call, which is most of the round trip on loopback. Session objects are
// created, called and destroyed on server threads (the last ones by Stop()).
//
// The RdcServer object itself is owned by one thread (the one that calls
// RegisterClass, Start and Stop). Stop() is graceful: it stops accepting,
// lets a call that is running finish and send its answer, closes every
// connection, destroys every session object and joins every thread; a long
// operation may watch RdcCallContext::Stopping() to give up early. Never call
// Stop() from inside a session object. The destructor stops.
//
// Untrusted peers: frames are bounded, the first frame and every begun frame
// must arrive within the read timeout, and a connection that sends anything
// that is not the protocol is closed.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "rdc/rdc_protocol.h"
#include "data/variant.h"

namespace brevalon {

// Who is on the other end of a session.
struct RdcSessionInfo {
  std::string server_class;  // GUID text as the client sent it
  // Operating-system user name presented by the client; may be empty. It is
  // what the client asserts, not proven: expose the port to gateway hosts only.
  std::string identity;
  std::string peer;          // "address:port" of the client (of the first connection for HTTP)
  bool http = false;         // reached over HTTP POST
};

// What a session object can learn about the call it is serving.
class RdcCallContext {
 public:
  RdcCallContext(const RdcSessionInfo& session, std::vector<RdcArgMode> modes, const std::atomic<bool>& stopping)
      : session_(session), modes_(std::move(modes)), stopping_(stopping) {}

  const RdcSessionInfo& Session() const { return session_; }
  const std::string& Identity() const { return session_.identity; }
  // Whether argument `index` is by reference (its new value goes back).
  bool IsByRef(size_t index) const { return index < modes_.size() && modes_[index] != RdcArgMode::kValue; }
  // The server is stopping: a long operation should give up.
  bool Stopping() const { return stopping_.load(std::memory_order_relaxed); }

 private:
  const RdcSessionInfo& session_;
  std::vector<RdcArgMode> modes_;
  const std::atomic<bool>& stopping_;
};

// One client's server object. Raise ERdcUnknownName for a name it does not
// serve; any other exception fails the call with the exception's text as the
// description the client receives.
class RdcSessionObject {
 public:
  virtual ~RdcSessionObject() = default;
  // `args` are in the client's order; writes to by-reference arguments go back
  // to the client (a typed reference keeps its kind: a value that cannot be
  // converted to it fails the call).
  virtual Variant Call(const std::string& name, std::vector<Variant>& args, RdcCallContext& ctx) = 0;
  virtual Variant GetProperty(const std::string& name, RdcCallContext& ctx) = 0;
};

// Creates the session object of a new session; an exception refuses the
// sign-in with its text.
using RdcSessionFactory = std::function<std::unique_ptr<RdcSessionObject>(const RdcSessionInfo&)>;

struct RdcServerOptions {
  // Threads that serve all connections (socket work and calls). As many calls
  // as there are threads can run at once; when all of them are busy, the rest
  // wait (accepting and timeouts too).
  size_t handler_threads = 4;
  uint32_t max_frame_length = kRdcMaxFrameLength;
  // The first frame after connecting, and the rest of any begun frame or HTTP
  // request, must arrive within this time.
  std::chrono::milliseconds read_timeout{30000};
  // A connection with nothing begun is closed after this long; 0 = never
  // (signed-in gateway sessions may be quiet for hours; TCP keep-alive finds
  // dead peers).
  std::chrono::milliseconds idle_timeout{0};
  // Sending one answer may take this long.
  std::chrono::milliseconds write_timeout{30000};
  // An HTTP session unused for this long is ended.
  std::chrono::milliseconds http_session_timeout{std::chrono::minutes(30)};
};

class RdcServer {
 public:
  explicit RdcServer(RdcServerOptions options = {});
  ~RdcServer();
  RdcServer(const RdcServer&) = delete;
  RdcServer& operator=(const RdcServer&) = delete;

  // Before Start. The GUID text is matched without regard to letter case.
  void RegisterClass(const std::string& server_class, RdcSessionFactory factory);
  // Listens on address ("127.0.0.1", "0.0.0.0", "::", a host name) and port
  // (0 = any free port, see Port()). Raises ERdcTransportFailure when it
  // cannot. A server is started at most once.
  void Start(const std::string& address, uint16_t port);
  uint16_t Port() const;
  // Idempotent; see the file comment.
  void Stop();

  // Open connections (for diagnostics and tests).
  size_t ConnectionCount() const;
  // Live HTTP sessions.
  size_t HttpSessionCount() const;

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace brevalon
