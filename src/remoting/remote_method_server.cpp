#include "remoting/remote_method_server.h"

#include <algorithm>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl/context.hpp>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "remoting/call_pool.h"
#include "remoting/http_server.h"
#include "remoting/listener.h"
#include "remoting/rest_router.h"
#include "remoting/session_manager.h"
#include "remoting/tcp_transport.h"
#include "util/exception.h"

namespace brevalon {

namespace asio = boost::asio;

namespace {

SessionManager::Options SessionOptions(const ServerClass& c, const RemoteServerOptions& o,
                                       LimitLog& limits) {
  SessionManager::Options s;
  s.Timeout = o.SessionTimeout;
  s.MaxSessions = o.MaxSessions;
  s.MaxUnsigned = o.MaxUnsignedSessions;
  s.MaxUnsignedPerAddress = o.MaxUnsignedSessionsPerAddress;
  s.Now = o.SessionClock;
  s.OnEnd = c.OnDisconnect;
  s.Limits = &limits;
  return s;
}

// The TLS context for the certificate and key, TLS 1.2 and 1.3 only, with
// forward-secret AEAD suites for TLS 1.2 (TLS 1.3 has only such).
std::unique_ptr<asio::ssl::context> MakeTlsContext(const RemoteServerOptions& o) {
  auto ctx = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
  ctx->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                   asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                   asio::ssl::context::no_tlsv1_1 | asio::ssl::context::single_dh_use |
                   SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
  SSL_CTX_set_min_proto_version(ctx->native_handle(), TLS1_2_VERSION);
  SSL_CTX_set_cipher_list(ctx->native_handle(),
                          "ECDHE+AESGCM:ECDHE+CHACHA20:DHE+AESGCM:DHE+CHACHA20:!aNULL");
  const auto use = [&](const std::string& what, const std::string& file, auto step) {
    boost::system::error_code ec;
    step(ec);
    if (ec) throw Exception("Cannot use the TLS " + what + " " + file + ": " + ec.message());
  };
  use("certificate", o.TlsCertificateFile, [&](boost::system::error_code& ec) {
    ctx->use_certificate_chain_file(o.TlsCertificateFile, ec);
  });
  use("key", o.TlsKeyFile, [&](boost::system::error_code& ec) {
    ctx->use_private_key_file(o.TlsKeyFile, asio::ssl::context::pem, ec);
  });
  if (SSL_CTX_check_private_key(ctx->native_handle()) != 1)
    throw Exception("The TLS key " + o.TlsKeyFile + " does not belong to the certificate " +
                    o.TlsCertificateFile);
  return ctx;
}

}  // namespace

// Teardown order matters: I/O threads first (Stop), then the sessions (their
// objects' Close releases calls blocked in Invoke), then the call pool (its
// tasks hold connections), then the io_contexts (their queued handlers hold
// the rest of the connections, which refer to the registry and contexts).
//
// HTTPS has an io_context and a thread of its own: a flood of handshakes
// (each costs the server a key exchange) then slows HTTPS alone, never the
// plain transports.
class RemoteMethodServer::Impl {
 public:
  Impl(ServerClass serverClass, RemoteServerOptions options)
      : Class(std::move(serverClass)),
        Options(std::move(options)),
        Limits(Options.LimitEntry),
        Sessions(SessionOptions(Class, Options, Limits)),
        Pool(std::make_unique<CallPool>(CallPool::Options{
            2, Options.MaxCallThreads, std::chrono::seconds(10), Options.MaxQueuedCalls})),
        Registry(Options.MaxConnections, Options.MaxConnectionsPerAddress),
        HttpContext{Options, *Pool, Registry,
                    [this](const RestRequest& r, const std::string& address) {
                      return RouteRestRequest(r, RestContext{Class, Sessions, address});
                    },
                    &Limits},
        TcpContext{Options, *Pool, Registry, Class, Sessions, &Limits},
        HttpsContext(HttpContext),
        Io(std::make_unique<asio::io_context>()),
        TlsIo(std::make_unique<asio::io_context>()) {
    if (!Options.TlsCertificateFile.empty() || !Options.TlsKeyFile.empty()) {
      Tls = MakeTlsContext(Options);
      HttpsContext.Tls = Tls.get();
    }
    ExpiryThread = std::thread([this] { ExpiryLoop(); });
  }

  ~Impl() {
    Stop();
    {
      std::lock_guard lock(ExpiryMutex);
      ExpiryStopping = true;
    }
    ExpiryWake.notify_all();
    ExpiryThread.join();
    Sessions.EndAll();
    Pool.reset();
    Http.reset();
    Tcp.reset();
    Https.reset();
    Io.reset();
    TlsIo.reset();
  }

  void Start() {
    if (Running) return;
    Io->restart();
    auto http = std::make_shared<Listener>(
        *Io, Registry,
        [this](asio::ip::tcp::socket s, const std::string& address, const std::string& client) {
          StartHttpConnection(std::move(s), address, client, HttpContext);
        },
        [](ConnectionRegistry::Admission why) {
          return ServiceUnavailableBytes(LimitKindText(
              why == ConnectionRegistry::Admission::TooManyFromClient
                  ? LimitKind::ConnectionsPerAddress
                  : LimitKind::Connections));
        },
        &Limits);
    auto tcp = std::make_shared<Listener>(
        *Io, Registry,
        [this](asio::ip::tcp::socket s, const std::string& address, const std::string& client) {
          StartTcpConnection(std::move(s), address, client, TcpContext);
        },
        [](ConnectionRegistry::Admission why) {
          return TcpLimitLine(LimitKindText(why == ConnectionRegistry::Admission::TooManyFromClient
                                                ? LimitKind::ConnectionsPerAddress
                                                : LimitKind::Connections)) +
                 "\n";
        },
        &Limits);
    std::shared_ptr<Listener> https;
    if (Tls) {
      TlsIo->restart();
      // Over a limit an HTTPS client is closed at once: answering it would
      // take the handshake the limit is there to spare.
      https = std::make_shared<Listener>(
          *TlsIo, Registry,
          [this](asio::ip::tcp::socket s, const std::string& address, const std::string& client) {
            StartHttpConnection(std::move(s), address, client, HttpsContext);
          },
          Listener::Refusal{}, &Limits);
    }
    http->Open(Options.Listen, Options.HttpPort);
    try {
      tcp->Open(Options.Listen, Options.TcpPort);
      if (https) https->Open(Options.Listen, Options.HttpsPort);
    } catch (...) {
      http->Close();
      tcp->Close();
      throw;
    }
    Http = std::move(http);
    Tcp = std::move(tcp);
    Https = std::move(https);
    HttpPort = Http->Port();
    TcpPort = Tcp->Port();
    HttpsPort = Https ? Https->Port() : 0;
    Http->Accept();
    Tcp->Accept();
    Work.emplace(asio::make_work_guard(*Io));
    const std::size_t n = std::max<std::size_t>(1, Options.IoThreads);
    for (std::size_t i = 0; i < n; ++i) IoThreads.emplace_back([this] { Io->run(); });
    if (Https) {
      Https->Accept();
      TlsWork.emplace(asio::make_work_guard(*TlsIo));
      IoThreads.emplace_back([this] { TlsIo->run(); });
    }
    Running = true;
  }

  void Stop() {
    if (!Running) return;
    Work.reset();
    TlsWork.reset();
    Io->stop();
    TlsIo->stop();
    for (auto& t : IoThreads) t.join();
    IoThreads.clear();
    // No I/O thread runs now: sockets may be closed from here. Handlers
    // already queued stay queued and see closed sockets when they run.
    Http->Close();
    Tcp->Close();
    if (Https) Https->Close();
    Registry.CloseAll();
    Running = false;
  }

  void ExpiryLoop() {
    const auto interval = std::clamp<std::chrono::milliseconds>(
        Options.SessionTimeout / 4, std::chrono::milliseconds(10), std::chrono::milliseconds(1000));
    std::unique_lock lock(ExpiryMutex);
    while (!ExpiryStopping) {
      if (ExpiryWake.wait_for(lock, interval, [this] { return ExpiryStopping; })) break;
      lock.unlock();
      Sessions.ExpireIdle();  // closes objects here, off the I/O threads
      lock.lock();
    }
  }

  const ServerClass Class;
  const RemoteServerOptions Options;
  LimitLog Limits;
  SessionManager Sessions;
  std::unique_ptr<CallPool> Pool;
  ConnectionRegistry Registry;
  const HttpServerContext HttpContext;
  const TcpTransportContext TcpContext;
  std::unique_ptr<asio::ssl::context> Tls;  // set when HTTPS is configured
  HttpServerContext HttpsContext;
  std::unique_ptr<asio::io_context> Io;
  std::unique_ptr<asio::io_context> TlsIo;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> Work;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> TlsWork;
  std::shared_ptr<Listener> Http;
  std::shared_ptr<Listener> Tcp;
  std::shared_ptr<Listener> Https;
  std::vector<std::thread> IoThreads;
  bool Running = false;  // controlling thread only
  uint16_t HttpPort = 0;
  uint16_t TcpPort = 0;
  uint16_t HttpsPort = 0;

  std::mutex ExpiryMutex;  // guards ExpiryStopping
  std::condition_variable ExpiryWake;
  bool ExpiryStopping = false;
  std::thread ExpiryThread;
};

RemoteMethodServer::RemoteMethodServer(ServerClass serverClass, RemoteServerOptions options)
    : FImpl(std::make_unique<Impl>(std::move(serverClass), std::move(options))) {}

RemoteMethodServer::~RemoteMethodServer() = default;

void RemoteMethodServer::Start() {
  FImpl->Start();
}
void RemoteMethodServer::Stop() {
  FImpl->Stop();
}
bool RemoteMethodServer::Running() const {
  return FImpl->Running;
}
uint16_t RemoteMethodServer::HttpPort() const {
  return FImpl->HttpPort;
}
uint16_t RemoteMethodServer::TcpPort() const {
  return FImpl->TcpPort;
}
uint16_t RemoteMethodServer::HttpsPort() const {
  return FImpl->HttpsPort;
}
std::size_t RemoteMethodServer::SessionCount() const {
  return FImpl->Sessions.Count();
}
std::size_t RemoteMethodServer::UnsignedSessionCount() const {
  return FImpl->Sessions.UnsignedCount();
}
std::size_t RemoteMethodServer::ConnectionCount() const {
  return FImpl->Registry.Count();
}
const LimitLog& RemoteMethodServer::Limits() const {
  return FImpl->Limits;
}

}  // namespace brevalon
