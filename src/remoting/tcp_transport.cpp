#include "remoting/tcp_transport.h"

#include <algorithm>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <cstring>
#include <exception>
#include <memory>

#include "remoting/remote_dispatch.h"

namespace brevalon {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace json = boost::json;
using tcp = asio::ip::tcp;
using boost::system::error_code;

TcpCall ParseTcpLine(std::string_view line) {
  auto parsed = ParseJson(line);
  if (!parsed || !parsed->is_object())
    throw ERemoteCallError("Malformed request: a JSON object is expected");
  const json::object& o = parsed->as_object();
  const json::value* method = o.if_contains("method");
  if (!method || !method->is_string() || method->as_string().empty())
    throw ERemoteCallError("Malformed request: \"method\" must be a non-empty text");
  TcpCall call;
  const std::string_view name = method->as_string();
  if (const auto dot = name.find('.'); dot != std::string_view::npos) {
    if (dot == 0) throw ERemoteCallError("Malformed request: the class before \".\" is missing");
    call.Class = name.substr(0, dot);
    call.Method = name.substr(dot + 1);
  } else {
    call.Method = name;
  }
  if (const json::value* params = o.if_contains("params"); params && !params->is_null()) {
    if (!params->is_array())
      throw ERemoteCallError("Malformed request: \"params\" must be an array");
    call.Params = params->as_array();
  }
  return call;
}

std::string HandleTcpLine(std::string_view line, const ServerClass& serverClass,
                          DsSession& session) {
  try {
    TcpCall call = ParseTcpLine(line);
    const CallTarget target =
        ResolveCall(serverClass, call.Class.empty() ? serverClass.Name : call.Class, call.Method);
    if (call.Params.size() > target.Inputs.size()) {
      throw ERemoteCallError("Too many parameters: the method takes " +
                             std::to_string(target.Inputs.size()) + ", " +
                             std::to_string(call.Params.size()) + " given");
    }
    std::vector<json::value> inputs;
    inputs.reserve(target.Inputs.size());
    for (std::size_t i = 0; i < call.Params.size(); ++i)
      inputs.push_back(ConvertJsonInput(call.Params[i], target.Inputs[i]));
    return ResultBody(RunCall(serverClass, target, session, std::move(inputs)));
  } catch (const std::exception& e) {
    return ErrorBody(e.what());
  } catch (...) {
    return ErrorBody("Internal server error");
  }
}

namespace {

constexpr std::size_t kIdleRead = 512;
constexpr std::size_t kChunk = 64 * 1024;

class TcpConnection : public ServerConnection, public std::enable_shared_from_this<TcpConnection> {
 public:
  TcpConnection(tcp::socket socket, std::string address, std::string client,
                const TcpTransportContext& context)
      : FContext(context),
        FStream(std::move(socket)),
        FAddress(std::move(address)),
        FClient(std::move(client)) {}

  ~TcpConnection() override {
    if (FKey) FContext.Registry.Remove(FKey);
  }

  void Start() {
    FKey = FContext.Registry.Add(weak_from_this(), FClient);
    // The session opens (and the connect handler runs) on the pool before
    // the first request is read.
    FContext.Pool.Post([self = shared_from_this()] { self->OpenSession(); });
  }

  void CloseNow() override { Close(); }

 private:
  const RemoteServerOptions& Options() const { return FContext.Options; }

  // Pool thread.
  void OpenSession() {
    auto lease = FContext.Sessions.Open(false, FAddress);
    std::string id, failure;
    if (!lease) {
      failure = TcpLimitLine(LimitKindText(LimitKind::Sessions));
    } else {
      id = lease.Session().Id();
      try {
        if (FContext.Class.OnConnect) FContext.Class.OnConnect(lease.Session());
      } catch (const std::exception& e) {
        failure = ErrorBody(e.what());
      } catch (...) {
        failure = ErrorBody("Internal server error");
      }
    }
    lease = {};
    asio::post(FStream.get_executor(), [self = shared_from_this(), id, failure] {
      self->FSessionId = id;
      if (self->FClosed) {
        self->EndSession();
      } else if (!failure.empty()) {
        self->WriteLine(failure, true);
      } else {
        self->Read();
      }
    });
  }

  void Read() {
    if (FClosed) return;
    const char* data = static_cast<const char*>(FBuffer.data().data());
    const std::size_t size = FBuffer.size();
    if (FScanned < size) {
      if (const void* nl = std::memchr(data + FScanned, '\n', size - FScanned)) {
        const std::size_t end = static_cast<const char*>(nl) - data;
        std::string line(data, end);
        FBuffer.consume(end + 1);
        FScanned = 0;
        FLineBegun = false;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) {
          // Handle what else is buffered as a fresh task: no recursion per line.
          asio::post(FStream.get_executor(), [self = shared_from_this()] { self->Read(); });
          return;
        }
        Dispatch(std::move(line));
        return;
      }
      FScanned = size;
    }
    if (size > Options().MaxTcpLineBytes) {
      WriteLine(ErrorBody("Request line too long"), true);
      return;
    }
    if (size == 0) {
      FBuffer.shrink_to_fit();
      FStream.expires_never();  // a quiet session may stay
      FLineBegun = false;
    } else if (!FLineBegun) {
      FLineBegun = true;
      FStream.expires_after(Options().ReadTimeout);  // a begun line must end in time
    }
    const std::size_t want =
        size == 0 ? kIdleRead : std::min(kChunk, Options().MaxTcpLineBytes + 1 - size);
    FStream.async_read_some(FBuffer.prepare(std::max<std::size_t>(want, 1)),
                            [self = shared_from_this()](const error_code& ec, std::size_t n) {
                              if (ec) {
                                self->Close();
                                return;
                              }
                              self->FBuffer.commit(n);
                              self->Read();
                            });
  }

  void Dispatch(std::string line) {
    FStream.expires_never();
    const bool queued = FContext.Pool.TryPost([self = shared_from_this(), id = FSessionId,
                                               line = std::move(line)] {
      std::string answer;
      if (auto lease = self->FContext.Sessions.Use(id, false)) {
        answer = HandleTcpLine(line, self->FContext.Class, lease.Session());
      } else {
        answer = ErrorBody("The session has ended");
      }
      asio::post(self->FStream.get_executor(), [self, answer = std::move(answer)]() mutable {
        self->WriteLine(std::move(answer), false);
      });
    });
    if (!queued) {
      if (FContext.Limits) FContext.Limits->Hit(LimitKind::CallQueue, FAddress);
      WriteLine(TcpLimitLine(LimitKindText(LimitKind::CallQueue)), false);
    }
  }

  void WriteLine(std::string answer, bool closeAfter) {
    if (FClosed) return;
    FOut = std::move(answer);
    FOut += '\n';
    FStream.expires_after(Options().ReadTimeout);
    asio::async_write(FStream, asio::buffer(FOut),
                      [self = shared_from_this(), closeAfter](const error_code& ec, std::size_t) {
                        self->FOut = std::string();
                        if (ec || closeAfter) {
                          self->Close();
                          return;
                        }
                        self->Read();
                      });
  }

  void EndSession() {
    if (FSessionId.empty()) return;
    // Ending joins the session's objects: never on an I/O thread.
    FContext.Pool.Post(
        [&sessions = FContext.Sessions, id = FSessionId] { sessions.End(id, false); });
    FSessionId.clear();
  }

  void Close() {
    if (FClosed) return;
    FClosed = true;
    error_code ignored;
    FStream.socket().shutdown(tcp::socket::shutdown_both, ignored);
    FStream.close();
    EndSession();
  }

  const TcpTransportContext& FContext;
  beast::tcp_stream FStream;
  beast::flat_buffer FBuffer;
  std::string FOut;
  const std::string FAddress;
  const std::string FClient;
  std::string FSessionId;    // empty once the session is handed to EndSession
  std::size_t FScanned = 0;  // leading bytes of FBuffer known to hold no LF
  bool FLineBegun = false;
  bool FClosed = false;
  uint64_t FKey = 0;
};

}  // namespace

void StartTcpConnection(tcp::socket socket, const std::string& address, const std::string& client,
                        const TcpTransportContext& context) {
  std::shared_ptr<TcpConnection> connection;
  try {
    connection = std::make_shared<TcpConnection>(std::move(socket), address, client, context);
  } catch (...) {
    context.Registry.Unreserve(client);
    return;
  }
  connection->Start();
}

std::string TcpLimitLine(std::string_view message) {
  return SerializeAscii(json::object{{"error", message}, {"retryAfter", kRetryAfterSeconds}});
}

}  // namespace brevalon
