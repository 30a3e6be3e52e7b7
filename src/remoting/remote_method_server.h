// RemoteMethodServer: the remote-method framework's server. It serves one
// ServerClass over two transports, HTTP REST (rest conventions of the
// published DataSnap REST protocol, Boost.Beast) and the line-oriented TCP
// transport (one connection = one session), and owns the session manager.
//
// Owned by the server host (TMobileServer). Start/Stop may be called again
// and again (pause and continue); the destructor stops and ends every
// session, closing the objects the sessions keep (and so joining workers).
// Start, Stop and the destructor are called from one controlling thread;
// calls are served on the server's own threads.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "remoting/remote_methods.h"

namespace brevalon {

struct RemoteServerOptions {
  std::string Listen = "0.0.0.0";
  uint16_t HttpPort = 8085;                          // 0 = any free port (tests)
  uint16_t TcpPort = 211;                            // 0 = any free port (tests)
  std::chrono::milliseconds SessionTimeout{300000};  // HTTP sessions
  // Limits against hostile or broken clients.
  std::size_t MaxHeaderBytes = 16 * 1024;
  std::size_t MaxBodyBytes = 8 * 1024 * 1024;
  std::size_t MaxTcpLineBytes = 8 * 1024 * 1024;
  std::size_t MaxConnections = 20000;
  std::chrono::milliseconds ReadTimeout{30000};   // a request must arrive whole within this
  std::chrono::milliseconds IdleTimeout{120000};  // keep-alive connection without a request
  // Threads that read, parse and write the transports. Calls run on the call
  // pool, so one carries thousands of sessions; more only add wake-ups
  // between them.
  std::size_t IoThreads = 1;
  // Threads that run calls: started on demand (a call never waits for
  // another), idle ones retire. Calls beyond the bound queue.
  std::size_t MaxCallThreads = 1024;
  std::size_t MaxSessions = 200000;  // a request that would open more answers 503
  // Time source of session expiry; empty = steady_clock::now (tests inject one).
  std::function<std::chrono::steady_clock::time_point()> SessionClock;
};

class RemoteMethodServer {
 public:
  RemoteMethodServer(ServerClass serverClass, RemoteServerOptions options);
  ~RemoteMethodServer();
  RemoteMethodServer(const RemoteMethodServer&) = delete;
  RemoteMethodServer& operator=(const RemoteMethodServer&) = delete;

  // Begins listening on both transports; raises brevalon::Exception when a
  // port cannot be bound. Does nothing when already running.
  void Start();
  // Stops listening and closes open connections (TCP sessions end with
  // them); HTTP sessions stay until they expire or the server is destroyed.
  // Does nothing when not running.
  void Stop();
  bool Running() const;

  // The bound ports (meaningful while running; the actual port when 0 was asked).
  uint16_t HttpPort() const;
  uint16_t TcpPort() const;

  // Number of live sessions (both transports).
  std::size_t SessionCount() const;

 private:
  class Impl;
  std::unique_ptr<Impl> FImpl;
};

}  // namespace brevalon
