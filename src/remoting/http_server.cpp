#include "remoting/http_server.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <memory>
#include <optional>
#include <sstream>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <type_traits>

#include "remoting/remote_dispatch.h"

namespace brevalon {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;

namespace {

// Bytes read while waiting for the next request: small, so that idle
// keep-alive connections cost little.
constexpr std::size_t kIdleRead = 512;

using TlsStream = beast::ssl_stream<beast::tcp_stream>;

// One connection; Stream is beast::tcp_stream (HTTP) or TlsStream (HTTPS,
// which shakes hands first, within ReadTimeout).
template <class Stream>
class HttpConnection : public ServerConnection,
                       public std::enable_shared_from_this<HttpConnection<Stream>> {
 public:
  static constexpr bool kTls = std::is_same_v<Stream, TlsStream>;

  HttpConnection(Stream stream, std::string address, std::string client,
                 const HttpServerContext& context)
      : FContext(context),
        FStream(std::move(stream)),
        FAddress(std::move(address)),
        FClient(std::move(client)) {}

  ~HttpConnection() override {
    if (FKey) FContext.Registry.Remove(FKey);
  }

  void Start() {
    FKey = FContext.Registry.Add(this->weak_from_this(), FClient);
    asio::dispatch(FStream.get_executor(), [self = this->shared_from_this()] {
      if constexpr (kTls)
        self->Handshake();
      else
        self->WaitRequest(true);
    });
  }

  void CloseNow() override { Close(); }

 private:
  const RemoteServerOptions& Options() const { return FContext.Options; }
  beast::tcp_stream& Tcp() { return beast::get_lowest_layer(FStream); }

  void Handshake() {
    Tcp().expires_after(Options().ReadTimeout);
    FStream.async_handshake(asio::ssl::stream_base::server,
                            [self = this->shared_from_this()](const error_code& ec) {
                              if (ec) {
                                self->Close();  // garbage, a plain client, a stalled one
                                return;
                              }
                              self->WaitRequest(true);
                            });
  }

  // Waits for the first byte of the next request: a fresh connection gets
  // ReadTimeout for its first request, a kept-alive one IdleTimeout.
  void WaitRequest(bool first) {
    if (FClosed) return;
    if (FBuffer.size() > 0) {
      ReadHeader();
      return;
    }
    FBuffer.shrink_to_fit();
    Tcp().expires_after(first ? Options().ReadTimeout : Options().IdleTimeout);
    FStream.async_read_some(FBuffer.prepare(kIdleRead),
                            [self = this->shared_from_this()](const error_code& ec, std::size_t n) {
                              if (ec) {
                                self->Close();
                                return;
                              }
                              self->FBuffer.commit(n);
                              self->ReadHeader();
                            });
  }

  void ReadHeader() {
    if (FClosed) return;
    FParser.emplace();
    FParser->header_limit(
        static_cast<std::uint32_t>(std::min<std::size_t>(Options().MaxHeaderBytes, UINT32_MAX)));
    FParser->body_limit(Options().MaxBodyBytes);
    // The whole request, from its first byte on, must arrive within this.
    Tcp().expires_after(Options().ReadTimeout);
    http::async_read_header(
        FStream, FBuffer, *FParser,
        [self = this->shared_from_this()](const error_code& ec, std::size_t) { self->OnHeader(ec); });
  }

  void OnHeader(const error_code& ec) {
    if (ec) {
      Fail(ec);
      return;
    }
    const auto& header = FParser->get();
    const auto expect = header[http::field::expect];
    if (!FParser->is_done() && beast::iequals(expect, "100-continue")) {
      static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
      asio::async_write(FStream, asio::buffer(kContinue.data(), kContinue.size()),
                        [self = this->shared_from_this()](const error_code& e, std::size_t) {
                          if (e) {
                            self->Close();
                            return;
                          }
                          self->ReadBody();
                        });
      return;
    }
    ReadBody();
  }

  void ReadBody() {
    http::async_read(
        FStream, FBuffer, *FParser,
        [self = this->shared_from_this()](const error_code& ec, std::size_t) { self->OnRequest(ec); });
  }

  void OnRequest(const error_code& ec) {
    if (ec) {
      Fail(ec);
      return;
    }
    Tcp().expires_never();
    auto request = std::make_shared<RestRequest>(FParser->release());
    FParser.reset();
    // The call may block; it runs on the pool, the answer comes back here.
    const bool queued = FContext.Pool.TryPost([self = this->shared_from_this(), request] {
      auto response =
          std::make_shared<RestResponse>(self->FContext.Handler(*request, self->FAddress));
      asio::post(self->FStream.get_executor(), [self, response] { self->Write(response); });
    });
    if (!queued) {
      if (FContext.Limits) FContext.Limits->Hit(LimitKind::CallQueue, FAddress);
      auto response = std::make_shared<RestResponse>(
          ServiceUnavailable(request->version(), LimitKindText(LimitKind::CallQueue)));
      response->keep_alive(request->keep_alive());
      Write(response);
    }
  }

  // A request that could not be read: answer what fits, then close.
  void Fail(const error_code& ec) {
    if (ec == http::error::header_limit) {
      WriteError(http::status::request_header_fields_too_large, "Request header too large");
    } else if (ec == http::error::body_limit || ec == http::error::buffer_overflow) {
      WriteError(http::status::payload_too_large, "Request body too large");
    } else if (ec.category() == error_code(http::error::end_of_stream).category() &&
               ec != http::error::end_of_stream && ec != http::error::partial_message &&
               ec != http::error::need_more) {
      WriteError(http::status::bad_request, "Malformed request");
    } else {
      Close();  // timeout, end of stream, reset: nobody to answer
    }
  }

  void WriteError(http::status status, const char* message) {
    auto response = std::make_shared<RestResponse>(status, 11);
    response->set(http::field::content_type, "application/json;charset=UTF-8");
    response->body() = ErrorBody(message);
    response->keep_alive(false);
    Write(response);
  }

  void Write(const std::shared_ptr<RestResponse>& response) {
    if (FClosed) return;
    response->prepare_payload();
    Tcp().expires_after(Options().ReadTimeout);
    http::async_write(FStream, *response,
                      [self = this->shared_from_this(), response](const error_code& ec, std::size_t) {
                        if (ec || !response->keep_alive()) {
                          self->Close();
                          return;
                        }
                        self->WaitRequest(false);
                      });
  }

  void Close() {
    if (FClosed) return;
    FClosed = true;
    error_code ignored;
    Tcp().socket().shutdown(tcp::socket::shutdown_both, ignored);
    Tcp().close();
  }

  const HttpServerContext& FContext;
  Stream FStream;
  beast::flat_buffer FBuffer;
  std::optional<http::request_parser<http::string_body>> FParser;
  const std::string FAddress;
  const std::string FClient;
  uint64_t FKey = 0;
  bool FClosed = false;
};

}  // namespace

void StartHttpConnection(tcp::socket socket, const std::string& address, const std::string& client,
                         const HttpServerContext& context) {
  try {
    if (context.Tls) {
      auto c = std::make_shared<HttpConnection<TlsStream>>(
          TlsStream(beast::tcp_stream(std::move(socket)), *context.Tls), address, client, context);
      c->Start();
    } else {
      auto c = std::make_shared<HttpConnection<beast::tcp_stream>>(
          beast::tcp_stream(std::move(socket)), address, client, context);
      c->Start();
    }
  } catch (...) {
    context.Registry.Unreserve(client);
  }
}

RestResponse ServiceUnavailable(unsigned version, std::string_view message) {
  RestResponse res(http::status::service_unavailable, version);
  res.set(http::field::content_type, "application/json;charset=UTF-8");
  res.set(http::field::cache_control, "no-cache");
  res.set(http::field::retry_after, std::to_string(kRetryAfterSeconds));
  res.body() = ErrorBody(message);
  return res;
}

std::string ServiceUnavailableBytes(std::string_view message) {
  RestResponse res = ServiceUnavailable(11, message);
  res.keep_alive(false);
  res.prepare_payload();
  std::ostringstream out;
  out << res;
  return out.str();
}

}  // namespace brevalon
