// The HTTP side of the remote-method server: one HttpConnection per accepted
// socket, reading requests with Boost.Beast under the limits of
// RemoteServerOptions and handing each whole request to the call pool, where
// the REST router (rest_router.*) answers it; the answer is written back on
// the connection's strand. Keep-alive connections wait for their next
// request without a thread and with a few hundred bytes of buffer.
//
// Limits: a request must arrive whole within ReadTimeout from its first byte
// (slow clients are dropped); a keep-alive connection idle for IdleTimeout is
// closed; a header beyond MaxHeaderBytes answers 431, a body beyond
// MaxBodyBytes 413, anything that is not HTTP/1.x 400, each followed by close.
//
// Connections are owned by the asynchronous operations and pool tasks that
// refer to them (shared_ptr); the registry knows them for Stop().
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <functional>
#include <string>
#include <string_view>

#include "remoting/call_pool.h"
#include "remoting/listener.h"
#include "remoting/remote_method_server.h"
#include "remoting/rest_router.h"

namespace brevalon {

struct HttpServerContext {
  const RemoteServerOptions& Options;
  CallPool& Pool;
  ConnectionRegistry& Registry;
  // Answers one request of the client at `address`; runs on a pool thread.
  std::function<RestResponse(const RestRequest&, const std::string& address)> Handler;
  LimitLog* Limits = nullptr;
  // Set for the HTTPS listener: every connection shakes hands first.
  boost::asio::ssl::context* Tls = nullptr;
};

// Starts serving an accepted socket that holds a registry reservation under
// `client` (the ClientKey of `address`).
void StartHttpConnection(boost::asio::ip::tcp::socket socket, const std::string& address,
                         const std::string& client, const HttpServerContext& context);

// The answer of a request the server will not take now (a limit is
// reached): 503 with a JSON error body and Retry-After.
RestResponse ServiceUnavailable(unsigned version, std::string_view message);
// The same as the bytes a refused connection is answered with (closes).
std::string ServiceUnavailableBytes(std::string_view message);

}  // namespace brevalon
