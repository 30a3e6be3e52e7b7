// The whole gateway for the fault tests: the reference application servers
// in-process on a loopback port with a SQLite file in a temporary directory
// (stoppable and restartable on the same file and port), TMobileServer on
// loopback ports 0 with the real session logic and an injected session clock,
// REST clients of the client library, the process's thread and descriptor
// counts, a fake application server that misbehaves on purpose, and a
// switchable proxy that turns a good application server bad for the
// connections the gateway already holds.
//
// Everything is owned by the test's main thread; the fake server and the
// proxy run one thread of their own per accepted connection.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <cstring>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "appserver/app_server.h"
#include "appserver/appserver_test_support.h"
#include "client/rest_transport.h"
#include "rdc/rdc_protocol.h"
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

// A TCP proxy on a loopback port in front of an application server, which
// the test switches between behaviours while the gateway's sessions hold
// connections through it:
//   Pass     bytes go both ways unchanged;
//   Garbage  every frame the gateway sends is answered by the proxy with a
//            damaged one (a rotation of kinds: absurd length, unknown type,
//            truncated payload, another call's id, a data packet of noise,
//            a foreign protocol version), nothing reaches the server;
//   Silent   frames are swallowed, nothing is ever answered;
//   Refuse   nothing listens on the port (connections are refused) and every
//            open connection is cut, as when the server's host goes away.
// Leaving Refuse listens again on the same port. CutAll closes every open
// connection both ways (a server that was killed) and leaves the mode.
//
// Owned by the test's main thread, which alone calls SetMode and CutAll; one
// thread accepts, one thread per connection moves the bytes. The destructor
// cuts everything and joins every thread.
class FaultProxy {
 public:
  enum class Mode { Pass, Garbage, Silent, Refuse };

  explicit FaultProxy(uint16_t upstream) : FUpstream(upstream) { Listen(0); }
  ~FaultProxy() {
    StopListening();
    CutAll();
    // Joined outside the lock: each thread takes it on its way out. Splicing
    // keeps the links where their threads see them.
    std::list<Link> links;
    {
      std::lock_guard lock(FMutex);
      links.splice(links.begin(), FLinks);
    }
    for (Link& l : links) l.Thread.join();
  }
  FaultProxy(const FaultProxy&) = delete;
  FaultProxy& operator=(const FaultProxy&) = delete;

  uint16_t Port() const { return FPort; }
  Mode GetMode() const { return FMode.load(); }
  int Accepted() const { return FAccepted.load(); }
  int GarbageSent() const { return FGarbageSent.load(); }

  void SetMode(Mode mode) {
    const Mode old = FMode.exchange(mode);
    if (mode == Mode::Refuse && old != Mode::Refuse) {
      StopListening();
      CutAll();
    } else if (mode != Mode::Refuse && old == Mode::Refuse) {
      Listen(FPort);
    }
  }

  void CutAll() {
    std::lock_guard lock(FMutex);
    for (Link& l : FLinks) {
      if (l.Done) continue;
      ::shutdown(l.Client, SHUT_RDWR);
      // The upstream socket belongs to the link's thread; waking it through
      // the client's end is enough, it closes both on its way out.
    }
  }

 private:
  struct Link {
    int Client = -1;
    std::atomic<bool> Done{false};
    std::thread Thread;
  };

  void Listen(uint16_t port) {
    FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (FListen < 0 || ::bind(FListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(FListen, 128) != 0)
      throw std::runtime_error("fault proxy: cannot listen on port " + std::to_string(port) + ": " +
                               std::strerror(errno));
    socklen_t len = sizeof addr;
    ::getsockname(FListen, reinterpret_cast<sockaddr*>(&addr), &len);
    FPort = ntohs(addr.sin_port);
    FAcceptor = std::thread([this, fd = FListen] { AcceptLoop(fd); });
  }

  void StopListening() {
    if (FListen < 0) return;
    ::shutdown(FListen, SHUT_RDWR);  // wakes accept
    FAcceptor.join();
    ::close(FListen);
    FListen = -1;
  }

  void AcceptLoop(int listen) {
    for (;;) {
      const int fd = ::accept4(listen, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return;  // shut down
      }
      ++FAccepted;
      std::lock_guard lock(FMutex);
      // Links whose thread ended are joined here, so that a long run does
      // not pile them up.
      for (auto it = FLinks.begin(); it != FLinks.end();) {
        if (it->Done) {
          it->Thread.join();
          it = FLinks.erase(it);
        } else {
          ++it;
        }
      }
      Link& l = FLinks.emplace_back();
      l.Client = fd;
      l.Thread = std::thread([this, &l] { Serve(l); });
    }
  }

  static bool SendAll(int fd, const std::string& data) {
    for (size_t sent = 0; sent < data.size();) {
      const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }

  int ConnectUpstream() const {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(FUpstream);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
  }

  // A damaged answer to one whole frame the gateway sent.
  std::string Garbage(const std::string& frame) {
    const int kind = FGarbageSent++ % 6;
    const auto type = static_cast<RdcFrameType>(static_cast<unsigned char>(frame[kRdcFrameHeaderSize]));
    const std::string_view payload(frame.data() + kRdcFrameHeaderSize + 1, frame.size() - kRdcFrameHeaderSize - 1);
    std::optional<RdcCallRequest> call;
    try {
      if (type == RdcFrameType::kCall) call = RdcDecodeCall(payload);
      if (type == RdcFrameType::kGetProperty) call = RdcDecodeGetProperty(payload);
    } catch (const std::exception&) {
    }
    switch (kind) {
      case 0: {
        static const char kNoise[] = "\xff\xff\xff\x7fGARBAGE\x00\x01\x02 not a frame \r\n\r\n";
        return std::string(kNoise, sizeof kNoise - 1);
      }
      case 1:
        return std::string("\x03\x00\x00\x00\x7e\x01\x02", 7);
      case 2: {
        // A result whose payload is shorter than its fields claim.
        RdcResult r;
        r.call_id = call ? call->call_id : 1;
        r.result = Variant(std::string(64, 'x'));
        std::string f = RdcEncodeResult(r);
        f.resize(f.size() - 40);
        const uint32_t length = static_cast<uint32_t>(f.size() - kRdcFrameHeaderSize);
        std::memcpy(f.data(), &length, sizeof length);  // little-endian host
        return f;
      }
      case 3: {
        RdcResult r;
        r.call_id = (call ? call->call_id : 1) + 1000;
        return RdcEncodeResult(r);
      }
      case 4: {
        if (!call) break;
        // Well-formed and answering the right call: a "data packet" of
        // noise, the error pair saying success, every other reference null.
        // Bytes are a plausible answer to a file block, though, which no
        // client of the server can tell from the file's own: that call gets
        // a number instead.
        RdcResult r;
        r.call_id = call->call_id;
        if (call->name == "GetFileData")
          r.result = Variant(int32_t{0x0BADF00D});
        else
          r.result = Variant(std::vector<uint8_t>{0xde, 0xad, 0xbe, 0xef, 0x00, 0x01, 0xfe, 0x7f, 0x80});
        for (const RdcWireArg& a : call->args) {
          if (a.mode != RdcArgMode::kValue) r.refs.push_back(a.value);
        }
        return RdcEncodeResult(r);
      }
      default:
        break;
    }
    RdcHelloOk ok;
    ok.version = 99;
    return RdcEncodeHelloOk(ok);
  }

  void Serve(Link& l) {
    int upstream = -1;
    std::string pending;  // the gateway's bytes of a frame not yet whole (Garbage)
    char buf[65536];
    for (bool open = true; open;) {
      pollfd p[2] = {{l.Client, POLLIN, 0}, {upstream, POLLIN, 0}};
      if (::poll(p, upstream >= 0 ? 2 : 1, -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (upstream >= 0 && (p[1].revents & (POLLIN | POLLHUP | POLLERR))) {
        const ssize_t n = ::recv(upstream, buf, sizeof buf, 0);
        if (n <= 0 || !SendAll(l.Client, std::string(buf, static_cast<size_t>(n)))) break;
      }
      if (!(p[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = ::recv(l.Client, buf, sizeof buf, 0);
      if (n <= 0) break;
      switch (FMode.load()) {
        case Mode::Pass:
          if (upstream < 0) upstream = ConnectUpstream();
          // The start of a frame that arrived while garbage was answered
          // goes first.
          pending.append(buf, static_cast<size_t>(n));
          open = upstream >= 0 && SendAll(upstream, pending);
          pending.clear();
          break;
        case Mode::Garbage:
          pending.append(buf, static_cast<size_t>(n));
          while (open && pending.size() > kRdcFrameHeaderSize) {
            uint32_t length = 0;
            std::memcpy(&length, pending.data(), sizeof length);
            if (length == 0 || length > kRdcMaxFrameLength) {
              pending.clear();
              open = SendAll(l.Client, std::string("\xff\xff\xff\x7f", 4));
              break;
            }
            if (pending.size() < kRdcFrameHeaderSize + length) break;
            const std::string frame = pending.substr(0, kRdcFrameHeaderSize + length);
            pending.erase(0, frame.size());
            open = SendAll(l.Client, Garbage(frame));
          }
          break;
        case Mode::Silent:
        case Mode::Refuse:
          break;
      }
    }
    if (upstream >= 0) ::close(upstream);
    std::lock_guard lock(FMutex);
    ::close(l.Client);
    l.Client = -1;
    l.Done = true;
  }

  const uint16_t FUpstream;
  uint16_t FPort = 0;
  int FListen = -1;
  std::thread FAcceptor;
  std::atomic<Mode> FMode{Mode::Pass};
  std::atomic<int> FAccepted{0};
  std::atomic<int> FGarbageSent{0};
  std::mutex FMutex;     // guards FLinks and each link's Client and Done
  std::list<Link> FLinks;  // a list: the threads hold references to their link
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
