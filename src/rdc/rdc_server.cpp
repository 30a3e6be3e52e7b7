#include "rdc/rdc_server.h"

#include <algorithm>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <condition_variable>
#include <cstring>
#include <latch>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <unordered_map>

namespace brevalon {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;

namespace {

// Longest failure description sent back; a server's message is for people.
constexpr size_t kMaxDescription = 64 * 1024;

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

std::string Cut(std::string s) {
  if (s.size() > kMaxDescription) s.resize(kMaxDescription);
  return s;
}

std::string FailureFrame(uint32_t call_id, RdcFailureKind kind, std::string description) {
  return RdcEncodeFailure(RdcFailure{call_id, kind, Cut(std::move(description))});
}

// A value written to a typed reference, in the reference's own kind.
Variant CoerceTo(VariantType type, const Variant& v) {
  if (v.Type() == type) return v;
  switch (type) {
    case VariantType::Text: return Variant(v.AsString());
    case VariantType::Int32: return Variant(v.AsInteger());
    case VariantType::Double: return Variant(v.AsDouble());
    case VariantType::Boolean: return Variant(v.AsBoolean());
    case VariantType::Byte: {
      const int32_t i = v.AsInteger();
      if (i < 0 || i > 255) throw EVariantException("Value " + std::to_string(i) + " does not fit a byte");
      return Variant(static_cast<uint8_t>(i));
    }
    default: break;
  }
  throw EVariantException(std::string("Could not convert variant of type (") + VariantTypeName(v.Type()) +
                          ") into type (" + VariantTypeName(type) + ")");
}

std::string RandomToken() {
  static thread_local std::mt19937_64 gen([] {
    std::random_device rd;
    std::seed_seq seq{rd(), rd(), rd(), rd(), rd(), rd(), rd(), rd()};
    return std::mt19937_64(seq);
  }());
  static const char* hex = "0123456789abcdef";
  std::string token;
  for (int i = 0; i < 2; ++i) {
    uint64_t v = gen();
    for (int j = 0; j < 16; ++j) {
      token.push_back(hex[v & 0xF]);
      v >>= 4;
    }
  }
  return token;
}

struct SessionState {
  RdcSessionInfo info;
  std::unique_ptr<RdcSessionObject> object;
  std::mutex call_mutex;  // one call at a time on `object` (HTTP requests of a session may overlap)
};

// Answers of calls sent together are gathered into one write up to this size.
constexpr size_t kGatherAnswerBytes = 1u << 20;

struct Outcome {
  std::string answer;  // complete frame; empty = send nothing
  bool close_after = false;
  http::status status = http::status::ok;  // HTTP only
};

}  // namespace

class RdcServer::Impl {
 public:
  class Connection;
  using Clock = std::chrono::steady_clock;

  explicit Impl(RdcServerOptions o) : options(o) {
    options.handler_threads = std::max<size_t>(1, options.handler_threads);
    options.max_frame_length = std::clamp<uint32_t>(options.max_frame_length, 64, kRdcMaxFrameLength);
  }

  void Accept();
  void ScheduleSweep();
  void Sweep();
  void ReleaseSession(std::shared_ptr<SessionState> s);

  // Request handling, on the connection's strand.
  std::shared_ptr<SessionState> OpenSession(const RdcHello& hello, const std::string& peer, bool http,
                                            std::string& refusal);
  std::string Invoke(SessionState& s, RdcFrameType type, RdcCallRequest request);
  Outcome ProcessHttp(const std::string& token, const std::string& body, const std::string& peer);

  RdcServerOptions options;
  std::map<std::string, RdcSessionFactory> classes;  // key: lower-case GUID text; fixed after Start
  std::atomic<bool> stopping{false};
  bool started = false;
  bool stopped = false;
  uint16_t port = 0;

  std::unique_ptr<asio::io_context> io;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
  std::optional<asio::strand<asio::io_context::executor_type>> strand;  // acceptor and timers
  std::unique_ptr<tcp::acceptor> acceptor;
  std::unique_ptr<asio::steady_timer> sweep_timer;
  std::unique_ptr<asio::steady_timer> accept_timer;
  std::vector<std::thread> threads;

  mutable std::mutex connections_mutex;  // guards connections; `stopping` is set under it
  std::unordered_map<const Connection*, std::weak_ptr<Connection>> connections;
  std::condition_variable connections_gone;  // signalled when a connection is destroyed

  struct HttpSession {
    std::shared_ptr<SessionState> state;
    Clock::time_point last_used;
  };
  mutable std::mutex http_mutex;  // guards http_sessions
  std::unordered_map<std::string, HttpSession> http_sessions;
};

// One accepted TCP connection. Every member is touched only on the
// connection's strand; requests are handled there too, one at a time.
class RdcServer::Impl::Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(Impl& impl, tcp::socket socket, std::string peer)
      : impl_(impl), socket_(std::move(socket)), timer_(socket_.get_executor()), peer_(std::move(peer)) {}

  ~Connection() {
    {
      std::lock_guard<std::mutex> lock(impl_.connections_mutex);
      impl_.connections.erase(this);
    }
    impl_.connections_gone.notify_all();
    impl_.ReleaseSession(std::move(session_));
  }

  asio::any_io_executor Executor() { return socket_.get_executor(); }

  void Start() {
    error_code ignored;
    socket_.non_blocking(true, ignored);
    ReadRaw();
  }

  // Ends the connection once the answer being sent (if any) is out.
  void Shutdown() {
    shutdown_ = true;
    if (!writing_) Close();
  }

  void Close() {
    if (closed_) return;
    closed_ = true;
    ++timer_gen_;
    timer_.cancel();
    error_code ec;
    socket_.shutdown(tcp::socket::shutdown_both, ec);
    socket_.close(ec);
  }

 private:
  // Closes the connection when nothing happened within `limit` (0 = no limit).
  void Arm(std::chrono::milliseconds limit) {
    ++timer_gen_;
    if (limit.count() <= 0) {
      // Most calls never arm the timer; skip the timer-queue work then.
      if (armed_) timer_.cancel();
      armed_ = false;
      return;
    }
    armed_ = true;
    timer_.expires_after(limit);
    timer_.async_wait([self = shared_from_this(), gen = timer_gen_](const error_code& ec) {
      if (!ec && gen == self->timer_gen_) self->Close();
    });
  }

  // ---- raw frames

  void ReadRaw() {
    if (closed_) return;
    if (shutdown_) {
      Close();
      return;
    }
    const size_t have = buf_.size();
    size_t need;
    if (have >= kRdcFrameHeaderSize) {
      const auto* p = static_cast<const unsigned char*>(buf_.data().data());
      // "POST" read as a length is far beyond any frame limit, so the two
      // kinds cannot be confused.
      if (first_ && std::memcmp(p, "POST", 4) == 0) {
        ReadHttp();
        return;
      }
      uint32_t length = 0;
      try {
        length = RdcReadFrameLength(p, impl_.options.max_frame_length);
      } catch (const ERdcProtocolError&) {
        Close();
        return;
      }
      const size_t total = kRdcFrameHeaderSize + length;
      if (have >= total) {
        std::string body(reinterpret_cast<const char*>(p) + kRdcFrameHeaderSize, length);
        buf_.consume(total);
        first_ = false;
        Dispatch(std::move(body));
        return;
      }
      need = total - have;
    } else {
      need = kRdcFrameHeaderSize - have;
    }
    const bool begun = first_ || have > 0;
    Arm(begun ? impl_.options.read_timeout : impl_.options.idle_timeout);
    // Grow by at most 1 MiB a read, so that a claimed length costs memory only
    // as the bytes actually arrive.
    const size_t chunk = std::clamp<size_t>(need, 16 * 1024, 1u << 20);
    socket_.async_read_some(buf_.prepare(chunk), [self = shared_from_this()](const error_code& ec, size_t n) {
      if (ec) {
        self->Close();
        return;
      }
      self->buf_.commit(n);
      self->ReadRaw();
    });
  }

  void Dispatch(std::string body) {
    Arm(std::chrono::milliseconds(0));
    if (impl_.stopping) {
      Close();
      return;
    }
    Outcome out = ProcessRaw(body);
    // A client that sent several calls at once gets their answers in one
    // write, up to a bound: the frames already here are handled in order
    // before anything is sent.
    while (!out.answer.empty() && !out.close_after && out.answer.size() < kGatherAnswerBytes && !impl_.stopping) {
      std::string next;
      if (!TakeBufferedFrame(next)) break;
      Outcome more = ProcessRaw(next);
      if (more.answer.empty()) {
        out.close_after = true;  // what was answered goes out, then the connection closes
        break;
      }
      out.answer += more.answer;
      out.close_after = more.close_after;
    }
    if (buf_.size() == 0 && buf_.capacity() > (1u << 20)) buf_.shrink_to_fit();
    WriteRaw(std::move(out));
  }

  // The next whole frame already received, if there is one with a valid
  // length (anything else is left for ReadRaw to judge).
  bool TakeBufferedFrame(std::string& body) {
    if (buf_.size() < kRdcFrameHeaderSize) return false;
    const auto* p = static_cast<const unsigned char*>(buf_.data().data());
    uint32_t length = 0;
    try {
      length = RdcReadFrameLength(p, impl_.options.max_frame_length);
    } catch (const ERdcProtocolError&) {
      return false;
    }
    if (buf_.size() < kRdcFrameHeaderSize + length) return false;
    body.assign(reinterpret_cast<const char*>(p) + kRdcFrameHeaderSize, length);
    buf_.consume(kRdcFrameHeaderSize + length);
    return true;
  }

  Outcome ProcessRaw(const std::string& body) {
    try {
      const RdcFrameView f = RdcSplitBody(body);
      switch (f.type) {
        case RdcFrameType::kHello: {
          const RdcHello hello = RdcDecodeHello(f.payload);
          if (session_) return {FailureFrame(0, RdcFailureKind::kSessionFault, "Already signed in"), true};
          std::string refusal;
          auto s = impl_.OpenSession(hello, peer_, false, refusal);
          if (!s) return {FailureFrame(0, RdcFailureKind::kSessionFault, refusal), true};
          session_ = std::move(s);
          return {RdcEncodeHelloOk(RdcHelloOk{}), false};
        }
        case RdcFrameType::kCall:
        case RdcFrameType::kGetProperty: {
          RdcCallRequest request =
              f.type == RdcFrameType::kCall ? RdcDecodeCall(f.payload) : RdcDecodeGetProperty(f.payload);
          if (!session_) {
            return {FailureFrame(request.call_id, RdcFailureKind::kSessionFault, "Not signed in"), true};
          }
          return {impl_.Invoke(*session_, f.type, std::move(request)), false};
        }
        case RdcFrameType::kBye: return {{}, true};
        default: return {{}, true};  // an answer frame from a client is not the protocol
      }
    } catch (const ERdcProtocolError&) {
      return {{}, true};
    }
  }

  void WriteRaw(Outcome out) {
    if (closed_) return;
    if (out.answer.empty()) {
      Close();
      return;
    }
    close_after_ = out.close_after;
    // A small answer almost always fits the send buffer at once: write it
    // now, without a timer and a completion round through the scheduler.
    error_code ec;
    const size_t sent = socket_.write_some(asio::buffer(out.answer), ec);
    if (!ec && sent == out.answer.size()) {
      if (close_after_ || shutdown_) {
        Close();
      } else if (buf_.size() > 0) {
        // The client sent more frames ahead: handle them as a fresh task so
        // that the stack does not grow with every buffered frame.
        asio::post(Executor(), [self = shared_from_this()] { self->ReadRaw(); });
      } else {
        ReadRaw();
      }
      return;
    }
    if (ec && ec != asio::error::would_block && ec != asio::error::try_again) {
      Close();
      return;
    }
    out_ = std::move(out.answer);
    out_.erase(0, ec ? 0 : sent);
    Arm(impl_.options.write_timeout);
    writing_ = true;
    asio::async_write(socket_, asio::buffer(out_), [self = shared_from_this()](const error_code& ec, size_t) {
      self->writing_ = false;
      self->out_ = std::string();
      if (ec || self->close_after_ || self->shutdown_) {
        self->Close();
        return;
      }
      self->ReadRaw();
    });
  }

  // ---- HTTP POST

  void ReadHttp() {
    if (closed_) return;
    if (shutdown_) {
      Close();
      return;
    }
    parser_.emplace();
    parser_->header_limit(16 * 1024);
    parser_->body_limit(static_cast<uint64_t>(impl_.options.max_frame_length) + kRdcFrameHeaderSize);
    const bool begun = first_ || buf_.size() > 0;
    Arm(begun ? impl_.options.read_timeout : impl_.options.idle_timeout);
    http::async_read(socket_, buf_, *parser_, [self = shared_from_this()](const error_code& ec, size_t) {
      self->OnHttpRequest(ec);
    });
  }

  void OnHttpRequest(const error_code& ec) {
    if (ec) {
      Close();
      return;
    }
    first_ = false;
    Arm(std::chrono::milliseconds(0));
    http::request<http::string_body> req = parser_->release();
    parser_.reset();
    keep_alive_ = req.keep_alive();
    http_version_ = req.version();
    if (req.method() != http::verb::post) {
      WriteHttp(Outcome{{}, true, http::status::method_not_allowed});
      return;
    }
    if (impl_.stopping) {
      Close();
      return;
    }
    const std::string token(req["X-Rdc-Session"]);
    WriteHttp(impl_.ProcessHttp(token, req.body(), peer_));
  }

  void WriteHttp(Outcome out) {
    if (closed_) return;
    response_.emplace();
    response_->result(out.status);
    response_->version(http_version_);
    response_->set(http::field::content_type, "application/octet-stream");
    response_->keep_alive(keep_alive_ && !out.close_after);
    response_->body() = std::move(out.answer);
    response_->prepare_payload();
    Arm(impl_.options.write_timeout);
    writing_ = true;
    http::async_write(socket_, *response_, [self = shared_from_this()](const error_code& ec, size_t) {
      self->writing_ = false;
      const bool keep = self->response_->keep_alive();
      self->response_.reset();
      if (ec || !keep || self->shutdown_) {
        self->Close();
        return;
      }
      self->ReadHttp();
    });
  }

  Impl& impl_;
  tcp::socket socket_;
  asio::steady_timer timer_;
  uint64_t timer_gen_ = 0;
  bool armed_ = false;
  const std::string peer_;
  beast::flat_buffer buf_;
  std::string out_;
  bool first_ = true;
  bool closed_ = false;
  bool close_after_ = false;
  bool writing_ = false;
  bool shutdown_ = false;
  std::shared_ptr<SessionState> session_;  // raw connections: the signed-in session

  std::optional<http::request_parser<http::string_body>> parser_;
  std::optional<http::response<http::string_body>> response_;
  bool keep_alive_ = false;
  unsigned http_version_ = 11;
};

// ------------------------------------------------------------------- Impl

void RdcServer::Impl::ReleaseSession(std::shared_ptr<SessionState> s) {
  if (!s) return;
  if (stopping) return;  // destroyed here, before Stop() returns
  // The object's destructor may block (closing a database): run it as a task
  // of its own rather than inside whatever dropped the last reference.
  asio::post(*io, [s = std::move(s)]() mutable { s.reset(); });
}

std::shared_ptr<SessionState> RdcServer::Impl::OpenSession(const RdcHello& hello, const std::string& peer, bool http,
                                                           std::string& refusal) {
  if (hello.version != kRdcProtocolVersion) {
    refusal = "Unsupported protocol version " + std::to_string(hello.version);
    return nullptr;
  }
  auto it = classes.find(Lower(hello.server_class));
  if (it == classes.end()) {
    refusal = "Server class " + hello.server_class + " is not registered";
    return nullptr;
  }
  auto s = std::make_shared<SessionState>();
  s->info = RdcSessionInfo{hello.server_class, hello.identity, peer, http};
  try {
    s->object = it->second(s->info);
  } catch (const std::exception& e) {
    refusal = Cut(e.what());
    return nullptr;
  } catch (...) {
    refusal = "Unknown failure while creating the server object";
    return nullptr;
  }
  if (!s->object) {
    refusal = "Server class " + hello.server_class + " created no object";
    return nullptr;
  }
  return s;
}

std::string RdcServer::Impl::Invoke(SessionState& s, RdcFrameType type, RdcCallRequest request) {
  std::vector<RdcArgMode> modes;
  std::vector<VariantType> sent_types;
  std::vector<Variant> args;
  modes.reserve(request.args.size());
  sent_types.reserve(request.args.size());
  args.reserve(request.args.size());
  for (RdcWireArg& a : request.args) {
    modes.push_back(a.mode);
    sent_types.push_back(a.value.Type());
    args.push_back(std::move(a.value));
  }
  RdcCallContext ctx(s.info, modes, stopping);
  try {
    Variant result;
    {
      std::lock_guard<std::mutex> lock(s.call_mutex);
      result = type == RdcFrameType::kCall ? s.object->Call(request.name, args, ctx)
                                           : s.object->GetProperty(request.name, ctx);
    }
    RdcResult answer{request.call_id, std::move(result), {}};
    for (size_t i = 0; i < args.size() && i < modes.size(); ++i) {
      if (modes[i] == RdcArgMode::kVariantRef) {
        answer.refs.push_back(std::move(args[i]));
      } else if (modes[i] == RdcArgMode::kTypedRef) {
        try {
          answer.refs.push_back(CoerceTo(sent_types[i], args[i]));
        } catch (const EVariantException& e) {
          return FailureFrame(request.call_id, RdcFailureKind::kCallFailed,
                              "Type mismatch in by-reference argument " + std::to_string(i + 1) + ": " + e.what());
        }
      }
    }
    if (answer.refs.size() != static_cast<size_t>(std::count_if(modes.begin(), modes.end(), [](RdcArgMode m) {
          return m != RdcArgMode::kValue;
        }))) {
      return FailureFrame(request.call_id, RdcFailureKind::kCallFailed, "The operation removed arguments");
    }
    return RdcEncodeResult(answer);  // may refuse an answer over the frame limit: a call failure
  } catch (const ERdcUnknownName& e) {
    return FailureFrame(request.call_id, RdcFailureKind::kUnknownName, e.what());
  } catch (const std::exception& e) {
    return FailureFrame(request.call_id, RdcFailureKind::kCallFailed, e.what());
  } catch (...) {
    return FailureFrame(request.call_id, RdcFailureKind::kCallFailed, "Unknown failure in the server");
  }
}

Outcome RdcServer::Impl::ProcessHttp(const std::string& token, const std::string& body, const std::string& peer) {
  try {
    const RdcFrameView f = RdcSplitFrame(body, options.max_frame_length);
    switch (f.type) {
      case RdcFrameType::kHello: {
        const RdcHello hello = RdcDecodeHello(f.payload);
        std::string refusal;
        auto s = OpenSession(hello, peer, true, refusal);
        if (!s) return {FailureFrame(0, RdcFailureKind::kSessionFault, refusal)};
        std::string new_token = RandomToken();
        {
          std::lock_guard<std::mutex> lock(http_mutex);
          http_sessions[new_token] = HttpSession{std::move(s), Clock::now()};
        }
        return {RdcEncodeHelloOk(RdcHelloOk{kRdcProtocolVersion, new_token})};
      }
      case RdcFrameType::kCall:
      case RdcFrameType::kGetProperty: {
        RdcCallRequest request =
            f.type == RdcFrameType::kCall ? RdcDecodeCall(f.payload) : RdcDecodeGetProperty(f.payload);
        std::shared_ptr<SessionState> s;
        {
          std::lock_guard<std::mutex> lock(http_mutex);
          auto it = http_sessions.find(token);
          if (it != http_sessions.end()) {
            it->second.last_used = Clock::now();
            s = it->second.state;
          }
        }
        if (!s) {
          return {FailureFrame(request.call_id, RdcFailureKind::kSessionFault,
                               "The HTTP session has expired or is unknown")};
        }
        std::string answer = Invoke(*s, f.type, std::move(request));
        {
          std::lock_guard<std::mutex> lock(http_mutex);
          auto it = http_sessions.find(token);
          if (it != http_sessions.end()) it->second.last_used = Clock::now();
        }
        return {std::move(answer)};
      }
      case RdcFrameType::kBye: {
        std::shared_ptr<SessionState> s;
        {
          std::lock_guard<std::mutex> lock(http_mutex);
          auto it = http_sessions.find(token);
          if (it != http_sessions.end()) {
            s = std::move(it->second.state);
            http_sessions.erase(it);
          }
        }
        s.reset();
        return {RdcEncodeBye()};
      }
      default: break;
    }
  } catch (const ERdcProtocolError&) {
  }
  return Outcome{{}, true, http::status::bad_request};
}

void RdcServer::Impl::Accept() {
  acceptor->async_accept(asio::make_strand(*io), [this](const error_code& ec, tcp::socket socket) {
    if (stopping || !acceptor->is_open()) return;
    if (ec) {
      // Out of descriptors and the like: pause instead of spinning.
      accept_timer->expires_after(std::chrono::milliseconds(100));
      accept_timer->async_wait([this](const error_code& e) {
        if (!e && !stopping) Accept();
      });
      return;
    }
    error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    socket.set_option(asio::socket_base::keep_alive(true), ignored);
    std::string peer = "?";
    const auto remote = socket.remote_endpoint(ignored);
    if (!ignored) peer = remote.address().to_string() + ":" + std::to_string(remote.port());
    auto c = std::make_shared<Connection>(*this, std::move(socket), std::move(peer));
    bool accepted = false;
    {
      std::lock_guard<std::mutex> lock(connections_mutex);
      if (!stopping) {
        connections.emplace(c.get(), c);
        accepted = true;
      }
    }
    if (accepted) asio::dispatch(c->Executor(), [c] { c->Start(); });
    Accept();
  });
}

void RdcServer::Impl::ScheduleSweep() {
  const auto interval =
      std::clamp<std::chrono::milliseconds>(options.http_session_timeout / 4, std::chrono::milliseconds(10),
                                            std::chrono::milliseconds(30000));
  sweep_timer->expires_after(interval);
  sweep_timer->async_wait([this](const error_code& ec) {
    if (ec || stopping) return;
    Sweep();
    ScheduleSweep();
  });
}

void RdcServer::Impl::Sweep() {
  std::vector<std::shared_ptr<SessionState>> expired;
  const auto now = Clock::now();
  {
    std::lock_guard<std::mutex> lock(http_mutex);
    for (auto it = http_sessions.begin(); it != http_sessions.end();) {
      if (now - it->second.last_used >= options.http_session_timeout) {
        expired.push_back(std::move(it->second.state));
        it = http_sessions.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& s : expired) ReleaseSession(std::move(s));
}

// ------------------------------------------------------------------ RdcServer

RdcServer::RdcServer(RdcServerOptions options) : impl_(std::make_unique<Impl>(options)) {}

RdcServer::~RdcServer() { Stop(); }

void RdcServer::RegisterClass(const std::string& server_class, RdcSessionFactory factory) {
  if (impl_->started) throw ERdcException("Server classes must be registered before the server starts");
  impl_->classes[Lower(server_class)] = std::move(factory);
}

void RdcServer::Start(const std::string& address, uint16_t port) {
  Impl& m = *impl_;
  if (m.started) throw ERdcException("The server has already been started");
  m.started = true;
  m.io = std::make_unique<asio::io_context>(static_cast<int>(m.options.handler_threads));
  m.strand.emplace(asio::make_strand(*m.io));
  m.acceptor = std::make_unique<tcp::acceptor>(*m.strand);
  m.sweep_timer = std::make_unique<asio::steady_timer>(*m.strand);
  m.accept_timer = std::make_unique<asio::steady_timer>(*m.strand);
  try {
    tcp::endpoint endpoint;
    error_code ec;
    const auto ip = asio::ip::make_address(address, ec);
    if (!ec) {
      endpoint = tcp::endpoint(ip, port);
    } else {
      tcp::resolver resolver(*m.io);
      auto results = resolver.resolve(address, std::to_string(port));
      if (results.empty()) throw ERdcTransportFailure("no address");
      endpoint = results.begin()->endpoint();
    }
    m.acceptor->open(endpoint.protocol());
    m.acceptor->set_option(asio::socket_base::reuse_address(true));
    m.acceptor->bind(endpoint);
    m.acceptor->listen(asio::socket_base::max_listen_connections);
    m.port = m.acceptor->local_endpoint().port();
  } catch (const std::exception& e) {
    throw ERdcTransportFailure("Cannot listen on " + address + ":" + std::to_string(port) + ": " + e.what());
  }
  m.work.emplace(asio::make_work_guard(*m.io));
  asio::dispatch(*m.strand, [&m] {
    m.Accept();
    m.ScheduleSweep();
  });
  for (size_t i = 0; i < m.options.handler_threads; ++i) {
    m.threads.emplace_back([&m] {
      for (;;) {
        try {
          m.io->run();
          return;
        } catch (...) {
          // A handler must not take an io thread down; go on serving.
        }
      }
    });
  }
}

uint16_t RdcServer::Port() const { return impl_->port; }

void RdcServer::Stop() {
  Impl& m = *impl_;
  if (!m.started || m.stopped) return;
  m.stopped = true;

  // 1. Refuse new work and shut every connection down, on their own strands
  // (so after a running call has sent its answer); wait until all are gone.
  std::vector<std::shared_ptr<Impl::Connection>> alive;
  {
    std::lock_guard<std::mutex> lock(m.connections_mutex);
    m.stopping = true;
    for (auto& [ptr, weak] : m.connections) {
      if (auto c = weak.lock()) alive.push_back(std::move(c));
    }
  }
  if (!m.threads.empty()) {
    std::latch done(static_cast<std::ptrdiff_t>(alive.size() + 1));
    asio::dispatch(*m.strand, [&m, &done] {
      error_code ignored;
      m.acceptor->close(ignored);
      m.sweep_timer->cancel();
      m.accept_timer->cancel();
      done.count_down();
    });
    for (auto& c : alive) {
      asio::dispatch(c->Executor(), [c, &done] {
        c->Shutdown();
        done.count_down();
      });
    }
    done.wait();
    alive.clear();
    std::unique_lock<std::mutex> lock(m.connections_mutex);
    m.connections_gone.wait(lock, [&m] { return m.connections.empty(); });
  }
  alive.clear();

  // 2. Stop the threads.
  m.work.reset();
  m.io->stop();
  for (auto& t : m.threads) t.join();
  m.threads.clear();

  // 3. No thread of ours runs any more: destroy what is left here.
  std::unordered_map<std::string, Impl::HttpSession> sessions;
  {
    std::lock_guard<std::mutex> lock(m.http_mutex);
    sessions.swap(m.http_sessions);
  }
  sessions.clear();
  m.accept_timer.reset();
  m.sweep_timer.reset();
  m.acceptor.reset();
  m.strand.reset();
  m.io.reset();  // destroys pending handlers and with them the last connections
}

size_t RdcServer::ConnectionCount() const {
  std::lock_guard<std::mutex> lock(impl_->connections_mutex);
  return impl_->connections.size();
}

size_t RdcServer::HttpSessionCount() const {
  std::lock_guard<std::mutex> lock(impl_->http_mutex);
  return impl_->http_sessions.size();
}

}  // namespace brevalon
