// Client end of the remote data connection: one connection to one server
// class of an application server, over which operations are called by name
// with positional variant arguments and properties are read.
//
// An RdcClient is owned by one application-server proxy and used only on the
// thread that owns that proxy (the session's worker thread); it is not
// synchronised. Every call blocks until the answer arrives or the call timeout
// expires. Failures:
//   ERdcTransportFailure  connect refused or timed out, peer closed, garbage or
//                         oversized answer, call timeout, server refused the
//                         sign-in; the connection is closed before it is raised.
//   ERdcCallFailure       the operation ran on the server and failed; message =
//                         the server's description. Connection stays open.
//   ERdcUnknownName       the server has no operation/property of that name.
//                         Connection stays open.
// docs/appserver-protocol.md describes the wire format.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "rdc/rdc_protocol.h"
#include "data/variant.h"

namespace brevalon {

// Where an application server listens and how to reach it.
struct RdcEndpoint {
  enum class Transport { kTcp, kHttp };

  Transport transport = Transport::kTcp;
  std::string host;
  uint16_t port = 0;
  // HTTP only: the request target on the server ("/" when the URL has no path),
  // and an optional forward proxy (empty host = direct).
  std::string http_path = "/";
  std::string proxy_host;
  uint16_t proxy_port = 0;

  // "host:port", or the URL for HTTP; for messages.
  std::string ToString() const;

  // The endpoint of a connection kind of the settings: 0 DCOM (ServerName at
  // the fixed activation port kRdcActivationPort), 1 SOCKET (ServerName:Port),
  // 2 HTTP (ServerName is the URL "http://host[:port][/path]"; the proxy is
  // used when both proxy fields are non-empty). Raises ERdcTransportFailure for
  // another kind, an empty server name, a port outside 1..65535, a URL that is
  // not http, or a proxy port that is not a number.
  static RdcEndpoint FromConnectionKind(int connection_type, const std::string& server_name, int port,
                                        const std::string& proxy_name = {}, const std::string& proxy_port = {});
  // "http://host[:port][/path]" ("http://" may be left out; IPv6 hosts in
  // brackets). Raises ERdcTransportFailure when it is not such a URL.
  static RdcEndpoint FromUrl(const std::string& url);
};

// The port the DCOM kind connects to on the named computer.
inline constexpr uint16_t kRdcActivationPort = 4804;

// One argument of a call: a value, or a reference to the caller's storage
// that receives the value the server writes back. A variant reference takes
// whatever kind the server writes; a typed reference (string, integer, ...)
// only a value of its own kind. The referenced storage must outlive the call.
class RdcArg {
 public:
  RdcArg(int32_t v) : value_(v) {}
  RdcArg(bool v) : value_(v) {}
  RdcArg(double v) : value_(v) {}  // also date-times
  RdcArg(std::string v) : value_(std::move(v)) {}
  RdcArg(const char* v) : value_(v) {}
  RdcArg(Variant v) : value_(std::move(v)) {}  // a variant by value

  static RdcArg Ref(Variant& target);
  static RdcArg Ref(std::string& target);
  static RdcArg Ref(int32_t& target);
  static RdcArg Ref(double& target);
  static RdcArg Ref(bool& target);

  RdcArgMode Mode() const;
  // What is sent: the value, or the referenced storage's current value.
  Variant Current() const;
  // Stores a value the server wrote back (by-reference arguments only).
  // Raises ERdcProtocolError when a typed reference receives another kind.
  void Assign(const Variant& v);

 private:
  RdcArg() = default;

  Variant value_;
  Variant* variant_ref_ = nullptr;
  std::string* string_ref_ = nullptr;
  int32_t* int_ref_ = nullptr;
  double* double_ref_ = nullptr;
  bool* bool_ref_ = nullptr;
};

// One call of a batch (RdcClient::CallBatch) and what it answered: the
// result, or the failure the server reported for it (ERdcCallFailure,
// ERdcUnknownName) as `failure`.
struct RdcBatchCall {
  std::string name;
  std::vector<RdcArg>* args = nullptr;  // by-reference ones receive what the server wrote
};
struct RdcBatchAnswer {
  Variant result;
  std::exception_ptr failure;
};

struct RdcClientOptions {
  std::chrono::milliseconds connect_timeout{15000};  // connecting and the sign-in exchange
  std::chrono::milliseconds call_timeout{300000};    // one call or property read
  uint32_t max_frame_length = kRdcMaxFrameLength;    // larger answers are refused
};

class RdcClient {
 public:
  explicit RdcClient(RdcClientOptions options = {});
  ~RdcClient();
  RdcClient(const RdcClient&) = delete;
  RdcClient& operator=(const RdcClient&) = delete;

  // Connects, selects the server class (GUID text) and presents the caller's
  // operating-system identity (may be empty). An open connection is closed
  // first. Raises ERdcTransportFailure; the client is then closed.
  void Open(const RdcEndpoint& endpoint, const std::string& server_class, const std::string& identity);
  // Ends the session; never raises. Harmless when already closed.
  void Close() noexcept;
  bool IsOpen() const { return open_; }
  // An open TCP connection on which the server has, since its last answer,
  // closed or reset its end or sent bytes nobody asked for: the next call on
  // it would fail. Looks without waiting, reading or changing anything.
  // False when closed, and for HTTP (that transport reopens by itself).
  bool ClosedByPeer() const;
  const RdcEndpoint& Endpoint() const { return endpoint_; }

  // Calls an operation with positional arguments; by-reference arguments
  // receive the values the server wrote. Raises as described above.
  Variant Call(const std::string& name, std::vector<RdcArg>& args);
  // Reads a property (no arguments).
  Variant GetProperty(const std::string& name);
  // Several calls at once: over TCP every request goes out in one write and
  // the answers are read in order, one round trip instead of one per call
  // (the server runs them one after another, as separate calls); over HTTP
  // they are made one by one. Each call has the call timeout for its answer.
  // A failure of the transport or the protocol raises for the whole batch as
  // Call does; what the server answered for each call is in its answer.
  std::vector<RdcBatchAnswer> CallBatch(std::vector<RdcBatchCall>& calls);

  void SetCallTimeout(std::chrono::milliseconds timeout) { options_.call_timeout = timeout; }

 private:
  using Clock = std::chrono::steady_clock;

  // Sends one request frame and returns the body (type + payload) of the
  // answer frame. Raises ERdcTransportFailure after closing.
  std::string Exchange(const std::string& frame, Clock::time_point deadline);
  std::string ExchangeTcp(const std::string& frame, Clock::time_point deadline);
  std::string ExchangeHttp(const std::string& frame, Clock::time_point deadline);
  // The body of the next answer frame on the TCP connection.
  std::string ReceiveFrame(Clock::time_point deadline);
  // The request frame of a call, with its id.
  std::string EncodeCall(const std::string& name, const std::vector<RdcArg>& args, uint32_t& call_id);
  Variant Answer(const std::string& body, uint32_t call_id, std::vector<RdcArg>* args);

  void ConnectSocket(const std::string& host, uint16_t port, Clock::time_point deadline);
  void SendAll(const std::string& data, Clock::time_point deadline);
  // Appends at least one byte to in_; raises on end of stream or timeout.
  void ReceiveSome(Clock::time_point deadline);
  void CloseSocket() noexcept;
  [[noreturn]] void Fail(const std::string& message);

  RdcClientOptions options_;
  RdcEndpoint endpoint_;
  int fd_ = -1;
  bool open_ = false;
  std::string in_;            // received bytes not yet consumed
  std::string http_session_;  // token of the HTTP session
  uint32_t next_call_id_ = 1;
};

}  // namespace brevalon
