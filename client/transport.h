// How the reference client reaches the gateway: ITransport carries one remote
// call (method name and JSON inputs) and returns the "result" array of the
// answer envelope. RestTransport (HTTP REST, port 8085) and TcpTransport (one
// JSON line per call, port 211) implement it; the commands of brevalon-cli and
// the file download are written against this interface only.
//
// Failures, by where they come from:
//   ETransportError  the gateway could not be reached, timed out, closed the
//                    connection, or answered something that is not the
//                    envelope (a bad status, a body that is not JSON);
//   ERemoteError     the envelope {"error":"..."}: the framework refused the
//                    call (unknown method, malformed request);
//   ESessionExpired  the REST session is unknown or expired (403); the
//                    transport has already forgotten the id.
// A transport is used by one thread at a time.
#pragma once

#include <boost/json/array.hpp>
#include <cstdint>
#include <string>
#include <string_view>

#include "client/client_error.h"

namespace brevalon::client {

class ETransportError : public Exception {
 public:
  explicit ETransportError(const std::string& message) : Exception(message) {}
};

class ERemoteError : public Exception {
 public:
  explicit ERemoteError(const std::string& message) : Exception(message) {}
};

class ESessionExpired : public Exception {
 public:
  explicit ESessionExpired(const std::string& message) : Exception(message) {}
};

class ITransport {
 public:
  virtual ~ITransport() = default;
  // Calls `method` of TServerMethods ("Class.Method" names another class)
  // with `params` and returns the answer's "result" array.
  virtual boost::json::array Call(std::string_view method, const boost::json::array& params) = 0;
};

// Host and port of "HOST:PORT", "HOST" (default port), "[V6]:PORT" or "[V6]".
// Raises EClientError for an empty host or a port outside 1..65535.
struct HostPort {
  std::string Host;
  uint16_t Port = 0;
};
HostPort ParseHostPort(std::string_view text, uint16_t defaultPort);

// "http://HOST[:PORT][/]" (port 8085 when absent) or "https://HOST[:PORT][/]"
// (port 8086 when absent). Raises EClientError for another scheme or a path.
struct HttpUrl : HostPort {
  bool Tls = false;
};
HttpUrl ParseHttpUrl(std::string_view url);

}  // namespace brevalon::client
