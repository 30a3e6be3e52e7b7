// The TCP transport of the remote-method server: one connection is one
// session. The session opens with the connection (the connect handler runs
// once, on a pool thread, before the first request is read) and ends when it
// closes (end handler, then CloseAll, on a pool thread). Framing: each
// request is one line of JSON {"method":"Name","params":[...]} ended by LF
// (a CR before it is ignored, empty lines are skipped); each answer is one
// line with the REST envelope {"result":[...]} or {"error":"..."}. Requests
// of a connection are answered one at a time, in order.
//
// Limits: a begun line must end within ReadTimeout; a line longer than
// MaxTcpLineBytes answers {"error":...} and closes. A connection with
// nothing begun may stay quiet indefinitely (the session lives as long as it).
// A connection over a connection limit, or whose session cannot be opened,
// is answered {"error":...,"retryAfter":5} and closed; a call that finds the
// call threads' queue full is answered so and the connection stays.
//
// The line handling is a pure function (HandleTcpLine) for tests and the
// fuzzer. Wire format: docs/rest-protocol.md.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/json.hpp>
#include <string>
#include <string_view>

#include "remoting/call_pool.h"
#include "remoting/listener.h"
#include "remoting/remote_method_server.h"
#include "remoting/session_manager.h"

namespace brevalon {

struct TcpCall {
  std::string Class;  // empty when the method was given without "Class."
  std::string Method;
  boost::json::array Params;
};

// Parses one request line (without its LF). Raises ERemoteCallError when it
// is not a JSON object with a text "method" and an optional array "params".
TcpCall ParseTcpLine(std::string_view line);

// Answers one request line in `session` (the answer without its LF). Never
// throws. "Class.Method" reaches DSAdmin; a bare name the server class.
std::string HandleTcpLine(std::string_view line, const ServerClass& serverClass,
                          DsSession& session);

struct TcpTransportContext {
  const RemoteServerOptions& Options;
  CallPool& Pool;
  ConnectionRegistry& Registry;
  const ServerClass& Class;
  SessionManager& Sessions;
  LimitLog* Limits = nullptr;
};

// Starts serving an accepted socket that holds a registry reservation under
// `client` (the ClientKey of `address`).
void StartTcpConnection(boost::asio::ip::tcp::socket socket, const std::string& address,
                        const std::string& client, const TcpTransportContext& context);

// The answer line (without its LF) for a limit that keeps the server from
// taking a connection or a call now.
std::string TcpLimitLine(std::string_view message);

}  // namespace brevalon
