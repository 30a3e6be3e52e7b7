// The whole gateway for the fault tests: the reference application servers
// in-process on a loopback port with a SQLite file in a temporary directory
// (stoppable and restartable on the same file and port), TMobileServer on
// loopback ports 0 with the real session logic and an injected session clock,
// REST clients of the client library, the process's thread and descriptor
// counts, and a fake application server that misbehaves on purpose.
//
// Everything is owned by the test's main thread; the fake server runs one
// thread of its own per accepted connection.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "appserver/app_server.h"
#include "appserver/appserver_test_support.h"
#include "client/rest_transport.h"
#include "server/event_log.h"
#include "server/mobile_server.h"
#include "session/session_logic.h"
#include "session/settings.h"

namespace brevalon::faults {

// Threads of this process (/proc/self/status).
inline int ThreadCount() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  }
  return -1;
}

// The names of this process's threads, for a failure message.
inline std::string ThreadNames() {
  std::string names;
  for (const auto& t : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream in(t.path() / "comm");
    std::string name;
    std::getline(in, name);
    names += name + " ";
  }
  return names;
}

// Open descriptors of this process.
inline int FdCount() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
  }
  return n - 1;  // the directory's own descriptor
}

// Polls `done` until it holds or `limit` passes (a broken test, not a
// timing: the limit is far beyond what the condition needs).
inline bool Eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

struct Limits {
  int CallTimeoutMs = 0;  // 0: the proxies' defaults
  int ConnectTimeoutMs = 0;
};

class GatewayRig {
 public:
  GatewayRig() { SetCommonAppDataDir((FDir.Path() / "data").string()); }
  ~GatewayRig() {
    StopGateway();
    StopBackEnd();
    SetCommonAppDataDir("");
  }
  GatewayRig(const GatewayRig&) = delete;
  GatewayRig& operator=(const GatewayRig&) = delete;

  // The application servers on `port` (0: any), on the same database file
  // every time.
  void StartBackEnd(uint16_t port = 0) {
    appserver::AppServerOptions o;
    o.db = FDir.Path() / "demo.sqlite";
    o.seed = appserver::testing::DemoSeedPath();
    o.port = port;
    FBackEnd = std::make_unique<appserver::AppServer>(o);
    FBackEnd->Start();
  }
  void StopBackEnd() { FBackEnd.reset(); }
  appserver::AppServer& BackEnd() { return *FBackEnd; }

  // The settings file every new session reads.
  void WriteSettings(uint16_t port, Limits limits = {}) {
    std::ofstream out(GetSettingsDir() + kSettingsFileName, std::ios::trunc);
    out << "[General]\nConnectionType=SOCKET\n";
    if (limits.CallTimeoutMs) out << "CallTimeoutMs=" << limits.CallTimeoutMs << "\n";
    if (limits.ConnectTimeoutMs) out << "ConnectTimeoutMs=" << limits.ConnectTimeoutMs << "\n";
    out << "[SOCKET]\nServerName=127.0.0.1\n[ServerConnect]\nServerPort=" << port << "\n";
  }

  void StartGateway(std::chrono::milliseconds sessionTimeout = std::chrono::minutes(5)) {
    RemoteServerOptions options;
    options.Listen = "127.0.0.1";
    options.HttpPort = 0;
    options.TcpPort = 0;
    options.SessionTimeout = sessionTimeout;
    const auto start = std::chrono::steady_clock::now();
    options.SessionClock = [this, start] { return start + std::chrono::milliseconds(FClockMs.load()); };
    FServer = std::make_unique<TMobileServer>(options, ServerMethodsOptions{DefaultSessionLogicFactory(), FLog.Factory()});
    FServer->Start();
  }
  void StopGateway() { FServer.reset(); }
  TMobileServer& Gateway() { return *FServer; }
  // Moves the session clock on (expiry without sleeping).
  void AdvanceClock(std::chrono::milliseconds by) { FClockMs += by.count(); }

  std::unique_ptr<client::RestTransport> Rest(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    client::RestOptions o;
    o.Host = "127.0.0.1";
    o.Port = FServer->HttpPort();
    o.Timeout = timeout;
    return std::make_unique<client::RestTransport>(o);
  }

  const std::filesystem::path& Dir() const { return FDir.Path(); }

 private:
  appserver::testing::TempDir FDir;
  std::unique_ptr<appserver::AppServer> FBackEnd;
  EventLogCapture FLog;
  std::atomic<int64_t> FClockMs{0};
  std::unique_ptr<TMobileServer> FServer;
};

// A TCP server on a loopback port 0 that misbehaves on every connection it
// accepts: answers garbage, or reads and never answers. Closing it (the
// destructor) shuts every connection down and joins its threads.
class FakeBackEnd {
 public:
  enum class Mode { Garbage, Silent };

  explicit FakeBackEnd(Mode mode) : FMode(mode) {
    FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (FListen < 0 || ::bind(FListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(FListen, 64) != 0)
      throw std::runtime_error("fake back end: cannot listen");
    socklen_t len = sizeof addr;
    ::getsockname(FListen, reinterpret_cast<sockaddr*>(&addr), &len);
    FPort = ntohs(addr.sin_port);
    FAcceptor = std::thread([this] { AcceptLoop(); });
  }
  ~FakeBackEnd() {
    FStopping = true;
    ::shutdown(FListen, SHUT_RDWR);
    FAcceptor.join();
    {
      std::lock_guard lock(FMutex);
      for (int fd : FSockets) ::shutdown(fd, SHUT_RDWR);
    }
    for (std::thread& t : FHandlers) t.join();
    for (int fd : FSockets) ::close(fd);
    ::close(FListen);
  }
  FakeBackEnd(const FakeBackEnd&) = delete;
  FakeBackEnd& operator=(const FakeBackEnd&) = delete;

  uint16_t Port() const { return FPort; }
  int Accepted() const { return FAccepted.load(); }

 private:
  void AcceptLoop() {
    for (;;) {
      const int fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0 || FStopping) {
        if (fd >= 0) ::close(fd);
        return;
      }
      ++FAccepted;
      std::lock_guard lock(FMutex);
      FSockets.push_back(fd);
      FHandlers.emplace_back([this, fd] { Serve(fd); });
    }
  }
  void Serve(int fd) {
    char buf[4096];
    for (;;) {
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return;
      if (FMode == Mode::Garbage) {
        // A frame header announcing an absurd length, then noise.
        static const char kNoise[] = "\xff\xff\xff\x7fGARBAGE\x00\x01\x02 not a frame \r\n\r\n";
        if (::send(fd, kNoise, sizeof kNoise - 1, MSG_NOSIGNAL) < 0) return;
      }
    }
  }

  const Mode FMode;
  int FListen = -1;
  uint16_t FPort = 0;
  std::atomic<bool> FStopping{false};
  std::atomic<int> FAccepted{0};
  std::thread FAcceptor;
  std::mutex FMutex;  // guards FSockets and FHandlers
  std::vector<int> FSockets;
  std::vector<std::thread> FHandlers;
};

// A loopback port on which nothing listens (connections are refused).
inline uint16_t ClosedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

}  // namespace brevalon::faults
