// A TCP relay between the gateway and the application servers that can hold
// what the gateway sends. With it a test keeps one call of a session
// executing at the back end, for as long as it likes, without sleeping: the
// worker is then busy, and the test knows it.
//
// Every accepted connection is forwarded to 127.0.0.1:<upstream> by two
// threads (one per direction). Hold() makes the next chunk from the gateway
// wait; WaitUntilHeld() returns once one waits; Release() lets it go. The
// destructor shuts every socket down and joins every thread.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace brevalon::testing {

class HoldingRelay {
 public:
  explicit HoldingRelay(uint16_t upstream) : FUpstream(upstream) {
    FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = Loopback(0);
    if (FListen < 0 || ::bind(FListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(FListen, 16) != 0) {
      throw std::runtime_error("relay: cannot listen");
    }
    socklen_t len = sizeof addr;
    ::getsockname(FListen, reinterpret_cast<sockaddr*>(&addr), &len);
    FPort = ntohs(addr.sin_port);
    FAcceptor = std::thread([this] { AcceptLoop(); });
  }

  ~HoldingRelay() {
    {
      std::lock_guard lock(FMutex);
      FStopping = true;
      FHolding = false;
      for (int fd : FSockets) ::shutdown(fd, SHUT_RDWR);
    }
    FChanged.notify_all();
    ::shutdown(FListen, SHUT_RDWR);
    FAcceptor.join();
    for (std::thread& t : FPumps) t.join();
    for (int fd : FSockets) ::close(fd);
    ::close(FListen);
  }

  HoldingRelay(const HoldingRelay&) = delete;
  HoldingRelay& operator=(const HoldingRelay&) = delete;

  uint16_t Port() const { return FPort; }

  void Hold() {
    std::lock_guard lock(FMutex);
    FHolding = true;
    FHeld = false;
  }
  // False when nothing came within `limit` (a broken test, not a timing).
  bool WaitUntilHeld(std::chrono::milliseconds limit) {
    std::unique_lock lock(FMutex);
    return FChanged.wait_for(lock, limit, [this] { return FHeld || FStopping; }) && FHeld;
  }
  void Release() {
    {
      std::lock_guard lock(FMutex);
      FHolding = false;
    }
    FChanged.notify_all();
  }

 private:
  static sockaddr_in Loopback(uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
  }

  void AcceptLoop() {
    for (;;) {
      const int client = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) return;
      const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in addr = Loopback(FUpstream);
      if (server < 0 || ::connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(client);
        if (server >= 0) ::close(server);
        continue;
      }
      std::lock_guard lock(FMutex);
      if (FStopping) {
        ::close(client);
        ::close(server);
        return;
      }
      FSockets.push_back(client);
      FSockets.push_back(server);
      FPumps.emplace_back([this, client, server] { Pump(client, server, true); });
      FPumps.emplace_back([this, client, server] { Pump(server, client, false); });
    }
  }

  void Pump(int from, int to, bool fromGateway) {
    char buffer[16384];
    for (;;) {
      const ssize_t n = ::recv(from, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      if (fromGateway) {
        std::unique_lock lock(FMutex);
        if (FHolding) {
          FHeld = true;
          FChanged.notify_all();
          FChanged.wait(lock, [this] { return !FHolding || FStopping; });
        }
        if (FStopping) break;
      }
      for (ssize_t done = 0; done < n;) {
        const ssize_t w = ::send(to, buffer + done, static_cast<size_t>(n - done), MSG_NOSIGNAL);
        if (w <= 0) return;
        done += w;
      }
    }
    ::shutdown(to, SHUT_WR);
  }

  const uint16_t FUpstream;
  int FListen = -1;
  uint16_t FPort = 0;
  std::thread FAcceptor;
  std::mutex FMutex;  // guards everything below
  std::condition_variable FChanged;
  bool FHolding = false;
  bool FHeld = false;
  bool FStopping = false;
  std::vector<int> FSockets;
  std::vector<std::thread> FPumps;
};

}  // namespace brevalon::testing
