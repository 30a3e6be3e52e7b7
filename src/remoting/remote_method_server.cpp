#include "remoting/remote_method_server.h"

#include <algorithm>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
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

namespace brevalon {

namespace asio = boost::asio;

namespace {

SessionManager::Options SessionOptions(const ServerClass& c, const RemoteServerOptions& o) {
  SessionManager::Options s;
  s.Timeout = o.SessionTimeout;
  s.MaxSessions = o.MaxSessions;
  s.Now = o.SessionClock;
  s.OnEnd = c.OnDisconnect;
  return s;
}

}  // namespace

// Teardown order matters: I/O threads first (Stop), then the sessions (their
// objects' Close releases calls blocked in Invoke), then the call pool (its
// tasks hold connections), then the io_context (its queued handlers hold the
// rest of the connections, which refer to the registry and contexts).
class RemoteMethodServer::Impl {
 public:
  Impl(ServerClass serverClass, RemoteServerOptions options)
      : Class(std::move(serverClass)),
        Options(std::move(options)),
        Sessions(SessionOptions(Class, Options)),
        Pool(std::make_unique<CallPool>(
            CallPool::Options{2, Options.MaxCallThreads, std::chrono::seconds(10)})),
        Registry(Options.MaxConnections),
        HttpContext{Options, *Pool, Registry,
                    [this](const RestRequest& r) {
                      return RouteRestRequest(r, RestContext{Class, Sessions});
                    }},
        TcpContext{Options, *Pool, Registry, Class, Sessions},
        Io(std::make_unique<asio::io_context>()) {
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
    Io.reset();
  }

  void Start() {
    if (Running) return;
    Io->restart();
    auto http = std::make_shared<Listener>(*Io, Registry, [this](asio::ip::tcp::socket s) {
      StartHttpConnection(std::move(s), HttpContext);
    });
    auto tcp = std::make_shared<Listener>(*Io, Registry, [this](asio::ip::tcp::socket s) {
      StartTcpConnection(std::move(s), TcpContext);
    });
    http->Open(Options.Listen, Options.HttpPort);
    try {
      tcp->Open(Options.Listen, Options.TcpPort);
    } catch (...) {
      http->Close();
      throw;
    }
    Http = std::move(http);
    Tcp = std::move(tcp);
    HttpPort = Http->Port();
    TcpPort = Tcp->Port();
    Http->Accept();
    Tcp->Accept();
    Work.emplace(asio::make_work_guard(*Io));
    const std::size_t n = std::max<std::size_t>(1, Options.IoThreads);
    for (std::size_t i = 0; i < n; ++i) IoThreads.emplace_back([this] { Io->run(); });
    Running = true;
  }

  void Stop() {
    if (!Running) return;
    Work.reset();
    Io->stop();
    for (auto& t : IoThreads) t.join();
    IoThreads.clear();
    // No I/O thread runs now: sockets may be closed from here. Handlers
    // already queued stay queued and see closed sockets when they run.
    Http->Close();
    Tcp->Close();
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
  SessionManager Sessions;
  std::unique_ptr<CallPool> Pool;
  ConnectionRegistry Registry;
  const HttpServerContext HttpContext;
  const TcpTransportContext TcpContext;
  std::unique_ptr<asio::io_context> Io;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> Work;
  std::shared_ptr<Listener> Http;
  std::shared_ptr<Listener> Tcp;
  std::vector<std::thread> IoThreads;
  bool Running = false;  // controlling thread only
  uint16_t HttpPort = 0;
  uint16_t TcpPort = 0;

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
std::size_t RemoteMethodServer::SessionCount() const {
  return FImpl->Sessions.Count();
}

}  // namespace brevalon
