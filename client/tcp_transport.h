// TcpTransport: remote calls over the gateway's TCP transport
// (docs/rest-protocol.md): each call is one line of JSON
// {"method":"<Method>","params":[...]} ended by LF, each answer one line with
// the REST envelope {"result":[...]} or {"error":"..."}.
//
// One connection is one session on the gateway: the transport connects at
// its first call and keeps the connection; when the gateway closes it, the
// session (with its sign-in) is gone, so the transport raises ETransportError
// instead of opening a new one behind the caller's back. Every network step
// has a deadline and an answer line is bounded.
//
// Owned and used by one thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "client/transport.h"

namespace brevalon::client {

struct TcpOptions {
  std::string Host = "127.0.0.1";
  uint16_t Port = 211;
  std::chrono::milliseconds Timeout{60000};
  std::size_t MaxLineBytes = 256u * 1024 * 1024;
  std::string LocalAddress;  // to connect from; empty = the system's choice
};

// The request line of a call, without its LF.
std::string BuildTcpLine(std::string_view method, const boost::json::array& params);

class TcpTransport : public ITransport {
 public:
  explicit TcpTransport(TcpOptions options);
  ~TcpTransport() override;
  TcpTransport(const TcpTransport&) = delete;
  TcpTransport& operator=(const TcpTransport&) = delete;

  boost::json::array Call(std::string_view method, const boost::json::array& params) override;

  // Closes the connection, which ends the session on the gateway.
  void Close();

 private:
  struct Impl;
  std::unique_ptr<Impl> FImpl;
};

}  // namespace brevalon::client
