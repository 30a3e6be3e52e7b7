#include "client/tcp_transport.h"

#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <boost/json.hpp>
#include <optional>

#include "client/net_io.h"

namespace brevalon::client {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace json = boost::json;

std::string BuildTcpLine(std::string_view method, const json::array& params) {
  if (method.empty()) throw EClientError("no method name");
  return json::serialize(json::object{{"method", method}, {"params", params}});
}

struct TcpTransport::Impl {
  explicit Impl(TcpOptions o) : Options(std::move(o)), Where{Options.Host, Options.Port} {}

  TcpOptions Options;
  HostPort Where;
  asio::io_context Io;
  std::optional<beast::tcp_stream> Stream;
  std::string Pending;  // bytes read past the last answer line
  bool Ended = false;   // the connection (and so the session) is gone

  [[noreturn]] void Fail(const std::string& message) {
    Stream.reset();
    Ended = true;
    throw ETransportError(message);
  }

  std::string Exchange(const std::string& line) {
    if (Ended) {
      throw ETransportError("the connection to " + Describe(Where) +
                            " has closed, and with it the session");
    }
    if (!Stream) {
      Stream.emplace(Io);
      try {
        ConnectStream(Io, *Stream, Where, Options.Timeout, Options.LocalAddress);
      } catch (...) {
        Stream.reset();
        throw;
      }
    }
    boost::system::error_code ec;
    Stream->expires_after(Options.Timeout);
    asio::async_write(*Stream, asio::buffer(line),
                      [&ec](const boost::system::error_code& e, std::size_t) { ec = e; });
    RunIo(Io);
    if (ec) Fail("sending to " + Describe(Where) + " failed: " + ec.message());

    auto buffer = asio::dynamic_buffer(Pending, Options.MaxLineBytes);
    std::size_t length = 0;
    Stream->expires_after(Options.Timeout);
    asio::async_read_until(*Stream, buffer, '\n',
                           [&ec, &length](const boost::system::error_code& e, std::size_t n) {
                             ec = e;
                             length = n;
                           });
    RunIo(Io);
    if (ec == beast::error::timeout) {
      Fail("no answer from " + Describe(Where) + " within " +
           std::to_string(Options.Timeout.count()) + " ms");
    }
    if (ec == asio::error::not_found) {
      Fail("an answer line from " + Describe(Where) + " is longer than " +
           std::to_string(Options.MaxLineBytes) + " bytes");
    }
    if (IsConnectionClosed(ec)) Fail("the gateway at " + Describe(Where) + " closed the connection");
    if (ec) Fail("receiving from " + Describe(Where) + " failed: " + ec.message());
    std::string answer = Pending.substr(0, length - 1);
    Pending.erase(0, length);
    if (!answer.empty() && answer.back() == '\r') answer.pop_back();
    return answer;
  }
};

TcpTransport::TcpTransport(TcpOptions options) : FImpl(std::make_unique<Impl>(std::move(options))) {}

TcpTransport::~TcpTransport() = default;

void TcpTransport::Close() {
  if (FImpl->Stream) {
    boost::system::error_code ignored;
    FImpl->Stream->socket().shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    FImpl->Stream.reset();
  }
  FImpl->Ended = true;
}

json::array TcpTransport::Call(std::string_view method, const json::array& params) {
  const std::string answer = FImpl->Exchange(BuildTcpLine(method, params) + "\n");
  boost::system::error_code ec;
  json::value body = json::parse(answer, ec);
  if (ec || !body.is_object()) {
    throw ETransportError("the answer is not a JSON object: " + answer.substr(0, 200));
  }
  json::object& envelope = body.as_object();
  if (json::value* result = envelope.if_contains("result"); result && result->is_array()) {
    return std::move(result->as_array());
  }
  if (const json::value* text = envelope.if_contains("error"); text && text->is_string()) {
    throw ERemoteError(std::string(text->get_string()));
  }
  throw ETransportError("the answer holds no \"result\" array: " + answer.substr(0, 200));
}

}  // namespace brevalon::client
